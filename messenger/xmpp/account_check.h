// One-shot conversations with the account's XMPP server, for messengerd
// --setup: a login made as the daemon makes it (same connection flags,
// STARTTLS rule, certificate check and tls_ca_file), and the creation of the
// account by in-band registration (XEP-0077). A call blocks until it has an
// outcome or its time limit has passed, then closes the connection; nothing
// is kept between calls. Called from one thread at a time.
#pragma once

#include "messenger/support/config.h"

#include <chrono>
#include <string>

enum class AccountOutcome {
    Done,                // logged in, or the account was created
    NotAuthorized,       // login: the server refused this JID and password
    NotOffered,          // registration: the server does not let clients create accounts
    Taken,               // registration: the name exists already
    Unreachable,         // no connection to the server (name, refused, no route)
    CertificateRefused,  // the server's certificate does not verify
    TimedOut,            // no outcome within the time limit
    Failed,              // anything else
};

struct AccountResult {
    AccountOutcome outcome = AccountOutcome::Failed;
    // CertificateRefused: the refusal as the daemon logs it; Unreachable,
    // NotOffered, Failed: the reason as the server or the system gave it;
    // TimedOut: the time limit ("30 s").
    std::string detail;
};

// What messengerd --setup asks of the server; faked in tests.
class AccountServer {
public:
    virtual AccountResult logIn(const XmppAccount& config) = 0;
    virtual AccountResult createAccount(const XmppAccount& config) = 0;

protected:
    ~AccountServer() = default;
};

class StropheAccountServer final : public AccountServer {
public:
    explicit StropheAccountServer(std::chrono::seconds timeLimit = std::chrono::seconds(30)) : limit(timeLimit) {}

    AccountResult logIn(const XmppAccount& config) override;
    // Connects without logging in, secures the stream with STARTTLS under
    // the configuration's rule, and registers the JID's node with the
    // password.
    AccountResult createAccount(const XmppAccount& config) override;

private:
    std::chrono::seconds limit;
};
