// The transport's events: a stream's request, its handshake, its blocks and
// their acknowledgements, its close.
#include "messenger/core/streams.h"

#include "messenger/core/command.h"
#include "messenger/core/compact_text.h"
#include "messenger/crypto/fingerprint.h"

#include <algorithm>
#include <optional>

namespace {

// Why a block is refused: the condition it is answered with and what the
// log says as the stream ends.
struct Refusal {
    const char* condition;
    std::string why;
};

// The text a data block carries, unpacked when the stream is compact.
std::optional<Refusal> decodeText(const std::string& data, bool compact, std::string& text)
{
    // A text is at most what one WRITE carries; its compact form adds a
    // tag byte. Checked before unpacking too, which doubles the size.
    auto tooLong = [](size_t bytes) {
        return Refusal{"not-acceptable", "the peer sent a text of " + std::to_string(bytes) + " bytes, more than "
                                             + std::to_string(kMaxTextLength)};
    };
    const Refusal undecodable{"bad-request", "undecodable data block"};
    if (data.size() > kMaxTextLength + (compact ? 1 : 0))
        return tooLong(data.size());
    if (!compact)
        text = data;
    else if (!unpackText(data, text))
        return undecodable;
    if (text.size() > kMaxTextLength)
        return tooLong(text.size());
    // A program's text never holds a zero byte, and a command frame to the
    // program cannot carry one: passed on, it would end the program's link.
    if (text.find('\0') != std::string::npos)
        return undecodable;
    return std::nullopt;
}

// Whether a text of `size` bytes in block `seq` is in order and within the
// limits of the stream and of all streams (`unreadTotal` bytes unread now).
std::optional<Refusal> admitText(const Stream& s, uint16_t seq, size_t size, size_t unreadTotal)
{
    if (seq != s.recvSeq)
        return Refusal{"unexpected-request",
                       "block " + std::to_string(seq) + " out of order, expected " + std::to_string(s.recvSeq)};
    if (s.withheld.size() >= Streams::kMaxWithheld)
        // A daemon sends a text only for a WRITE, and a program waits for
        // the empty SENDING: this peer does neither.
        return Refusal{"resource-constraint", "the peer sent more than " + std::to_string(Streams::kMaxWithheld)
                                                  + " texts beyond the unread limit"};
    if (s.unreadBytes + size > Streams::kMaxUnreadBytes)
        return Refusal{
            "resource-constraint",
            "the peer sent more than " + std::to_string(Streams::kMaxUnreadBytes >> 20) + " MiB of texts not yet read"};
    if (unreadTotal + size > Streams::kMaxUnreadTotal)
        return Refusal{"resource-constraint", "the texts not yet read of all streams would take more than "
                                                  + std::to_string(Streams::kMaxUnreadTotal >> 20) + " MiB"};
    return std::nullopt;
}

// Whether the peer's key, just shown by the handshake, is the one pinned for
// the contact (pins it on first use); the log says what was decided.
bool trustPeerKey(TrustStore& trust, Log& log, const Stream& s)
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

}  // namespace

