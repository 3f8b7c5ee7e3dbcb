// delay_link: a delay element at the IP level, until SIGTERM or SIGINT.
//
//   delay_link --delay-ms D IN OUT [IN OUT ...]
//
// IN and OUT name TUN devices that exist already (ip tuntap add ... mode
// tun) in the caller's namespace. Every packet the kernel routes into IN
// is written into OUT D ms later, as if it had arrived there; the routes
// and rules around the devices decide which packets take which pair.
// Unlike a relay of TCP connections, both ends keep their own connection:
// their windows, Nagle and acknowledgements see the delay as on a real link.
// The delay is all a pair adds: no loss, no rate limit, order kept. A
// pair holds at most 64 MiB in flight and drops beyond that, as a full
// router queue would. Prints "ready" once every device is open; at the
// end, the packets and bytes each pair carried and dropped.
#include "bench/delay_args.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxQueuedBytes = 64u << 20;
constexpr size_t kMaxPacket = 65536;

volatile std::sig_atomic_t stopRequested = 0;

void onStop(int) { stopRequested = 1; }

struct Packet {
    Clock::time_point due;
    std::string bytes;
};

struct Pair {
    std::string inName, outName;
    int in = -1, out = -1;
    std::deque<Packet> queue;
    size_t queuedBytes = 0;
    unsigned long long packets = 0, bytes = 0, dropped = 0;
};

int openTun(const std::string& name)
{
    int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(fd, TUNSETIFF, &ifr) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int usage()
{
    std::fprintf(stderr, "usage: delay_link --delay-ms D IN OUT [IN OUT ...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    long ms = delayMsOf(argc, argv);
    if (ms < 0)
        return usage();
    const auto delay = std::chrono::milliseconds(ms);
    std::vector<Pair> pairs;
    for (int i = 3; i + 1 < argc; i += 2) {
        Pair p;
        p.inName = argv[i];
        p.outName = argv[i + 1];
        p.in = openTun(p.inName);
        p.out = openTun(p.outName);
        if (p.in < 0 || p.out < 0) {
            std::fprintf(stderr, "delay_link: cannot open %s or %s: %s\n", p.inName.c_str(), p.outName.c_str(),
                         std::strerror(errno));
            return 1;
        }
        pairs.push_back(std::move(p));
    }
    struct sigaction sa {};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<pollfd> fds(pairs.size());
    std::string buffer(kMaxPacket, '\0');
    while (!stopRequested) {
        Clock::time_point now = Clock::now();
        int timeoutMs = -1;
        for (size_t i = 0; i < pairs.size(); ++i) {
            Pair& p = pairs[i];
            // Writes into a TUN device do not block: the kernel takes the
            // packet as received or drops it.
            while (!p.queue.empty() && p.queue.front().due <= now) {
                const std::string& b = p.queue.front().bytes;
                if (::write(p.out, b.data(), b.size()) < 0)
                    ++p.dropped;
                p.queuedBytes -= b.size();
                p.queue.pop_front();
            }
            if (!p.queue.empty()) {
                auto wait = std::chrono::ceil<std::chrono::milliseconds>(p.queue.front().due - now).count();
                if (timeoutMs < 0 || wait < timeoutMs)
                    timeoutMs = static_cast<int>(wait);
            }
            fds[i] = pollfd{p.in, POLLIN, 0};
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0)
            continue;  // a stop signal
        now = Clock::now();
        for (size_t i = 0; i < pairs.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            Pair& p = pairs[i];
            // Bounded: at most a burst of packets per turn, so every pair
            // and the due writes get their turn.
            for (int k = 0; k < 256; ++k) {
                ssize_t n = ::read(p.in, buffer.data(), buffer.size());
                if (n <= 0)
                    break;
                ++p.packets;
                p.bytes += static_cast<unsigned long long>(n);
                if (p.queuedBytes + static_cast<size_t>(n) > kMaxQueuedBytes) {
                    ++p.dropped;
                    continue;
                }
                p.queuedBytes += static_cast<size_t>(n);
                p.queue.push_back(Packet{now + delay, std::string(buffer.data(), static_cast<size_t>(n))});
            }
        }
    }
    for (const Pair& p : pairs) {
        std::printf("%s -> %s: %llu packets, %llu bytes, %llu dropped\n", p.inName.c_str(), p.outName.c_str(),
                    p.packets, p.bytes, p.dropped);
        ::close(p.in);
        ::close(p.out);
    }
    return 0;
}
