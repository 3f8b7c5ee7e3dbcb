#include "messenger/xmpp/tcp_counters.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

bool readTcpCounters(int fd, TcpCounters& out)
{
    tcp_info info{};
    socklen_t len = sizeof info;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return false;
    out.acked = info.tcpi_bytes_acked;
    out.unsent = info.tcpi_notsent_bytes;
    out.received = info.tcpi_bytes_received;
    return true;
}
