// FTP control-channel rewriting. The receiving side of the FTP stream points
// the local FTP program at a data-link socket of this program instead of the
// address the remote FTP program announced: a passive reply ("227 ", "229 ")
// or an active command ("PORT ", "EPRT ") makes the TCP manager create a
// data-link listener, and the line is replaced by one that names that
// listener. Every line of the data is looked at, not only the first; bytes
// before and after a rewritten line stay as they were.
//
// No data connection may go around the tunnel: an announcement that cannot
// be rewritten (a form without IPv4 such as "228 ", "LPRT " or "EPRT |2|",
// numbers out of range, a listener that could not be made) is replaced by a
// refusal: kFtpRefusedReply towards the FTP client, kFtpRefusedCommand
// towards the FTP server, which then answers the client's data request with
// an error. One packet gets at most one data-link listener: every
// announcement after the first in the same data is refused.
//
// A free function without state of its own. The data link and this PC's
// address come from the hooks, so the rewriting runs without sockets.
// Event-log lines name the peer user and the forward host of the hooks.
#pragma once

#include <cstdint>
#include <functional>

inline constexpr char kFtpRefusedReply[] = "500 Data connection refused by the tunnel.\r\n";
inline constexpr char kFtpRefusedCommand[] = "ABOR\r\n";

struct QV_FTPREWRITEHOOKS {
    // The port of a new data-link listener for the announced port, the
    // announced port itself when no new listener is needed, or -1.
    std::function<int32_t(int32_t port)> createDataLinkServer;
    // This PC's IPv4 address in network byte order.
    std::function<uint32_t()> getLocalAddress;
    const char* peerUser = "";
    const char* forwardHost = "";
};

// Rewrites the `length` bytes of `data` (which may hold up to `capacity`
// bytes) in place and returns the new length. A refusal that would not fit
// removes its line instead. With `refuseUnendedLine`, a last line without
// its line end that is an announcement is refused whatever it holds: it
// was cut off by the end of the data and grew too long to wait for the
// rest (see QV_FTPPARTIALLINE).
uint32_t rewriteFtpData(uint8_t* data, uint32_t length, uint32_t capacity, const QV_FTPREWRITEHOOKS& hooks,
                        bool refuseUnendedLine = false);
