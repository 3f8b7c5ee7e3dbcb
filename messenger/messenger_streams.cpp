// Streams: CONNECT, WRITE, READ, DISCONNECT, and the in-band bytestream
// events that answer them. A stream keeps up to `window` texts in flight,
// fewer where the path carries less (send_window.h); only a stream whose
// window is full is listed in SENDING, which stops its
// program until an acknowledgement makes room. A text is acknowledged to its
// sender only while fewer than maxUnread texts of its stream wait to be
// read and they take at most kAckedUnreadBytes; the rest keep their
// acknowledgement until READ makes room, so nothing is ever dropped and the
// sender's window stays full meanwhile. A peer that sends on regardless
// meets the hard limits (texts, bytes per stream, bytes in all) and loses
// the stream.
//
// Every stream is sealed end to end (stream_seal.h): right after the request
// the two daemons run a handshake in the stream's first blocks, each checks
// the other's key against its pin, and only then does the program learn of
// the stream. Every text after it travels sealed; one that does not open
// ends the stream on both sides before anything of it is passed on. A
// daemon that ends a stream sends its sealed end before the close, so a
// close that the server makes up is told from the contact's.
#include "messenger/messenger.h"

#include "messenger/command.h"
#include "messenger/compact_text.h"
#include "messenger/identity.h"

#include <algorithm>

static_assert(kMaxTextLength + 1 + noise::kTagLength == kMaxBlockBytes, "the longest text fills one block");

std::string Messenger::ref(const Stream& s) const { return s.peer + ":" + std::to_string(s.id); }

Messenger::Stream* Messenger::findStream(int client, const std::string& app, const std::string& user, int id)
{
    for (auto& s : streams)
        if (s->open && s->client == client && s->app == app && s->peer == user && s->id == id)
            return s.get();
    return nullptr;
}

Messenger::Stream* Messenger::findBySid(const std::string& full, const std::string& sid)
{
    for (auto& s : streams)
        if (s->full == full && s->sid == sid)
            return s.get();
    return nullptr;
}

std::string Messenger::streamsLine(int client, const std::string& app) const
{
    std::string out = "APPLICATION " + app + " STREAMS";
    for (const auto& s : streams)
        if (s->open && s->client == client && s->app == app)
            out += " " + ref(*s);
    return out;
}

std::string Messenger::sendingLine(int client, const std::string& app) const
{
    std::string out = "APPLICATION " + app + " SENDING";
    for (const auto& s : streams)
        if (s->open && s->client == client && s->app == app && windowFull(*s))
            out += " " + ref(*s) + "=" + std::to_string(s->unacked.inFlightBytes());
    return out;
}

std::string Messenger::receivedSet(int client, const App& app) const
{
    std::string out;
    for (int id : app.readOrder)
        for (const auto& s : streams)
            if (s->client == client && s->app == app.name && s->id == id && s->open)
                out += " " + ref(*s);
    return out;
}

std::string Messenger::receivedLine(int client, const App& app) const
{
    std::string out = "APPLICATION " + app.name + " RECEIVED";
    for (int id : app.readOrder)
        for (const auto& s : streams)
            if (s->client == client && s->app == app.name && s->id == id && s->open)
                out += " " + ref(*s) + "=" + std::to_string(s->unreadBytes);
    return out;
}

Messenger::App* Messenger::attachedApp(int client, const std::string& name)
{
    auto c = clients.find(client);
    if (c == clients.end() || c->second.state != ClientState::Attached)
        return nullptr;
    return findApp(c->second, name);
}

void Messenger::reportSending(int client, const std::string& appName, bool always)
{
    App* app = attachedApp(client, appName);
    if (!app)
        return;
    std::string line = sendingLine(client, appName);
    if (!always && line == app->lastSending)
        return;
    app->lastSending = line;
    send(client, line);
}

void Messenger::reportReceived(int client, const std::string& appName, bool always)
{
    App* app = attachedApp(client, appName);
    if (!app)
        return;
    std::string set = receivedSet(client, *app);
    if (!always && set == app->lastReceivedSet)
        return;
    app->lastReceivedSet = set;
    send(client, receivedLine(client, *app));
}

