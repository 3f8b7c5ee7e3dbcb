// Helpers of the TCP tests: loopback peers, queue polling with deadlines,
// packet builders and event-log capture. Every wait here is bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/eventlog.h"
#include "core/que.h"

namespace tcptest {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kWait{10000};

// Polls `done` every few milliseconds until it holds or `limit` passes.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kWait);

// A port on which nothing listens at the moment of the call.
int freePort();
// Listens on 127.0.0.1 or `address`; *port receives the port; -1 on failure.
int listenLoopback(int* port);
int listenOn(const char* address, int* port);
// Connects to 127.0.0.1 or `address`, from `from` when given; -1 when refused.
int connectLoopback(int port);
int connectTo(const char* address, int port, const char* from = nullptr);
std::string remoteAddressOf(int fd);

// Accepts on a test listener within the limit; -1 when none came.
int acceptWithin(int listener, std::chrono::milliseconds limit = kWait);
bool writeAll(int fd, const void* data, size_t size);
// Reads until `size` bytes came, the peer closed, or the limit passed.
std::string readSome(int fd, size_t size, std::chrono::milliseconds limit = kWait);
// True when nothing arrived and the connection is still open right now.
bool stillOpenAndQuiet(int fd);
// How a connection ended: reading on (and dropping data) until an orderly
// end of stream, a reset, or the limit (None).
enum class End { Orderly, Reset, None };
End endOf(int fd, std::chrono::milliseconds limit = kWait);

// Takes one entry within the limit; empty vector when none came.
std::vector<uint8_t> takePacket(QV_QUE* queue, std::chrono::milliseconds limit = kWait);
// Puts an entry in, waiting for room within the limit.
bool putPacket(QV_QUE* queue, const std::vector<uint8_t>& packet, std::chrono::milliseconds limit = kWait);

std::vector<uint8_t> packet(uint16_t kind, uint16_t code, int port, const std::string& data = "", uint16_t result = 0,
                            uint32_t seq = 0);

// Collects the event-log lines written while it is listening.
class LogCapture : public QV_EVENTLOGLISTENER {
public:
    void notifyLogLine(const char* line) override;
    // Lines of the level ("ER", "WA", "EV", "DE") with `text` after their level tag.
    int count(const std::string& text, const char* level = "EV");
    bool has(const std::string& text, const char* level = "EV") { return count(text, level) > 0; }
    std::vector<std::string> lines();

private:
    std::mutex mutex;
    std::vector<std::string> collected;
};

}  // namespace tcptest
