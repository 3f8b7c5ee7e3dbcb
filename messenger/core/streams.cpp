// Streams: CONNECT, WRITE, READ, DISCONNECT, and the transport events that
// answer them (stream_blocks.cpp). A stream keeps up to `window` texts in
// flight, fewer where the path carries less (send_window.h); only a stream
// whose window is full is listed in SENDING, which stops its
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
#include "messenger/core/streams.h"

#include "messenger/core/command.h"
#include "messenger/core/compact_text.h"

#include <algorithm>
#include <random>
#include <set>

static_assert(kMaxTextLength + 1 + noise::kTagLength == kMaxBlockBytes, "the longest text fills one block");

Streams::Streams(StreamList& list, Programs& p, StreamTransport& t, Log& l, const Contacts& c, std::string ownJid,
                 const StreamSettings& settings, const noise::KeyPair& ownKeys, TrustStore& pins)
    : programs(p),
      transport(t),
      log(l),
      contacts(c),
      own(std::move(ownJid)),
      identity(ownKeys),
      trust(pins),
      maxUnread(static_cast<size_t>(std::max(1, settings.maxUnread))),
      answerTimeout(settings.answerTimeout),
      window(std::clamp<size_t>(static_cast<size_t>(std::max(1, settings.window)), 1, kMaxWithheld)),
      compact(settings.compact),
      now(Clock::now()),
      streams(list)
{
    // Session ids must not repeat across restarts of the daemon either.
    std::random_device rd;
    sidPrefix = "cv" + std::to_string(rd() % 1000000000u) + "-";
}

std::string Streams::newSid() { return sidPrefix + std::to_string(++sidCounter); }

Stream* Streams::find(int client, const std::string& app, const std::string& user, int id)
{
    for (auto& s : streams)
        if (s->open && s->client == client && s->app == app && s->peer == user && s->id == id)
            return s.get();
    return nullptr;
}

Stream* Streams::findBySid(const std::string& full, const std::string& sid)
{
    for (auto& s : streams)
        if (s->full == full && s->sid == sid)
            return s.get();
    return nullptr;
}

size_t Streams::streamsWith(const std::string& bare, const std::string& app) const
{
    return static_cast<size_t>(
        std::count_if(streams.begin(), streams.end(), [&](const auto& s) { return s->peer == bare && s->app == app; }));
}

void Streams::removeStream(Stream* s, bool tellPeer, bool tellProgram, const std::string& why)
{
    auto it =
        std::find_if(streams.begin(), streams.end(), [s](const std::unique_ptr<Stream>& p) { return p.get() == s; });
    if (it == streams.end())
        return;
    std::unique_ptr<Stream> gone = std::move(*it);
    streams.erase(it);
    log.write("stream " + (gone->open ? gone->ref() : gone->peer) + " of " + gone->app + " closed: " + why);
    if (tellPeer) {
        // The sealed end first: the contact tells this close from one the
        // server makes up. Both go on the stream's path, the close after
        // the end.
        std::string end = gone->seal ? gone->seal->sealEnd() : std::string();
        if (gone->direct) {
            paths->sendBlock(gone->full, gone->sid, gone->sendSeq++, end);
            paths->sendClose(gone->full, gone->sid);
        } else {
            if (!end.empty())
                transport.sendBlock(gone->full, gone->sid, gone->sendSeq++, end);
            transport.closeStream(gone->full, gone->sid);
        }
    }
    // The sender of a withheld text hears the stream is gone.
    for (const AckRef& r : gone->withheld)
        if (!r.direct)
            transport.answer(r.iq, "item-not-found");
    for (const auto& [seq, h] : gone->held)
        if (!h.ack.direct)
            transport.answer(h.ack.iq, "item-not-found");
    if (gone->open)
        programs.streamGone(gone->client, gone->app, gone->id, tellProgram);
}

void Streams::refuse(Stream& s, const AckRef& ack, const char* condition, const std::string& why)
{
    if (!ack.direct)
        transport.answer(ack.iq, condition);
    removeStream(&s, true, true, why);
}

void Streams::acknowledge(const Stream& s, const AckRef& ack)
{
    if (!ack.direct)
        transport.answer(ack.iq, nullptr);
    else if (paths && paths->up(s.full))
        paths->sendAck(s.full, s.sid, ack.seq);
    // An acknowledgement for a path that failed is not sent: the block
    // comes again in band and is acknowledged there.
}

