#include "app/single_instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstring>

InstanceGuard acquireSingleInstance(const char* name)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return InstanceGuard::Failed;

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = std::strlen(name);
    if (len + 1 > sizeof(addr.sun_path)) {
        close(fd);
        return InstanceGuard::Failed;
    }
    addr.sun_path[0] = '\0';  // abstract namespace
    std::memcpy(addr.sun_path + 1, name, len);
    socklen_t addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);

    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), addrLen) != 0) {
        int err = errno;
        close(fd);
        return err == EADDRINUSE ? InstanceGuard::AlreadyRunning : InstanceGuard::Failed;
    }
    // Deliberately kept open: the kernel releases the name with the process.
    return InstanceGuard::Acquired;
}
