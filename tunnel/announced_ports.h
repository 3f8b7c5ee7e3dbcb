// The data ports that this side's own FTP program announced on a stream's
// control connection: the local server's passive replies on the server
// application, the local client's PORT and EPRT commands on the client
// application. The peer may ask for a data-link connect only to one of them:
// each is good for one connect, for kLifetime after it was announced, and
// all are forgotten when the control connection ends.
//
// The clock is passed in, so that tests can move time on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

class QV_ANNOUNCEDPORTS {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::seconds kLifetime{60};
    // Announcements kept at most; a new one pushes out the oldest.
    static constexpr int kSlots = 8;

    explicit QV_ANNOUNCEDPORTS(Clock clock = std::chrono::steady_clock::now);

    void setClock(Clock c) { clock = std::move(c); }
    void announce(int32_t port);
    // True, once, for a port announced within kLifetime; the port is used up.
    bool claim(int32_t port);
    void forget();
    int count() const;

private:
    struct Entry {
        int32_t port = 0;
        std::chrono::steady_clock::time_point at{};
    };
    Clock clock;
    Entry entries[kSlots];
};
