#include "tunnel/ftp_rewrite.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/eventlog.h"
#include "core/text.h"

namespace {

constexpr char kPassivePrefix[] = "227 ENTERING PASSIVE MODE (";
constexpr char kPortPrefix[] = "PORT ";
constexpr char kExtendedPassivePrefix[] = "229 ";
constexpr char kEprtPrefix[] = "EPRT ";

// Lines are read from a copy of at most this many characters.
constexpr size_t kLineLimit = 10368;
// Enough for the longest prefix above.
constexpr size_t kPrefixCopy = 32;

constexpr size_t prefixLength(const char* s) { return std::char_traits<char>::length(s); }

int32_t decimal(const char* token)
{
    int value = 0;
    if (std::sscanf(token, "%d", &value) != 1)
        return 0;
    return value;
}

// The six comma-separated numbers after a prefix, as nextToken reads them:
// five words ending at a comma, then one ending at `lastDelim` (or at any
// punctuation when null). Only the fifth and sixth are kept. False when the
// sixth word is empty or the line ends inside it: a line cut at the end of a
// packet must not announce a shortened port.
bool readSixNumbers(const char* start, const char* lastDelim, int32_t* p1, int32_t* p2)
{
    char token[256];
    const char* at = start;
    for (int i = 0; i < 5; ++i) {
        at = nextToken(at, token, ",", sizeof(token));
        if (!at)
            return false;
        if (i == 4)
            *p1 = decimal(token);
    }
    if (!nextToken(at, token, lastDelim, sizeof(token)) || token[0] == '\0')
        return false;
    *p2 = decimal(token);
    return true;
}

// A decimal port of one to five digits at *at, ending before `delim`.
bool readDelimitedPort(const char** at, const char* end, char delim, int32_t* port)
{
    const char* p = *at;
    int32_t value = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9' && digits < 6) {
        value = value * 10 + (*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0 || digits > 5 || p >= end || *p != delim)
        return false;
    *port = value;
    *at = p + 1;
    return true;
}

bool isDelimiter(char c) { return c >= 33 && c <= 126 && !(c >= '0' && c <= '9'); }

// "(|||port|)" somewhere in the line; any printable non-digit may stand for
// the bar, as long as all four are the same.
bool readExtendedPassive(const char* line, size_t length, int32_t* port)
{
    const char* end = line + length;
    const char* open = static_cast<const char*>(std::memchr(line, '(', length));
    if (!open || end - open < 7)
        return false;
    const char d = open[1];
    if (!isDelimiter(d) || open[2] != d || open[3] != d)
        return false;
    const char* at = open + 4;
    if (!readDelimitedPort(&at, end, d, port))
        return false;
    return at < end && *at == ')';
}

// "EPRT |1|address|port|": IPv4 only.
bool readEprt(const char* line, size_t length, int32_t* port)
{
    const char* end = line + length;
    const char* at = line + prefixLength(kEprtPrefix);
    if (end - at < 8)
        return false;
    const char d = *at++;
    if (!isDelimiter(d))
        return false;
    if (at + 2 > end || at[0] != '1' || at[1] != d)
        return false;
    at += 2;
    int dots = 0;
    const char* address = at;
    while (at < end && *at != d) {
        if (*at == '.')
            ++dots;
        else if (*at < '0' || *at > '9')
            return false;
        ++at;
    }
    if (at >= end || at == address || dots != 3)
        return false;
    ++at;
    return readDelimitedPort(&at, end, d, port);
}

enum class Form { None, Passive, Port, ExtendedPassive, Eprt };

Form formOf(const uint8_t* line, size_t length)
{
    char upper[kPrefixCopy + 1];
    const size_t n = length < kPrefixCopy ? length : kPrefixCopy;
    std::memcpy(upper, line, n);
    upper[n] = '\0';
    toUpperInPlace(upper);
    auto begins = [&](const char* prefix) { return std::strncmp(upper, prefix, prefixLength(prefix)) == 0; };
    if (begins(kPassivePrefix))
        return Form::Passive;
    if (begins(kPortPrefix))
        return Form::Port;
    if (begins(kExtendedPassivePrefix))
        return Form::ExtendedPassive;
    if (begins(kEprtPrefix))
        return Form::Eprt;
    return Form::None;
}

void dottedAddress(uint32_t networkOrder, int32_t out[4])
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&networkOrder);
    for (int i = 0; i < 4; ++i)
        out[i] = bytes[i];
}

// Replaces lineLength bytes at pos by the text; false when the result would
// not fit.
bool replaceLine(uint8_t* data, uint32_t* length, uint32_t capacity, uint32_t pos,
                 uint32_t lineLength, const char* text)
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