void Messenger::removeStream(Stream* s, bool tellPeer, bool tellProgram, const std::string& why)
{
    auto it =
        std::find_if(streams.begin(), streams.end(), [s](const std::unique_ptr<Stream>& p) { return p.get() == s; });
    if (it == streams.end())
        return;
    std::unique_ptr<Stream> gone = std::move(*it);
    streams.erase(it);
    log.write("stream " + (gone->open ? ref(*gone) : gone->peer) + " of " + gone->app + " closed: " + why);
    if (tellPeer) {
        // The sealed end first: the contact tells this close from one the
        // server makes up.
        if (std::string end = gone->seal ? gone->seal->sealEnd() : std::string(); !end.empty())
            link.sendBlock(gone->full, gone->sid, gone->sendSeq++, end);
        link.closeStream(gone->full, gone->sid);
    }
    // The sender of a withheld text hears the stream is gone.
    for (const IqRef& r : gone->withheld)
        link.answer(r, "item-not-found");
    if (!gone->open)
        return;
    auto c = clients.find(gone->client);
    if (c == clients.end())
        return;
    if (App* app = findApp(c->second, gone->app)) {
        auto& order = app->readOrder;
        order.erase(std::remove(order.begin(), order.end(), gone->id), order.end());
        if (tellProgram && c->second.state == ClientState::Attached) {
            send(gone->client, streamsLine(gone->client, gone->app));
            reportSending(gone->client, gone->app, false);
            reportReceived(gone->client, gone->app, false);
        }
    }
}

size_t Messenger::streamsWith(const std::string& bare, const std::string& app) const
{
    return static_cast<size_t>(
        std::count_if(streams.begin(), streams.end(), [&](const auto& s) { return s->peer == bare && s->app == app; }));
}

size_t Messenger::unreadTotal() const
{
    size_t total = 0;
    for (const auto& s : streams)
        total += s->unreadBytes;
    return total;
}

void Messenger::connect(int client, const std::string& app, const std::string& user)
{
    send(client, "APPLICATION " + app + " CONNECTING " + user);
    std::string why;
    std::string full;
    if (!isOnline)
        why = "not connected to the server";
    else if (!contacts.isMutual(user))
        why = user + " is not a contact";
    else if ((full = contacts.resourceFor(user, app)).empty())
        why = user + " has no online resource running " + app;
    else if (streamsWith(user, app) >= kMaxStreamsPerPeer)
        why = "there are already " + std::to_string(kMaxStreamsPerPeer) + " streams of " + app + " with " + user;
    if (!why.empty()) {
        log.write("cannot connect " + app + " to " + user + ": " + why);
        return;
    }
    auto s = std::make_unique<Stream>(window);
    s->client = client;
    s->app = app;
    s->peer = user;
    s->full = full;
    s->sid = newSid();
    s->opener = true;
    s->waitingSince = now;
    std::optional<Pin> pin;
    if (!trust.lookup(user, pin)) {
        log.write("cannot connect " + app + " to " + user + ": the pins of contacts' keys cannot be read");
        return;
    }
    const noise::Key* pinnedKey = pin && pin->key ? &*pin->key : nullptr;
    s->seal = StreamSeal::opener(identity, StreamSeal::prologue(own, user, s->sid, app, compact), pinnedKey);
    link.openStream(full, s->sid, app, compact);
    log.write("opening a stream of " + app + " to " + full + " (sid " + s->sid + ", " + s->seal->pattern() + ")");
    Stream& added = *s;
    streams.push_back(std::move(s));
    // The first handshake message follows the request at once: the
    // contact's daemon gets both in order, and a refused request makes
    // it refused as well.
    advanceHandshake(added, added.seal->step());
}

void Messenger::write(int client, const std::string& app, Stream& s, const std::string& text)
{
    send(client, "ALTER APPLICATION " + app + " WRITE " + ref(s));
    if (s.unacked.empty())
        s.waitingSince = now;
    s.unacked.sent(text.size(), now);
    link.sendBlock(s.full, s.sid, s.sendSeq++, s.seal->seal(s.compact ? packText(text) : text));
    reportSending(client, app, true);
}

