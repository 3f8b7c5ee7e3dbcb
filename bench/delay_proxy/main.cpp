// delay_proxy: relays TCP connections with a fixed one-way delay in each
// direction, until SIGTERM or SIGINT.
//
//   delay_proxy --delay-ms D LISTEN_ADDR:PORT TARGET_ADDR:PORT [LISTEN TARGET ...]
//
// Numeric IPv4 addresses. Prints "ready" once every pair listens.
#include "bench/delay_args.h"
#include "tests/support/delay_proxy.h"

#include <pthread.h>
#include <signal.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

bool split(const std::string& s, std::string& host, int& port)
{
    size_t colon = s.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = s.substr(0, colon);
    char* end = nullptr;
    long p = std::strtol(s.c_str() + colon + 1, &end, 10);
    if (!end || *end || p < 0 || p > 65535)
        return false;
    port = static_cast<int>(p);
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: delay_proxy --delay-ms D LISTEN_ADDR:PORT TARGET_ADDR:PORT [...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    long ms = delayMsOf(argc, argv);
    if (ms < 0)
        return usage();
    // The relay threads inherit the blocked set, so the signal waits for
    // sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::vector<std::unique_ptr<DelayProxy>> proxies;
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string lh, th;
        int lp = 0, tp = 0;
        if (!split(argv[i], lh, lp) || !split(argv[i + 1], th, tp))
            return usage();
        auto p = std::make_unique<DelayProxy>(lh, lp, th, tp, std::chrono::milliseconds(ms));
        if (!p->start()) {
            std::fprintf(stderr, "delay_proxy: %s\n", p->error().c_str());
            return 1;
        }
        proxies.push_back(std::move(p));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stopSignals, &sig);
    for (auto& p : proxies) {
        std::printf("port %d: %llu bytes to the target, %llu back, %d connections\n", p->port(),
                    static_cast<unsigned long long>(p->bytesToTarget()),
                    static_cast<unsigned long long>(p->bytesFromTarget()), p->connections());
        p->stop();
    }
    return 0;
}
