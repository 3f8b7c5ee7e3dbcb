#include "tunnel/ftp_rewrite.h"

#include <cstdio>
#include <cstring>

#include "core/eventlog.h"
#include "tunnel/ftp_announcement.h"

namespace {

constexpr char kPassivePrefix[] = "227 ENTERING PASSIVE MODE (";
constexpr char kPortPrefix[] = "PORT ";

void dottedAddress(uint32_t networkOrder, int32_t out[4])
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&networkOrder);
    for (int i = 0; i < 4; ++i)
        out[i] = bytes[i];
}

// Replaces lineLength bytes at pos by the text; false when the result would
// not fit.
bool replaceLine(uint8_t* data, uint32_t* length, uint32_t capacity, uint32_t pos, uint32_t lineLength,
                 const char* text)
{
    const auto textLength = static_cast<uint32_t>(std::strlen(text));
    const uint32_t tail = *length - (pos + lineLength);
    if (static_cast<uint64_t>(pos) + textLength + tail > capacity)
        return false;
    std::memmove(data + pos + textLength, data + pos + lineLength, tail);
    std::memcpy(data + pos, text, textLength);
    *length = pos + textLength + tail;
    return true;
}

// Replaces the line at pos by the refusal that suits its direction, or
// removes it when the refusal does not fit. Returns the new line's length.
uint32_t refuseLine(uint8_t* data, uint32_t* length, uint32_t capacity, uint32_t pos, uint32_t lineLength,
                    const QV_FTPANNOUNCEMENT& a)
{
    const char* text = a.isReply() ? kFtpRefusedReply : kFtpRefusedCommand;
    if (!replaceLine(data, length, capacity, pos, lineLength, text)) {
        text = "";
        replaceLine(data, length, capacity, pos, lineLength, text);
    }
    printf("A2AMODEL:data port announcement refused, replaced by:%s\n", text);
    return static_cast<uint32_t>(std::strlen(text));
}

// Traces what the announcement asks for.
void traceAnnouncement(const QV_FTPANNOUNCEMENT& a)
{
    const int32_t port = a.port;
    switch (a.form) {
        case QV_FTPFORM::Passive:
            printf("A2AMODEL iport1=%d\n", port / 256);
            printf("A2AMODEL iport2=%d\n", port % 256);
            printf("A2AMODEL:find Entering Passive port=%d\n", port);
            break;
        case QV_FTPFORM::Port:
            printf("A2AMODEL:find Port Command port=%d\n", port);
            break;
        case QV_FTPFORM::ExtendedPassive:
            printf("A2AMODEL:find Extended Passive port=%d\n", port);
            break;
        default:
            printf("A2AMODEL:find EPRT Command port=%d\n", port);
            break;
    }
}

// The data-link listener for the announced port: its port, the announced
// port when none is needed, or -1 (logged) when none could be had.
int32_t makeListener(int32_t port, const QV_FTPREWRITEHOOKS& hooks)
{
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    const int32_t newPort = hooks.createDataLinkServer ? hooks.createDataLinkServer(port) : -1;
    if (newPort < 0 || newPort > 65535) {
        log->writef(2, "%sとのFTP接続:%sとのd-port=%d 作成失敗.", hooks.peerUser, hooks.forwardHost, port);
        return -1;
    }
    return newPort;
}

// Writes the line that names this PC's address and newPort in the form of
// the announcement into text; answers the console format that shows it.
const char* formatReplacement(const QV_FTPANNOUNCEMENT& a, int32_t newPort, uint32_t localAddress, char* text,
                              size_t size)
{
    int32_t addr[4];
    dottedAddress(localAddress, addr);
    switch (a.form) {
        case QV_FTPFORM::Passive:
            std::snprintf(text, size, "%s%d,%d,%d,%d,%d,%d)\r\n", kPassivePrefix, addr[0], addr[1], addr[2], addr[3],
                          newPort / 256, newPort % 256);
            return "A2AMODEL make string:%s";
        case QV_FTPFORM::Port:
            std::snprintf(text, size, "%s%d,%d,%d,%d,%d,%d\r\n", kPortPrefix, addr[0], addr[1], addr[2], addr[3],
                          newPort / 256, newPort % 256);
            return "A2AMODEL: make string:%s";
        case QV_FTPFORM::ExtendedPassive:
            std::snprintf(text, size, "229 Entering Extended Passive Mode (|||%d|)\r\n", newPort);
            return "A2AMODEL make string:%s";
        default:
            std::snprintf(text, size, "EPRT |1|%d.%d.%d.%d|%d|\r\n", addr[0], addr[1], addr[2], addr[3], newPort);
            return "A2AMODEL: make string:%s";
    }
}

// One announcement line at pos; returns the length the line has afterwards.
uint32_t rewriteLine(uint8_t* data, uint32_t* length, uint32_t capacity, uint32_t pos, uint32_t lineLength,
                     const QV_FTPANNOUNCEMENT& a, const QV_FTPREWRITEHOOKS& hooks)
{
    if (!a.usable) {
        printf("A2AMODEL:data port announcement not understood (form %d)\n", static_cast<int>(a.form));
        return refuseLine(data, length, capacity, pos, lineLength, a);
    }
    traceAnnouncement(a);
    const int32_t port = a.port;
    const int32_t newPort = makeListener(port, hooks);
    if (newPort < 0)
        return refuseLine(data, length, capacity, pos, lineLength, a);
    if (newPort == port)
        return lineLength;

    char text[128];
    const char* consoleFormat =
        formatReplacement(a, newPort, hooks.getLocalAddress ? hooks.getLocalAddress() : 0, text, sizeof(text));
    if (!replaceLine(data, length, capacity, pos, lineLength, text)) {
        printf("A2AMODEL:rewritten line does not fit\n");
        return refuseLine(data, length, capacity, pos, lineLength, a);
    }
    printf(consoleFormat, text);
    QV_EVENTLOG::getInstance()->writef(2, "%sとのFTP接続:%sとのd-port=%d/%d 作成", hooks.peerUser, hooks.forwardHost,
                                       newPort, port);
    return static_cast<uint32_t>(std::strlen(text));
}

}  // namespace

uint32_t rewriteFtpData(uint8_t* data, uint32_t length, uint32_t capacity, const QV_FTPREWRITEHOOKS& hooks,
                        bool refuseUnendedLine)
{
    if (!data || length > capacity)
        return length;
    bool announced = false;
    uint32_t pos = 0;
    while (pos < length) {
        const auto lineLength = static_cast<uint32_t>(ftpLineLength(data, length, pos));
        const QV_FTPANNOUNCEMENT a = readFtpAnnouncement(data + pos, lineLength);
        const bool unended = pos + lineLength == length && data[length - 1] != '\n';
        if (!a.isAnnouncement()) {
            pos += lineLength;
        } else if (refuseUnendedLine && unended) {
            printf("A2AMODEL:data port announcement without its line end too long to keep, refused\n");
            pos += refuseLine(data, &length, capacity, pos, lineLength, a);
        } else if (announced) {
            // Each listener costs a thread: one per packet.
            printf("A2AMODEL:one data port announcement per packet, this one refused\n");
            pos += refuseLine(data, &length, capacity, pos, lineLength, a);
        } else {
            announced = true;
            pos += rewriteLine(data, &length, capacity, pos, lineLength, a, hooks);
        }
    }
    return length;
}