void Messenger::read(int client, App& app, Stream& s)
{
    if (s.unread.empty()) {
        send(client, errorLine(kErrorNothingToRead, "Nothing to read on " + ref(s)));
        return;
    }
    // The oldest unread text always has its acknowledgement (only the
    // newest are withheld, and never all of them).
    std::string text = std::move(s.unread.front());
    s.unread.pop_front();
    s.unreadBytes -= text.size();
    send(client, "ALTER APPLICATION " + app.name + " READ " + ref(s) + " " + text);
    releaseAcks(s);
    // The stream just read goes to the back, so every stream gets its turn
    // with a program that reads the first one listed.
    auto& order = app.readOrder;
    order.erase(std::remove(order.begin(), order.end(), s.id), order.end());
    if (!s.unread.empty())
        order.push_back(s.id);
    reportReceived(client, app.name, true);
}

void Messenger::releaseAcks(Stream& s)
{
    while (!s.withheld.empty()) {
        // The oldest withheld text follows the acknowledged ones.
        size_t acked = s.unread.size() - s.withheld.size();
        size_t next = s.unread[acked].size();
        if (acked >= maxUnread || s.unreadBytes - s.withheldBytes + next > kAckedUnreadBytes)
            break;
        link.answer(s.withheld.front(), nullptr);
        s.withheld.pop_front();
        s.withheldBytes -= next;
    }
}

// --- in-band bytestream events -------------------------------------------

void Messenger::openRequest(const std::string& full, const std::string& sid, const std::string& app, bool offersCompact,
                            const IqRef& iq)
{
    std::string bare = full.substr(0, full.find('/'));
    if (!contacts.isMutual(bare)) {
        log.write("refused a stream request of " + peerText(app) + " from " + peerText(full) + ": not a contact");
        link.answer(iq, "forbidden");
        return;
    }
    if (findBySid(full, sid)) {
        link.answer(iq, "conflict");
        return;
    }
    if (streamsWith(bare, app) >= kMaxStreamsPerPeer) {
        log.write("refused a stream request of " + peerText(app) + " from " + peerText(full) + ": already "
                  + std::to_string(kMaxStreamsPerPeer) + " streams of it with " + bare);
        link.answer(iq, "resource-constraint");
        return;
    }
    int owner = 0;
    for (const auto& [id, c] : clients) {
        if (c.state != ClientState::Attached)
            continue;
        for (const App& a : c.apps)
            if (a.name == app) {
                owner = id;
                break;
            }
        if (owner)
            break;
    }
    if (!owner) {
        log.write("refused a stream request of " + peerText(app) + " from " + peerText(full) + ": no program runs it");
        link.answer(iq, "not-acceptable");
        return;
    }
    auto s = std::make_unique<Stream>(window);
    s->client = owner;
    s->app = app;
    s->peer = bare;
    s->full = full;
    s->sid = sid;
    s->compact = compact && offersCompact;
    s->waitingSince = now;
    s->seal =
        StreamSeal::acceptor(identity, StreamSeal::prologue(bare, own, sid, app, offersCompact), s->compact ? 1 : 0);
    link.acceptStream(iq, s->compact);
    log.write("accepted a stream request of " + app + " from " + peerText(full) + " (sid " + peerText(sid) + ")"
              + (s->compact ? ", compact" : "") + "; handshake follows");
    streams.push_back(std::move(s));
}

void Messenger::openResult(const std::string& full, const std::string& sid, bool ok, bool peerCompact)
{
    (void)peerCompact;  // the sealed handshake says it (below)
    Stream* s = findBySid(full, sid);
    if (!s || s->open || !s->opener)
        return;
    if (!ok) {
        removeStream(s, false, false, "refused by " + peerText(full));
        return;
    }
    // The stream opens when the handshake is done; its settings come with
    // the contact's sealed handshake message, which the server cannot alter.
}