// One line from pos; returns the length the line has afterwards.
uint32_t rewriteLine(uint8_t* data, uint32_t* length, uint32_t capacity, uint32_t pos,
                     uint32_t lineLength, const QV_FTPREWRITEHOOKS& hooks)
{
    const Form form = formOf(data + pos, lineLength);
    if (form == Form::None)
        return lineLength;

    char line[kLineLimit + 1];
    const size_t n = lineLength < kLineLimit ? lineLength : kLineLimit;
    std::memcpy(line, data + pos, n);
    line[n] = '\0';

    int32_t port = -1;
    switch (form) {
    case Form::Passive: {
        int32_t p1 = 0;
        int32_t p2 = 0;
        const size_t start = prefixLength(kPassivePrefix) + 1;
        if (n < start || !readSixNumbers(line + start, ")", &p1, &p2)) {
            printf("A2AMODEL:Entering Passive without six numbers, passed as it is\n");
            return lineLength;
        }
        printf("A2AMODEL iport1=%d\n", p1);
        printf("A2AMODEL iport2=%d\n", p2);
        port = p1 * 256 + p2;
        printf("A2AMODEL:find Entering Passive port=%d\n", port);
        break;
    }
    case Form::Port: {
        int32_t p1 = 0;
        int32_t p2 = 0;
        const size_t start = prefixLength(kPortPrefix) + 1;
        if (n < start || !readSixNumbers(line + start, nullptr, &p1, &p2)) {
            printf("A2AMODEL:Port Command without six numbers, passed as it is\n");
            return lineLength;
        }
        port = p1 * 256 + p2;
        printf("A2AMODEL:find Port Command port=%d\n", port);
        break;
    }
    case Form::ExtendedPassive:
        if (!readExtendedPassive(line, n, &port))
            return lineLength;
        printf("A2AMODEL:find Extended Passive port=%d\n", port);
        break;
    case Form::Eprt:
        if (!readEprt(line, n, &port)) {
            printf("A2AMODEL:EPRT Command not understood, passed as it is\n");
            return lineLength;
        }
        printf("A2AMODEL:find EPRT Command port=%d\n", port);
        break;
    case Form::None:
        return lineLength;
    }
    if (port < 0 || port > 65535)
        return lineLength;

    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    const int32_t newPort = hooks.createDataLinkServer ? hooks.createDataLinkServer(port) : -1;
    if (newPort < 0 || newPort > 65535) {
        log->writef(2, "%sとのFTP接続:%sとのd-port=%d 作成失敗.", hooks.peerUser, hooks.forwardHost, port);
        return lineLength;
    }
    if (newPort == port)
        return lineLength;

    int32_t a[4];
    dottedAddress(hooks.getLocalAddress ? hooks.getLocalAddress() : 0, a);
    char text[128];
    const char* consoleFormat = "A2AMODEL make string:%s";
    switch (form) {
    case Form::Passive:
        std::snprintf(text, sizeof(text), "%s%d,%d,%d,%d,%d,%d)\r\n", kPassivePrefix, a[0], a[1], a[2], a[3],
                      newPort / 256, newPort % 256);
        break;
    case Form::Port:
        std::snprintf(text, sizeof(text), "%s%d,%d,%d,%d,%d,%d\r\n", kPortPrefix, a[0], a[1], a[2], a[3],
                      newPort / 256, newPort % 256);
        consoleFormat = "A2AMODEL: make string:%s";
        break;
    case Form::ExtendedPassive:
        std::snprintf(text, sizeof(text), "229 Entering Extended Passive Mode (|||%d|)\r\n", newPort);
        break;
    default:
        std::snprintf(text, sizeof(text), "EPRT |1|%d.%d.%d.%d|%d|\r\n", a[0], a[1], a[2], a[3], newPort);
        consoleFormat = "A2AMODEL: make string:%s";
        break;
    }
    if (!replaceLine(data, length, capacity, pos, lineLength, text)) {
        printf("A2AMODEL:rewritten line does not fit, passed as it is\n");
        return lineLength;
    }
    printf(consoleFormat, text);
    log->writef(2, "%sとのFTP接続:%sとのd-port=%d/%d 作成", hooks.peerUser, hooks.forwardHost, newPort, port);
    return static_cast<uint32_t>(std::strlen(text));
}

}  // namespace

uint32_t rewriteFtpData(uint8_t* data, uint32_t length, uint32_t capacity, const QV_FTPREWRITEHOOKS& hooks)
{
    if (!data || length > capacity)
        return length;
    uint32_t pos = 0;
    while (pos < length) {
        uint32_t end = pos;
        while (end < length && data[end] != '\n')
            ++end;
        const uint32_t lineLength = (end < length ? end + 1 : length) - pos;
        pos += rewriteLine(data, &length, capacity, pos, lineLength, hooks);
    }
    return length;
}
