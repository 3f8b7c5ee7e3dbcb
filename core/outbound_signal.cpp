#include "core/outbound_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

int32_t outboundSignalFd()
{
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void signalOutbound()
{
    int fd = outboundSignalFd();
    uint64_t one = 1;
    if (fd >= 0 && write(fd, &one, sizeof one) < 0) {
        // The counter is full only if nobody drains it: nothing to add.
    }
}

void drainOutboundSignal()
{
    int fd = outboundSignalFd();
    uint64_t value = 0;
    if (fd >= 0 && read(fd, &value, sizeof value) < 0) {
        // Nothing pending.
    }
}