bool Messenger::advanceHandshake(Stream& s, StreamSeal::Step step)
{
    for (const std::string& b : s.seal->takeBlocks()) {
        ++s.handshakeUnacked;
        link.sendBlock(s.full, s.sid, s.sendSeq++, b);
    }
    if (step == StreamSeal::Step::Verify) {
        if (!trustPeerKey(s)) {
            removeStream(&s, true, false, "the contact's key was not accepted (see above)");
            return false;
        }
        step = s.seal->accept();
        for (const std::string& b : s.seal->takeBlocks()) {
            ++s.handshakeUnacked;
            link.sendBlock(s.full, s.sid, s.sendSeq++, b);
        }
    }
    if (step == StreamSeal::Step::Failed) {
        removeStream(&s, true, false, "the handshake failed: " + s.seal->failure());
        return false;
    }
    if (step == StreamSeal::Step::Established)
        streamEstablished(s);
    return true;
}

bool Messenger::trustPeerKey(Stream& s)
{
    const noise::Key& key = s.seal->peerKey();
    const std::string offered = fingerprintCompact(key);
    const TrustVerdict v = trust.check(s.peer, key);
    switch (v.kind) {
        case TrustVerdict::Kind::Known:
            if (v.completed)
                log.write("the key of " + s.peer
                          + " matches the fingerprint trusted for it: " + groupFingerprint(offered));
            return true;
        case TrustVerdict::Kind::FirstUse:
            log.write("pinned the key of " + s.peer + " on first use: fingerprint " + groupFingerprint(offered));
            return true;
        case TrustVerdict::Kind::Changed:
            log.write("refused a stream of " + s.app + " with " + s.peer + ": its key has changed: pinned fingerprint "
                      + groupFingerprint(v.pinned) + ", offered " + groupFingerprint(offered) + " (if " + s.peer
                      + " really has a new key, trust it with: messengerd --trust " + s.peer + " '"
                      + groupFingerprint(offered) + "')");
            return false;
        case TrustVerdict::Kind::Unavailable:
            break;
    }
    // Without its pin stored, every stream of this contact would be a first
    // use again, with whatever key the server put in.
    log.write("refused a stream of " + s.app + " with " + s.peer + " (fingerprint " + groupFingerprint(offered)
              + "): its key cannot be checked or pinned: " + v.problem);
    return false;
}

void Messenger::streamEstablished(Stream& s)
{
    auto c = clients.find(s.client);
    if (c == clients.end() || !findApp(c->second, s.app)) {
        removeStream(&s, true, false, "its application went away while opening");
        return;
    }
    s.open = true;
    // Only what the opener offered can have been taken up.
    if (s.opener)
        s.compact = compact && (s.seal->peerSettings() & 1) != 0;
    s.id = ++lastId[s.app];
    s.waitingSince = now;
    log.write(std::string(s.opener ? "opened" : "accepted") + " stream " + ref(s) + " of " + s.app + " (sid "
              + peerText(s.sid) + ", sealed, " + s.seal->pattern() + ")" + (s.compact ? ", compact" : ""));
    send(s.client, streamsLine(s.client, s.app));
}

void Messenger::handshakeBlock(Stream& s, uint16_t seq, const std::string& data, const IqRef& iq)
{
    if (seq != s.recvSeq) {
        link.answer(iq, "unexpected-request");
        removeStream(&s, true, false,
                     "block " + std::to_string(seq) + " out of order, expected " + std::to_string(s.recvSeq));
        return;
    }
    ++s.recvSeq;
    if (s.seal->step() != StreamSeal::Step::Pending) {
        link.answer(iq, "unexpected-request");
        removeStream(&s, true, false, "a block came before the handshake allowed one");
        return;
    }
    link.answer(iq, nullptr);
    const bool wasStartedOver = s.seal->startedOver();
    const StreamSeal::Step step = s.seal->receive(data);
    if (s.seal->startedOver() && !wasStartedOver)
        // The request to start over carries no proof of who sent it: with
        // XX the contact's daemon shows its key to whoever answers in its
        // place. Its key is still checked against the pin afterwards.
        log.write("warning: the stream " + peerText(s.sid) + " of " + s.app + " to " + s.peer
                  + " starts over without the pinned key (XX): the contact's daemon could not read the handshake "
                    "made for that key, or the server put in this request");
    advanceHandshake(s, step);
}

