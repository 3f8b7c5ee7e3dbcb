// QV_TCPLINK: what one QV_SOCKETTCP serves: the port it speaks for, whether
// it listens or connects out, and whether it carries a service connection or
// an FTP data link. The socket object owns it; its endpoint, control packets
// and relay read it through a const reference.
//
// Threads: written by the owner on the event-loop thread only while no
// connection thread runs (a socket is prepared or created again only after
// its thread is stopped, and the service kind is set before the thread is
// started); read by the connection thread and by the owner's getters.
#pragma once

#include <cstdint>

#include "wire/a2a_packet.h"

struct QV_TCPLINK {
    static constexpr int32_t kRoleNone = 0;
    static constexpr int32_t kRoleClient = 1;
    static constexpr int32_t kRoleServer = 2;

    int32_t port = 0;
    int32_t role = kRoleNone;
    // 1 for a service connection (packet kinds CONTROL and DATA), 0 for an
    // FTP data link (DATA-LINK CONTROL and DATA-LINK DATA).
    int32_t mainService = 1;

    bool isServer() const { return role == kRoleServer; }
    uint16_t controlKind() const { return mainService ? kA2AKindControl : kA2AKindDataLinkControl; }
    uint16_t dataKind() const { return mainService ? kA2AKindData : kA2AKindDataLinkData; }
};
