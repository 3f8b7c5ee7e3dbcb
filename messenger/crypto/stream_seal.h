// One stream's protection between two daemons: the Noise handshake that
// opens it (noise.h) and the sealing of every text after it. The opener
// uses IK when it holds the contact's key, XX otherwise; an IK first
// message the other side cannot read (its key changed, or it never had
// the one assumed) is answered with a request to start over with XX, once.
// Every handshake block starts with a kind byte:
//   'X'  a message of the XX pattern
//   'I'  a message of the IK pattern
//   'R'  "start over with XX" (from the accepting side, no message)
//   'C'  the last word of the handshake, an empty text sealed with the
//        new keys: after XX from the accepting side (it checked the
//        opener's key), after IK from the opener (it is there)
// The accepting side's last message carries one byte of settings (bit 0:
// it takes up the compact form). With XX the opener shows its key last, so
// it counts the stream as established only on the 'C': a stream the
// contact refuses never looks open on either side. With IK the accepting
// side waits for the 'C': the opener's first message alone could be
// replayed by anyone who recorded it. After the handshake each block is one
// text sealed under the next counter nonce of its direction, so a block
// that is altered, replayed, reordered or missing does not open; the last
// one is the stream's sealed end (sealEnd), so that a close the server
// makes up is told from the contact's.
// Pure computation: the core sends the blocks and checks the peer's key.
// crypto/ (this, Noise, fingerprints) uses libsodium and support/ only.
#pragma once

#include "messenger/crypto/noise.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class StreamSeal {
public:
    enum class Role { Opener, Acceptor };
    enum class Step {
        Pending,      // waiting for the peer's next block
        Verify,       // the peer's static key is known: check it, then accept() or give up
        Established,  // texts may be sealed and opened
        Failed,       // the stream must be closed (see failure())
    };

    // The opening side. `peerKey`: the contact's pinned key (IK), or null
    // (XX). The first block is ready at once.
    static std::unique_ptr<StreamSeal> opener(const noise::KeyPair& own, std::string prologue,
                                              const noise::Key* peerKey);
    // The accepting side; `settings` goes to the opener in the last
    // message (bit 0: compact).
    static std::unique_ptr<StreamSeal> acceptor(const noise::KeyPair& own, std::string prologue, uint8_t settings);

    ~StreamSeal();
    StreamSeal(const StreamSeal&) = delete;
    StreamSeal& operator=(const StreamSeal&) = delete;

    // The prologue both sides must agree on: what the stream is (the two
    // accounts, the session id, the application, the compact offer). The
    // JIDs are compared without regard to case.
    static std::string prologue(const std::string& openerJid, const std::string& acceptorJid, const std::string& sid,
                                const std::string& app, bool compactOffered);

    // Blocks to send now, in order (the handshake's).
    std::vector<std::string> takeBlocks();
    // A handshake block of the peer.
    Step receive(std::string_view block);
    // After Verify: the key is trusted; the handshake goes on.
    Step accept();
    Step step() const { return state; }
    // Why the handshake failed.
    const std::string& failure() const { return why; }

    // Known from Verify on (and from the start for an IK opener).
    const noise::Key& peerKey() const { return peer; }
    // The pattern in use: "XX" or "IK".
    const char* pattern() const;
    // The opener went from IK over to XX at the contact's request.
    bool startedOver() const { return role == Role::Opener && restarted; }
    // The settings byte the accepting side sent (opener, once established).
    uint8_t peerSettings() const { return settings; }

    // Established only: one text sealed for the peer, and one of the
    // peer's blocks opened (false: it does not verify, the stream must end).
    std::string seal(std::string_view text);
    bool open(std::string_view block, std::string& text);
    // The stream's sealed end: the last block a daemon sends before it
    // closes the stream, under the next nonce like a text but with its own
    // associated data, so that no text can be taken for it. Established
    // only (otherwise empty / false).
    std::string sealEnd();
    bool openEnd(std::string_view block);

private:
    StreamSeal(Role role, const noise::KeyPair& own, std::string prologue);
    void start(noise::Pattern pattern, const noise::Key* peerKey);
    Step fail(const std::string& reason);
    Step finish();
    // Splits the keys; false (and failed) when the handshake gave none.
    bool splitKeys();
    void sendMessage(char kind, std::string_view payload);

    Role role;
    noise::KeyPair own;
    std::string prologueText;
    std::unique_ptr<noise::HandshakeState> hs;
    noise::Pattern current = noise::Pattern::XX;
    bool restarted = false;
    bool confirming = false;  // XX opener, IK acceptor: waiting for the 'C'
    uint8_t settings = 0;
    noise::Key peer{};
    Step state = Step::Pending;
    std::string why;
    std::vector<std::string> out;
    noise::CipherState sending;
    noise::CipherState receiving;
};