void Streams::sendSealed(Stream& s, std::string block)
{
    const uint16_t seq = s.sendSeq++;
    if (s.direct) {
        paths->sendBlock(s.full, s.sid, seq, block);
        s.inFlight.push_back(Stream::Sent{seq, true, std::move(block)});
    } else {
        transport.sendBlock(s.full, s.sid, seq, block);
        s.inFlight.push_back(Stream::Sent{seq, false, {}});
    }
}

void Streams::closeMatching(const std::function<bool(const Stream&)>& match, bool tellPeer, bool tellProgram,
                            const std::string& why)
{
    std::vector<Stream*> doomed;
    for (auto& s : streams)
        if (match(*s))
            doomed.push_back(s.get());
    for (Stream* s : doomed)
        removeStream(s, tellPeer, tellProgram, why);
}

void Streams::serverLost()
{
    std::set<std::pair<int, std::string>> touched;
    for (auto& s : streams)
        if (s->open)
            touched.insert({s->client, s->app});
    streams.clear();
    for (const auto& [client, app] : touched)
        programs.send(client, programs.streamsLine(client, app));
}

void Streams::connect(int client, const std::string& app, const std::string& user, bool online)
{
    programs.send(client, "APPLICATION " + app + " CONNECTING " + user);
    std::string why;
    std::string full;
    if (!online)
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
    transport.openStream(full, s->sid, app, compact);
    log.write("opening a stream of " + app + " to " + full + " (sid " + s->sid + ", " + s->seal->pattern() + ")");
    Stream& added = *s;
    streams.push_back(std::move(s));
    // The first handshake message follows the request at once: the
    // contact's daemon gets both in order, and a refused request makes
    // it refused as well.
    advanceHandshake(added, added.seal->step());
}

void Streams::write(int client, const std::string& app, Stream& s, const std::string& text)
{
    programs.send(client, "ALTER APPLICATION " + app + " WRITE " + s.ref());
    if (s.unacked.empty())
        s.waitingSince = now;
    s.unacked.sent(text.size(), now);
    sendSealed(s, s.seal->seal(s.compact ? packText(text) : text));
    programs.reportSending(client, app, true);
}

void Streams::read(int client, Programs::App& app, Stream& s)
{
    if (s.unread.empty()) {
        programs.send(client, errorLine(kErrorNothingToRead, "Nothing to read on " + s.ref()));
        return;
    }
    // The oldest unread text always has its acknowledgement (only the
    // newest are withheld, and never all of them).
    std::string text = std::move(s.unread.front());
    s.unread.pop_front();
    s.unreadBytes -= text.size();
    programs.send(client, "ALTER APPLICATION " + app.name + " READ " + s.ref() + " " + text);
    releaseAcks(s);
    programs.textRead(client, app, s.id, !s.unread.empty());
}

void Streams::disconnect(Stream& s) { removeStream(&s, true, true, "disconnected by the program"); }

void Streams::releaseAcks(Stream& s)
{
    while (!s.withheld.empty()) {
        // The oldest withheld text follows the acknowledged ones.
        size_t acked = s.unread.size() - s.withheld.size();
        size_t next = s.unread[acked].size();
        if (acked >= maxUnread || s.unreadBytes - s.withheldBytes + next > kAckedUnreadBytes)
            break;
        acknowledge(s, s.withheld.front());
        s.withheld.pop_front();
        s.withheldBytes -= next;
    }
}

void Streams::tick(Clock::time_point t)
{
    now = t;
    const std::string limit =
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(answerTimeout).count()) + " ms";
    std::vector<std::pair<Stream*, std::string>> late;
    for (auto& s : streams) {
        if (s->closeHeld && now - s->closeHeldSince >= answerTimeout) {
            late.emplace_back(s.get(), "the blocks before the contact's close did not come within " + limit);
            continue;
        }
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
                transport.probe(s->full, s->sid);
            }
        }
    }
    // An open stream is reported closed; a stream request that was never
    // answered leaves the STREAMS list as it was.
    for (const auto& [s, why] : late)
        removeStream(s, true, true, why);
}
