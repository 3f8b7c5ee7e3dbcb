// Helpers of the TCP tests: loopback peers, queue polling with deadlines,
// packet building and event-log capture. Every wait here is bounded.
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
// Listens on `address`; *port receives the port; -1 on failure.
int listenOn(int* port, const char* address = "127.0.0.1");
// Connects to `address`, from `from` when given, with a receive buffer of
// that size when given; -1 when refused.
int connectTo(const char* address, int port, const char* from = nullptr, int receiveBuffer = 0);
// -1 when no connection came within the limit.
int acceptWithin(int listener, std::chrono::milliseconds limit = kWait);
bool writeAll(int fd, const std::string& data);
// Reads until `size` bytes came, the peer closed, or the limit passed.
std::string readSome(int fd, size_t size, std::chrono::milliseconds limit = kWait);
// How a connection ended, dropping what still came: an orderly end of
// stream, a reset, or nothing within the limit.
enum class End { Orderly, Reset, None };
End endOf(int fd, std::chrono::milliseconds limit = kWait);

// Puts an entry in, waiting for room within the limit.
bool putPacket(QV_QUE* queue, const std::vector<uint8_t>& packet);
std::vector<uint8_t> packet(uint16_t kind, uint16_t code, int port, const std::string& data = "", uint16_t result = 0,
                            uint32_t seq = 0);

// Collects the event-log lines written while it is listening.
class LogCapture : public QV_EVENTLOGLISTENER {
public:
    void notifyLogLine(const char* line) override;
    // Event lines ("...:EV:" then the text) that say exactly `text`.
    int count(const std::string& text);
    bool has(const std::string& text) { return count(text) > 0; }
    bool waitFor(const std::string& text)
    {
        return waitUntil([&] { return has(text); });
    }
    std::vector<std::string> lines();

private:
    std::mutex mutex;
    std::vector<std::string> collected;
};

}  // namespace tcptest
