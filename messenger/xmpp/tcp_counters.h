// Counters of the kernel for one TCP socket: what the peer has acknowledged
// and what still waits to be sent. No state.
#pragma once

#include <cstdint>

struct TcpCounters {
    uint64_t acked = 0;     // bytes the peer's TCP has acknowledged
    uint64_t received = 0;  // bytes received from the peer
    uint64_t unsent = 0;    // bytes written to the socket and not yet sent
};

// False when `fd` is not a TCP socket the kernel reports on.
bool readTcpCounters(int fd, TcpCounters& out);
