// A TCP relay that adds a fixed one-way delay in each direction, for tests
// and benchmarks that must see what a distant server does (kernel netem is
// not available everywhere). Every accepted connection is relayed to one
// target; bytes keep their order, each chunk leaves `delay` after it was
// read, and a half-close travels with the same delay. The relay reads on
// while it holds less than kMaxHeld bytes for a direction, like a link with
// that much in flight, and writes only as fast as the far side takes. It
// ends TCP on both sides, so a sender's Nagle meets this relay's
// acknowledgements (given at once) rather than the far end's.
//
// One thread of its own, started by start() and joined by stop() or the
// destructor; the other members may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class DelayProxy {
public:
    static constexpr size_t kMaxHeld = 2 * 1024 * 1024;

    // Listens on `listenHost`:`listenPort` (0: a free port, see port())
    // and relays to `targetHost`:`targetPort` (numeric IPv4 addresses).
    DelayProxy(std::string listenHost, int listenPort, std::string targetHost, int targetPort,
               std::chrono::milliseconds delay);
    ~DelayProxy();
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // Binds and starts the thread; false (and error()) when it cannot listen.
    bool start();
    void stop();
    int port() const { return boundPort; }
    const std::string& error() const { return why; }

    // Bytes relayed so far towards the target and back (payload of TCP).
    uint64_t bytesToTarget() const { return toTarget; }
    uint64_t bytesFromTarget() const { return fromTarget; }
    int connections() const { return accepted; }
    // Keeps every relayed byte (before start()); recorded() gives those
    // towards the target or back.
    void recordBytes() { recording = true; }
    std::string recorded(bool towardsTarget) const;

    // Tampering, for tests of what a server in between may do. `filter`
    // (set before start(), called on the relay's thread) sees every chunk
    // read, with its direction, and may change or empty it before it is
    // relayed. inject() puts `bytes` into every relayed connection as if
    // read now, behind what is already on its way in that direction.
    using Filter = std::function<void(bool towardsTarget, std::string& bytes)>;
    void setFilter(Filter f) { filter = std::move(f); }
    void inject(bool towardsTarget, std::string bytes);

private:
    void run();

    const std::string listenHost;
    const int listenPort;
    const std::string targetHost;
    const int targetPort;
    const std::chrono::milliseconds delay;
    int listenFd = -1;
    int wakeFds[2] = {-1, -1};
    int boundPort = 0;
    std::string why;
    std::thread worker;
    std::atomic<bool> stopRequested{false};
    std::atomic<uint64_t> toTarget{0};
    std::atomic<uint64_t> fromTarget{0};
    std::atomic<int> accepted{0};
    bool recording = false;
    Filter filter;
    std::mutex injectMutex;
    std::vector<std::pair<bool, std::string>> injected;  // guarded by injectMutex
    mutable std::mutex recordMutex;
    std::string record[2];  // towards the target, back; guarded by recordMutex
};
