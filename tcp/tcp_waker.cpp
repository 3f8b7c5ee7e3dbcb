#include "tcp/tcp_waker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

QV_TCPWAKER::QV_TCPWAKER()
{
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0)
        std::printf("eventfd Error: %d\n", errno);
    nudgeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (nudgeFd < 0)
        std::printf("eventfd Error: %d\n", errno);
}

QV_TCPWAKER::~QV_TCPWAKER()
{
    if (wakeFd >= 0)
        close(wakeFd);
    if (nudgeFd >= 0)
        close(nudgeFd);
}

void QV_TCPWAKER::requestStop()
{
    stop = 1;
    if (wakeFd < 0)
        return;
    uint64_t one = 1;
    if (write(wakeFd, &one, sizeof(one)) < 0) {
        // Already pending at the counter's limit: the thread is woken anyway.
    }
}

void QV_TCPWAKER::rearm()
{
    stop = 0;
    drainWake();
}

void QV_TCPWAKER::drainWake()
{
    if (wakeFd < 0)
        return;
    uint64_t value = 0;
    while (read(wakeFd, &value, sizeof(value)) > 0) {
    }
}

void QV_TCPWAKER::nudge()
{
    if (nudgeFd < 0)
        return;
    uint64_t one = 1;
    if (write(nudgeFd, &one, sizeof(one)) < 0) {
        // Already pending at the counter's limit: the next pause ends anyway.
    }
}

void QV_TCPWAKER::takeNudge()
{
    uint64_t value = 0;
    if (read(nudgeFd, &value, sizeof(value)) < 0) {
        // Taken by nobody else: the counter is read only here.
    }
}

int32_t QV_TCPWAKER::waitReady(int fd, short events, int timeoutMs)
{
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int n = poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 1;  // let the call itself report the failure
        if (fds[1].revents != 0)
            return -1;
        if (n == 0)
            return 0;
        return 1;
    }
}

void QV_TCPWAKER::pauseMs(int ms)
{
    pollfd fd = {wakeFd, POLLIN, 0};
    if (poll(&fd, 1, ms) < 0) {
        // Interrupted: the caller looks at the stop flag and goes on.
    }
}

void QV_TCPWAKER::pauseOrNudgeMs(int ms)
{
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {nudgeFd, POLLIN, 0}};
    if (poll(fds, 2, ms) > 0 && fds[1].revents != 0)
        takeNudge();
}

bool QV_TCPWAKER::pauseForDataMs(int dataFd, int ms)
{
    pollfd fds[3] = {{wakeFd, POLLIN, 0}, {nudgeFd, POLLIN, 0}, {dataFd, POLLIN | POLLRDHUP, 0}};
    if (poll(fds, 3, ms) <= 0)
        return false;
    if (fds[1].revents != 0)
        takeNudge();
    return fds[2].revents != 0;
}