void Messenger::block(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data,
                      const IqRef& iq)
{
    Stream* s = findBySid(full, sid);
    if (!s) {
        link.answer(iq, "item-not-found");
        return;
    }
    if (data.size() > kMaxBlockBytes) {
        link.answer(iq, "not-acceptable");
        removeStream(s, true, s->open,
                     "block " + std::to_string(seq) + " takes " + std::to_string(data.size()) + " bytes, more than the "
                         + std::to_string(kMaxBlockBytes) + " of the stream's block size");
        return;
    }
    if (!s->open) {
        handshakeBlock(*s, seq, data, iq);
        return;
    }
    if (s->endSeen) {
        link.answer(iq, "unexpected-request");
        removeStream(s, true, true, "block " + std::to_string(seq) + " came after the contact's sealed end");
        return;
    }
    std::string inner;
    if (!s->seal->open(data, inner)) {
        if (seq == s->recvSeq && s->seal->openEnd(data)) {
            // The contact ends the stream; its close follows.
            ++s->recvSeq;
            s->endSeen = true;
            link.answer(iq, nullptr);
            return;
        }
        // Nothing of this block, nor of any after it, reaches the program.
        link.answer(iq, "not-acceptable");
        removeStream(s, true, true,
                     "block " + std::to_string(seq)
                         + " does not open with the stream's key: it was altered, replayed, reordered or one before "
                           "it was lost on the way");
        return;
    }
    std::string text;
    if (!decodeBlock(*s, full, sid, inner, iq, text))
        return;
    if (!admitBlock(*s, seq, text.size(), iq))
        return;
    storeText(*s, std::move(text), iq);
}

bool Messenger::decodeBlock(Stream& s, const std::string& full, const std::string& sid, const std::string& data,
                            const IqRef& iq, std::string& text)
{
    // A text is at most what one WRITE carries; its compact form adds a
    // tag byte. Checked before unpacking too, which doubles the size.
    auto tooLong = [&](size_t bytes) {
        link.answer(iq, "not-acceptable");
        removeStream(
            &s, true, true,
            "the peer sent a text of " + std::to_string(bytes) + " bytes, more than " + std::to_string(kMaxTextLength));
    };
    if (data.size() > kMaxTextLength + (s.compact ? 1 : 0)) {
        tooLong(data.size());
        return false;
    }
    if (!s.compact) {
        text = data;
    } else if (!unpackText(data, text)) {
        badBlock(full, sid, iq);
        return false;
    }
    if (text.size() > kMaxTextLength) {
        tooLong(text.size());
        return false;
    }
    // A program's text never holds a zero byte, and a command frame to the
    // program cannot carry one: passed on, it would end the program's link.
    if (text.find('\0') != std::string::npos) {
        badBlock(full, sid, iq);
        return false;
    }
    return true;
}

bool Messenger::admitBlock(Stream& s, uint16_t seq, size_t size, const IqRef& iq)
{
    if (seq != s.recvSeq) {
        link.answer(iq, "unexpected-request");
        removeStream(&s, true, true,
                     "block " + std::to_string(seq) + " out of order, expected " + std::to_string(s.recvSeq));
        return false;
    }
    if (s.withheld.size() >= kMaxWithheld) {
        // A daemon sends a text only for a WRITE, and a program waits for
        // the empty SENDING: this peer does neither.
        link.answer(iq, "resource-constraint");
        removeStream(&s, true, true,
                     "the peer sent more than " + std::to_string(kMaxWithheld) + " texts beyond the unread limit");
        return false;
    }
    if (s.unreadBytes + size > kMaxUnreadBytes) {
        link.answer(iq, "resource-constraint");
        removeStream(&s, true, true,
                     "the peer sent more than " + std::to_string(kMaxUnreadBytes >> 20) + " MiB of texts not yet read");
        return false;
    }
    if (unreadTotal() + size > kMaxUnreadTotal) {
        link.answer(iq, "resource-constraint");
        removeStream(&s, true, true,
                     "the texts not yet read of all streams would take more than "
                         + std::to_string(kMaxUnreadTotal >> 20) + " MiB");
        return false;
    }
    return true;
}