void Streams::openRequest(const std::string& full, const std::string& sid, const std::string& app, bool offersCompact,
                          const IqRef& iq)
{
    std::string bare = full.substr(0, full.find('/'));
    if (!contacts.isMutual(bare)) {
        log.write("refused a stream request of " + peerText(app) + " from " + peerText(full) + ": not a contact");
        transport.answer(iq, "forbidden");
        return;
    }
    if (findBySid(full, sid)) {
        transport.answer(iq, "conflict");
        return;
    }
    if (streamsWith(bare, app) >= kMaxStreamsPerPeer) {
        log.write("refused a stream request of " + peerText(app) + " from " + peerText(full) + ": already "
                  + std::to_string(kMaxStreamsPerPeer) + " streams of it with " + bare);
        transport.answer(iq, "resource-constraint");
        return;
    }
    int owner = programs.ownerOf(app);
    if (!owner) {
        log.write("refused a stream request of " + peerText(app) + " from " + peerText(full) + ": no program runs it");
        transport.answer(iq, "not-acceptable");
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
    transport.acceptStream(iq, s->compact);
    log.write("accepted a stream request of " + app + " from " + peerText(full) + " (sid " + peerText(sid) + ")"
              + (s->compact ? ", compact" : "") + "; handshake follows");
    streams.push_back(std::move(s));
}

void Streams::openResult(const std::string& full, const std::string& sid, bool ok, bool peerCompact)
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

bool Streams::advanceHandshake(Stream& s, StreamSeal::Step step)
{
    for (const std::string& b : s.seal->takeBlocks()) {
        ++s.handshakeUnacked;
        transport.sendBlock(s.full, s.sid, s.sendSeq++, b);
    }
    if (step == StreamSeal::Step::Verify) {
        if (!trustPeerKey(trust, log, s)) {
            removeStream(&s, true, false, "the contact's key was not accepted (see above)");
            return false;
        }
        step = s.seal->accept();
        for (const std::string& b : s.seal->takeBlocks()) {
            ++s.handshakeUnacked;
            transport.sendBlock(s.full, s.sid, s.sendSeq++, b);
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

void Streams::streamEstablished(Stream& s)
{
    if (!programs.app(s.client, s.app)) {
        removeStream(&s, true, false, "its application went away while opening");
        return;
    }
    s.open = true;
    // Only what the opener offered can have been taken up.
    if (s.opener)
        s.compact = compact && (s.seal->peerSettings() & 1) != 0;
    s.id = ++lastId[s.app];
    s.waitingSince = now;
    log.write(std::string(s.opener ? "opened" : "accepted") + " stream " + s.ref() + " of " + s.app + " (sid "
              + peerText(s.sid) + ", sealed, " + s.seal->pattern() + ")" + (s.compact ? ", compact" : ""));
    programs.send(s.client, programs.streamsLine(s.client, s.app));
    if (paths) {
        s.mixed = paths->up(s.full);
        if (s.mixed && s.handshakeUnacked == 0)
            goDirect(s, paths->route(s.full));
        paths->wanted(s.full);
    }
}

void Streams::handshakeBlock(Stream& s, uint16_t seq, const std::string& data, const IqRef& iq)
{
    if (seq != s.recvSeq) {
        transport.answer(iq, "unexpected-request");
        removeStream(&s, true, false,
                     "block " + std::to_string(seq) + " out of order, expected " + std::to_string(s.recvSeq));
        return;
    }
    ++s.recvSeq;
    if (s.seal->step() != StreamSeal::Step::Pending) {
        transport.answer(iq, "unexpected-request");
        removeStream(&s, true, false, "a block came before the handshake allowed one");
        return;
    }
    transport.answer(iq, nullptr);
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

void Streams::block(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data,
                    const IqRef& iq)
{
    Stream* s = findBySid(full, sid);
    if (!s) {
        transport.answer(iq, "item-not-found");
        return;
    }
    if (!s->open && data.size() <= kMaxBlockBytes) {
        handshakeBlock(*s, seq, data, iq);
        return;
    }
    receive(*s, seq, data, AckRef{iq, seq, false});
}

void Streams::directBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data)
{
    // A block for a stream that is gone has nobody to answer: its sender
    // learns it from the close or the probe in band.
    if (Stream* s = findBySid(full, sid))
        receive(*s, seq, data, AckRef{{}, seq, true});
}

void Streams::receive(Stream& s, uint16_t seq, const std::string& data, const AckRef& ack)
{
    if (data.size() > kMaxBlockBytes) {
        refuse(s, ack, "not-acceptable",
               "block " + std::to_string(seq) + " takes " + std::to_string(data.size()) + " bytes, more than the "
                   + std::to_string(kMaxBlockBytes) + " of the stream's block size");
        return;
    }
    if (!s.open) {
        // Only the handshake travels before the stream is open, in band.
        refuse(s, ack, "unexpected-request", "a block came on the direct path before the handshake was done");
        return;
    }
    if (s.mixed && seq != s.recvSeq) {
        const uint16_t ahead = static_cast<uint16_t>(seq - s.recvSeq);
        if (ahead >= 0x8000) {
            duplicate(s, ack);
            return;
        }
        if (auto h = s.held.find(seq); h != s.held.end()) {
            // It came again before its turn (sent in band once the path
            // failed): acknowledged when its turn comes, on the newer path.
            // Not now: an acknowledgement covers every block before it.
            if (h->second.ack.direct)
                h->second.ack = ack;
            else
                acknowledge(s, ack);
            return;
        }
        if (s.held.size() >= kMaxWithheld || s.heldBytes + data.size() > kMaxUnreadBytes) {
            refuse(s, ack, "resource-constraint",
                   "the peer sent more than " + std::to_string(kMaxWithheld) + " blocks or "
                       + std::to_string(kMaxUnreadBytes >> 20) + " MiB ahead of their turn");
            return;
        }
        s.heldBytes += data.size();
        s.held.emplace(seq, Stream::Held{data, ack});
        return;
    }
    if (!take(s, seq, data, ack))
        return;
    // Blocks that came ahead on the other path follow in their turn.
    for (auto it = s.held.find(s.recvSeq); it != s.held.end(); it = s.held.find(s.recvSeq)) {
        Stream::Held h = std::move(it->second);
        s.held.erase(it);
        s.heldBytes -= h.data.size();
        if (!take(s, h.ack.seq, h.data, h.ack))
            return;
    }
    if (s.closeHeld && s.held.empty())
        peerClosed(s);
}

void Streams::duplicate(Stream& s, const AckRef& ack)
{
    // Its first copy may still wait for READ: the acknowledgement then goes
    // on the newer path when it is due.
    for (AckRef& w : s.withheld)
        if (w.seq == ack.seq && w.direct) {
            w = ack;
            return;
        }
    acknowledge(s, ack);
}

bool Streams::take(Stream& s, uint16_t seq, const std::string& data, const AckRef& ack)
{
    if (s.endSeen) {
        refuse(s, ack, "unexpected-request", "block " + std::to_string(seq) + " came after the contact's sealed end");
        return false;
    }
    std::string inner;
    if (!s.seal->open(data, inner)) {
        if (seq == s.recvSeq && s.seal->openEnd(data)) {
            // The contact ends the stream; its close follows.
            ++s.recvSeq;
            s.endSeen = true;
            acknowledge(s, ack);
            return true;
        }
        // Nothing of this block, nor of any after it, reaches the program.
        refuse(s, ack, "not-acceptable",
               "block " + std::to_string(seq)
                   + " does not open with the stream's key: it was altered, replayed, reordered or one before it was "
                     "lost on the way");
        return false;
    }
    std::string text;
    size_t unreadTotal = 0;
    for (const auto& other : streams)
        unreadTotal += other->unreadBytes + other->heldBytes;
    std::optional<Refusal> refusal = decodeText(inner, s.compact, text);
    if (!refusal)
        refusal = admitText(s, seq, text.size(), unreadTotal);
    if (refusal) {
        refuse(s, ack, refusal->condition, refusal->why);
        return false;
    }
    storeText(s, std::move(text), ack);
    return true;
}

void Streams::storeText(Stream& s, std::string text, const AckRef& ack)
{
    ++s.recvSeq;
    const size_t size = text.size();
    s.unreadBytes += size;
    s.unread.push_back(std::move(text));
    if (s.withheld.empty() && s.unread.size() <= maxUnread && s.unreadBytes <= kAckedUnreadBytes) {
        acknowledge(s, ack);
    } else {
        s.withheld.push_back(ack);
        s.withheldBytes += size;
    }
    programs.textArrived(s.client, s.app, s.id);
}

void Streams::blockResult(const std::string& full, const std::string& sid, uint16_t seq, bool ok)
{
    Stream* s = findBySid(full, sid);
    if (!s)
        return;
    if (s->handshakeUnacked > 0) {
        // Acknowledgements come in order, and the handshake's blocks went first.
        --s->handshakeUnacked;
        if (!ok)
            removeStream(s, true, true, "a handshake block was not delivered");
        else if (s->handshakeUnacked == 0 && s->open && paths && paths->up(full))
            goDirect(*s, paths->route(full));
        return;
    }
    if (!s->open || s->inFlight.empty())
        return;
    if (!ok) {
        removeStream(s, true, true, "a text was not delivered");
        return;
    }
    ackedUpTo(*s, seq);
}

void Streams::directAck(const std::string& full, const std::string& sid, uint16_t seq)
{
    Stream* s = findBySid(full, sid);
    if (s && s->open)
        ackedUpTo(*s, seq);
}

void Streams::ackedUpTo(Stream& s, uint16_t seq)
{
    // The contact takes blocks in order and acknowledges them in order: an
    // acknowledgement covers every block before it, and one that comes
    // late on the slower path covers nothing more.
    auto it = std::find_if(s.inFlight.begin(), s.inFlight.end(), [seq](const Stream::Sent& b) { return b.seq == seq; });
    if (it == s.inFlight.end())
        return;
    for (auto n = std::distance(s.inFlight.begin(), it) + 1; n > 0; --n) {
        s.inFlight.pop_front();
        s.unacked.acked(now);
    }
    s.waitingSince = now;
    s.probing = false;
    programs.reportSending(s.client, s.app, false);
}

void Streams::closeRequest(const std::string& full, const std::string& sid, const IqRef& iq)
{
    Stream* s = findBySid(full, sid);
    transport.answer(iq, s ? nullptr : "item-not-found");
    if (s)
        peerClosed(*s);
}

void Streams::directClose(const std::string& full, const std::string& sid)
{
    if (Stream* s = findBySid(full, sid))
        peerClosed(*s);
}

void Streams::peerClosed(Stream& s)
{
    if (!s.held.empty()) {
        // Blocks before the close are still on the way on the other path.
        if (!s.closeHeld)
            s.closeHeldSince = now;
        s.closeHeld = true;
        return;
    }
    // An open stream's contact sends its sealed end before the close; a
    // close without one was made by someone else.
    if (s.open && !s.endSeen)
        removeStream(&s, false, true,
                     "broken: closed without the sealed end of " + peerText(s.full)
                         + " (the server or the link cut it, or its daemon stopped without ending it)");
    else
        removeStream(&s, false, true, "closed by " + peerText(s.full));
}

void Streams::goDirect(Stream& s, const std::string& how)
{
    s.direct = true;
    log.write("stream " + s.ref() + " of " + s.app + " goes " + how);
}

void Streams::pathUp(const std::string& full, const std::string& how)
{
    for (auto& s : streams)
        if (s->full == full) {
            s->mixed = true;
            if (s->open && s->handshakeUnacked == 0 && !s->direct)
                goDirect(*s, how);
        }
}

void Streams::pathDown(const std::string& full, const std::string& why)
{
    for (auto& s : streams) {
        if (s->full != full || !s->direct)
            continue;
        s->direct = false;
        log.write("stream " + s->ref() + " of " + s->app
                  + " goes in band via the server: the direct path failed: " + why);
        // What the path may have lost goes again, in order; what the
        // contact already took it only acknowledges.
        for (Stream::Sent& b : s->inFlight)
            if (b.direct) {
                transport.sendBlock(s->full, s->sid, b.seq, b.block);
                b.direct = false;
                b.block.clear();
            }
        // A close that went on the path may be lost with it: the probe
        // finds out whether the contact still has the stream.
        if (s->inFlight.empty() && !s->probing) {
            s->probing = true;
            s->probeSent = now;
            transport.probe(s->full, s->sid);
        }
    }
}

bool Streams::usesPath(const std::string& full) const
{
    return std::any_of(streams.begin(), streams.end(), [&](const auto& s) { return s->full == full && s->open; });
}

void Streams::badBlock(const std::string& full, const std::string& sid, const IqRef& iq)
{
    transport.answer(iq, "bad-request");
    if (Stream* s = findBySid(full, sid))
        removeStream(s, true, true, "undecodable data block");
}

void Streams::probeResult(const std::string& full, const std::string& sid, bool ok)
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
