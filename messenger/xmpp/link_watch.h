// Keeps the server connection checked: a link that has died without a word
// (a cable pulled, a router gone) leaves the TCP connection open for many
// minutes, so the daemon must find out on its own. Every sign of life of
// the server restarts the quiet time; after kQuiet without one the daemon
// pings the server (XEP-0199), and a ping followed by kAnswer without any
// sign of life means the connection is gone.
//
// Signs of life: bytes received from the server (every stanza, the pong
// among them), and bytes the server's TCP acknowledges while more of this
// side's bytes wait to be sent. The latter keeps a busy link alive whose
// server reads slowly (a rate limit, a long queue in front of the pong);
// acknowledgements of an idle socket do not count, since the kernel of a
// server whose process hangs still gives them.
//
// Pure: the daemon feeds it the socket's counters and acts on the answer.
// One thread.
#pragma once

#include <chrono>
#include <cstdint>

class LinkWatch {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds kQuiet{5};
    static constexpr std::chrono::seconds kAnswer{10};

    enum class Action { None, Ping, Dead };

    struct Counters {
        uint64_t received = 0;  // bytes received from the server so far
        uint64_t acked = 0;     // bytes the server's TCP has acknowledged so far
        uint64_t unsent = 0;    // bytes handed to the connection, not yet sent
    };

    // A connection is online from `now` on; counters start again.
    void start(Clock::time_point now, const Counters& counters);
    // Called often while online. Ping: send one now (once per quiet spell);
    // Dead (once, then nothing until the next start): give the connection up.
    Action sample(Clock::time_point now, const Counters& counters);
    bool pinging() const { return pingOut; }

private:
    Clock::time_point lastLife{};
    Clock::time_point pingSent{};
    bool pingOut = false;
    bool gaveUp = false;
    Counters last;
};