void Messenger::storeText(Stream& s, std::string text, const IqRef& iq)
{
    ++s.recvSeq;
    const size_t size = text.size();
    s.unreadBytes += size;
    s.unread.push_back(std::move(text));
    if (s.withheld.empty() && s.unread.size() <= maxUnread && s.unreadBytes <= kAckedUnreadBytes) {
        link.answer(iq, nullptr);
    } else {
        s.withheld.push_back(iq);
        s.withheldBytes += size;
    }
    auto c = clients.find(s.client);
    if (c == clients.end())
        return;
    if (App* app = findApp(c->second, s.app)) {
        if (std::find(app->readOrder.begin(), app->readOrder.end(), s.id) == app->readOrder.end())
            app->readOrder.push_back(s.id);
        reportReceived(s.client, s.app, false);
    }
}

void Messenger::blockResult(const std::string& full, const std::string& sid, bool ok)
{
    Stream* s = findBySid(full, sid);
    if (!s)
        return;
    if (s->handshakeUnacked > 0) {
        // Acknowledgements come in order, and the handshake's blocks went first.
        --s->handshakeUnacked;
        if (!ok)
            removeStream(s, true, true, "a handshake block was not delivered");
        return;
    }
    if (!s->open || s->unacked.empty())
        return;
    if (!ok) {
        removeStream(s, true, true, "a text was not delivered");
        return;
    }
    s->unacked.acked(now);
    s->waitingSince = now;
    s->probing = false;
    reportSending(s->client, s->app, false);
}

void Messenger::closeRequest(const std::string& full, const std::string& sid, const IqRef& iq)
{
    Stream* s = findBySid(full, sid);
    link.answer(iq, s ? nullptr : "item-not-found");
    if (!s)
        return;
    // An open stream's contact sends its sealed end before the close; a
    // close without one was made by someone else.
    if (s->open && !s->endSeen)
        removeStream(s, false, true,
                     "broken: closed without the sealed end of " + peerText(full)
                         + " (the server or the link cut it, or its daemon stopped without ending it)");
    else
        removeStream(s, false, true, "closed by " + peerText(full));
}

void Messenger::badBlock(const std::string& full, const std::string& sid, const IqRef& iq)
{
    link.answer(iq, "bad-request");
    if (Stream* s = findBySid(full, sid))
        removeStream(s, true, true, "undecodable data block");
}

void Messenger::probeResult(const std::string& full, const std::string& sid, bool ok)
{
    Stream* s = findBySid(full, sid);
    if (!s || !s->probing)
        return;
    if (!ok) {
        removeStream(s, true, true, full + " did not answer a probe");
        return;
    }
    // Alive: the acknowledgements are withheld on purpose (a slow reader).
    s->probing = false;
    s->waitingSince = now;
}

void Messenger::tick(Clock::time_point t)
{
    now = t;
    const std::string limit =
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(answerTimeout).count()) + " ms";
    std::vector<std::pair<Stream*, std::string>> late;
    for (auto& s : streams) {
        if (!s->open) {
            if (now - s->waitingSince >= answerTimeout)
                late.emplace_back(s.get(), std::string(s->opener ? "no answer to the stream request" : "no handshake")
                                               + " within " + limit);
        } else if (!s->unacked.empty()) {
            if (s->probing) {
                if (now - s->probeSent >= answerTimeout)
                    late.emplace_back(s.get(), "no answer to a text nor to the probe after it within " + limit);
            } else if (now - s->waitingSince >= answerTimeout) {
                s->probing = true;
                s->probeSent = now;
                link.probe(s->full, s->sid);
            }
        }
    }
    // An open stream is reported closed; a stream request that was never
    // answered leaves the STREAMS list as it was.
    for (const auto& [s, why] : late)
        removeStream(s, true, true, why);
}
