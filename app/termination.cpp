#include "app/termination.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <csignal>

namespace {

sigset_t terminationSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    return set;
}

}  // namespace

void blockTerminationSignals()
{
    sigset_t set = terminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int terminationSignalFd()
{
    sigset_t set = terminationSet();
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

int readTerminationSignal(int fd)
{
    signalfd_siginfo info{};
    if (read(fd, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info)))
        return 0;
    return static_cast<int>(info.ssi_signo);
}
