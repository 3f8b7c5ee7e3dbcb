#include "messenger/crypto/stream_seal.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr char kXX = 'X';
constexpr char kIK = 'I';
constexpr char kRestart = 'R';
constexpr char kConfirm = 'C';
// The associated data of the sealed end; texts have none.
constexpr std::string_view kEndAd = "end";

char kindOf(noise::Pattern p) { return p == noise::Pattern::IK ? kIK : kXX; }

std::string lowered(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Each field behind its length, so no two different streams give the same
// prologue whatever their names hold.
void addField(std::string& out, const std::string& field)
{
    out += std::to_string(field.size());
    out += ':';
    out += field;
}

}  // namespace

StreamSeal::StreamSeal(Role r, const noise::KeyPair& ownKeys, std::string p)
    : role(r), own(ownKeys), prologueText(std::move(p))
{
}

StreamSeal::~StreamSeal() = default;

std::unique_ptr<StreamSeal> StreamSeal::opener(const noise::KeyPair& own, std::string prologue,
                                               const noise::Key* peerKey)
{
    std::unique_ptr<StreamSeal> s(new StreamSeal(Role::Opener, own, std::move(prologue)));
    s->start(peerKey ? noise::Pattern::IK : noise::Pattern::XX, peerKey);
    s->sendMessage(kindOf(s->current), {});
    return s;
}

std::unique_ptr<StreamSeal> StreamSeal::acceptor(const noise::KeyPair& own, std::string prologue, uint8_t settings)
{
    std::unique_ptr<StreamSeal> s(new StreamSeal(Role::Acceptor, own, std::move(prologue)));
    s->settings = settings;
    return s;
}

std::string StreamSeal::prologue(const std::string& openerJid, const std::string& acceptorJid, const std::string& sid,
                                 const std::string& app, bool compactOffered)
{
    std::string out = "CorvaneForTcp stream 2;";
    addField(out, lowered(openerJid));
    addField(out, lowered(acceptorJid));
    addField(out, sid);
    addField(out, app);
    addField(out, compactOffered ? "compact" : "plain");
    return out;
}

const char* StreamSeal::pattern() const { return current == noise::Pattern::IK ? "IK" : "XX"; }

void StreamSeal::start(noise::Pattern pattern, const noise::Key* peerKey)
{
    current = pattern;
    if (peerKey)
        peer = *peerKey;
    hs = std::make_unique<noise::HandshakeState>(pattern, role == Role::Opener, prologueText, own, peerKey);
}

void StreamSeal::sendMessage(char kind, std::string_view payload)
{
    std::string message;
    if (!hs->writeMessage(payload, message)) {
        fail("the handshake could not go on");
        return;
    }
    out.push_back(std::string(1, kind) + message);
}

std::vector<std::string> StreamSeal::takeBlocks()
{
    std::vector<std::string> r;
    r.swap(out);
    return r;
}

StreamSeal::Step StreamSeal::fail(const std::string& reason)
{
    if (state != Step::Failed)
        why = reason;
    state = Step::Failed;
    hs.reset();
    return state;
}

bool StreamSeal::splitKeys()
{
    if (state == Step::Failed)
        return false;
    if (!hs->split(sending, receiving)) {
        fail("the handshake did not give keys");
        return false;
    }
    hs.reset();
    return true;
}

StreamSeal::Step StreamSeal::finish()
{
    if (splitKeys())
        state = Step::Established;
    return state;
}

StreamSeal::Step StreamSeal::receive(std::string_view block)
{
    if (state != Step::Pending)
        return fail("a handshake block came out of turn");
    if (block.empty())
        return fail("an empty handshake block");
    const char kind = block[0];
    const std::string_view message = block.substr(1);
    std::string payload;

    if (confirming) {
        if (kind != kConfirm || !receiving.decryptWithAd({}, message, payload) || !payload.empty())
            return fail("the contact did not confirm the handshake");
        confirming = false;
        state = Step::Established;
        return state;
    }
    if (role == Role::Opener) {
        if (kind == kRestart && block.size() == 1 && current == noise::Pattern::IK && !restarted) {
            // The contact could not read the IK message: its key is not
            // the one pinned here. XX shows the key it has now.
            restarted = true;
            start(noise::Pattern::XX, nullptr);
            sendMessage(kXX, {});
            return state;
        }
        if (kind != kindOf(current))
            return fail("a handshake block of an unexpected kind");
        if (!hs->readMessage(message, payload))
            return fail("the contact's handshake message did not verify");
        if (payload.size() != 1)
            return fail("the contact's handshake message carries no settings");
        settings = static_cast<uint8_t>(payload[0]);
        if (current == noise::Pattern::IK) {
            // The contact hears that this side is really there: without
            // it a recorded first message would make it a stream again.
            if (finish() == Step::Established)
                out.push_back(std::string(1, kConfirm) + sending.encryptWithAd({}, {}));
            return state;
        }
        peer = hs->remoteStatic();
        state = Step::Verify;
        return state;
    }

    if (!hs) {
        // The opener's first message.
        if (kind == kIK && !restarted) {
            start(noise::Pattern::IK, nullptr);
            if (!hs->readMessage(message, payload)) {
                // Not made for this side's key: ask for XX, once.
                restarted = true;
                hs.reset();
                out.push_back(std::string(1, kRestart));
                return state;
            }
            peer = hs->remoteStatic();
            state = Step::Verify;
            return state;
        }
        if (kind != kXX)
            return fail("a handshake block of an unexpected kind");
        start(noise::Pattern::XX, nullptr);
        if (!hs->readMessage(message, payload))
            return fail("the contact's handshake message did not verify");
        sendMessage(kXX, std::string_view(reinterpret_cast<const char*>(&settings), 1));
        return state;
    }
    // XX, the opener's last message.
    if (kind != kXX || current != noise::Pattern::XX)
        return fail("a handshake block of an unexpected kind");
    if (!hs->readMessage(message, payload))
        return fail("the contact's handshake message did not verify");
    peer = hs->remoteStatic();
    state = Step::Verify;
    return state;
}

StreamSeal::Step StreamSeal::accept()
{
    if (state != Step::Verify)
        return fail("the handshake was not waiting for a key check");
    state = Step::Pending;
    if (role == Role::Opener) {
        // XX: the opener's static key goes last; the contact has yet to
        // check it.
        sendMessage(kXX, {});
        confirming = splitKeys();
        return state;
    }
    if (current == noise::Pattern::IK) {
        // The opener's first message may be a recording: the stream is
        // established on the opener's 'C', which only the holder of the
        // first message's ephemeral key can seal.
        sendMessage(kIK, std::string_view(reinterpret_cast<const char*>(&settings), 1));
        confirming = splitKeys();
        return state;
    }
    if (finish() == Step::Established)
        out.push_back(std::string(1, kConfirm) + sending.encryptWithAd({}, {}));
    return state;
}

std::string StreamSeal::seal(std::string_view text)
{
    // Without its keys a cipher state passes text through as it is: never
    // let that happen to a stream text.
    if (state != Step::Established)
        return std::string();
    return sending.encryptWithAd({}, text);
}

bool StreamSeal::open(std::string_view block, std::string& text)
{
    return state == Step::Established && receiving.decryptWithAd({}, block, text);
}

std::string StreamSeal::sealEnd()
{
    if (state != Step::Established)
        return std::string();
    return sending.encryptWithAd(kEndAd, {});
}

bool StreamSeal::openEnd(std::string_view block)
{
    std::string nothing;
    return state == Step::Established && receiving.decryptWithAd(kEndAd, block, nothing) && nothing.empty();
}
