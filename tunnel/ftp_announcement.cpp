#include "tunnel/ftp_announcement.h"

#include <cstring>

namespace {

constexpr char kPassivePrefix[] = "227 ENTERING PASSIVE MODE (";

// The words an announcement begins with: the reply codes and the commands
// that readFtpAnnouncement knows.
constexpr const char* kWords[] = {"227", "228", "229", "PORT", "LPRT", "EPRT"};

char upper(uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c); }

bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// True when the line begins with `word`, letters compared without case.
bool beginsWith(const uint8_t* line, size_t length, const char* word)
{
    const size_t n = std::strlen(word);
    if (length < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (upper(line[i]) != word[i])
            return false;
    return true;
}

// A reply code: the three digits, then a blank, a '-' or the line's end.
bool isReplyCode(const uint8_t* line, size_t length, const char* code)
{
    if (!beginsWith(line, length, code))
        return false;
    return length == 3 || !isDigit(line[3]);
}

// A command word: the word, then a blank or the line's end.
bool isCommand(const uint8_t* line, size_t length, const char* word)
{
    if (!beginsWith(line, length, word))
        return false;
    return length == 4 || line[4] == ' ' || line[4] == '\r' || line[4] == '\n';
}

// A decimal number of at most maxDigits digits at line[*at], no larger than
// max. The digits must be followed by a character of the line, so a number
// cut by the end of the data is not taken.
bool readNumber(const uint8_t* line, size_t length, size_t* at, int maxDigits, int32_t max, int32_t* value)
{
    size_t p = *at;
    int32_t v = 0;
    int digits = 0;
    while (p < length && isDigit(line[p])) {
        if (++digits > maxDigits)
            return false;
        v = v * 10 + (line[p] - '0');
        ++p;
    }
    if (digits == 0 || p >= length || v > max)
        return false;
    *value = v;
    *at = p;
    return true;
}

// h1,h2,h3,h4,p1,p2 at line[*at], each 0 to 255; the port p1 * 256 + p2.
bool readSixNumbers(const uint8_t* line, size_t length, size_t* at, int32_t* port)
{
    int32_t n[6] = {};
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (*at >= length || line[*at] != ',')
                return false;
            ++*at;
        }
        if (!readNumber(line, length, at, 3, 255, &n[i]))
            return false;
    }
    *port = n[4] * 256 + n[5];
    return true;
}

bool inPortRange(int32_t port) { return port >= 1 && port <= 65535; }

bool readPassive(const uint8_t* line, size_t length, int32_t* port)
{
    size_t at = 0;
    bool parenthesis = false;
    if (beginsWith(line, length, kPassivePrefix)) {
        at = sizeof(kPassivePrefix) - 1;
        parenthesis = true;
    } else {
        // Other wordings: the numbers begin at the first digit after the code.
        at = 3;
        while (at < length && !isDigit(line[at]) && line[at] != '\r' && line[at] != '\n')
            ++at;
    }
    if (!readSixNumbers(line, length, &at, port))
        return false;
    if (parenthesis && line[at] != ')')
        return false;
    return inPortRange(*port);
}

bool readPort(const uint8_t* line, size_t length, int32_t* port)
{
    size_t at = 4;
    while (at < length && line[at] == ' ')
        ++at;
    if (!readSixNumbers(line, length, &at, port))
        return false;
    while (at < length && line[at] == ' ')
        ++at;
    if (at >= length || (line[at] != '\r' && line[at] != '\n'))
        return false;
    return inPortRange(*port);
}

bool isDelimiter(uint8_t c) { return c >= 33 && c <= 126 && !isDigit(c); }

// "(|||port|)"; any printable non-digit may stand for the bar, as long as
// all four are the same.
bool readExtendedPassive(const uint8_t* line, size_t length, int32_t* port)
{
    const auto* open = static_cast<const uint8_t*>(std::memchr(line, '(', length));
    if (!open)
        return false;
    size_t at = static_cast<size_t>(open - line) + 1;
    if (at + 3 > length)
        return false;
    const uint8_t d = line[at];
    if (!isDelimiter(d) || line[at + 1] != d || line[at + 2] != d)
        return false;
    at += 3;
    if (!readNumber(line, length, &at, 5, 65535, port) || line[at] != d)
        return false;
    ++at;
    return at < length && line[at] == ')' && inPortRange(*port);
}

// "EPRT |1|address|port|": IPv4 only.
bool readEprt(const uint8_t* line, size_t length, int32_t* port)
{
    size_t at = 5;
    if (at >= length)
        return false;
    const uint8_t d = line[at++];
    if (!isDelimiter(d) || at + 2 > length || line[at] != '1' || line[at + 1] != d)
        return false;
    at += 2;
    int32_t part = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (at >= length || line[at] != '.')
                return false;
            ++at;
        }
        if (!readNumber(line, length, &at, 3, 255, &part))
            return false;
    }
    if (line[at] != d)
        return false;
    ++at;
    if (!readNumber(line, length, &at, 5, 65535, port) || line[at] != d)
        return false;
    return inPortRange(*port);
}

}  // namespace

QV_FTPANNOUNCEMENT readFtpAnnouncement(const uint8_t* line, size_t length)
{
    QV_FTPANNOUNCEMENT a;
    if (!line)
        return a;
    int32_t port = 0;
    if (isReplyCode(line, length, "227")) {
        a.form = QV_FTPFORM::Passive;
        a.usable = readPassive(line, length, &port);
    } else if (isReplyCode(line, length, "228")) {
        a.form = QV_FTPFORM::LongPassive;
    } else if (isReplyCode(line, length, "229")) {
        a.form = QV_FTPFORM::ExtendedPassive;
        a.usable = readExtendedPassive(line, length, &port);
    } else if (isCommand(line, length, "PORT")) {
        a.form = QV_FTPFORM::Port;
        a.usable = readPort(line, length, &port);
    } else if (isCommand(line, length, "LPRT")) {
        a.form = QV_FTPFORM::LongPort;
    } else if (isCommand(line, length, "EPRT")) {
        a.form = QV_FTPFORM::Eprt;
        a.usable = readEprt(line, length, &port);
    }
    if (a.usable)
        a.port = port;
    return a;
}

bool mayBecomeFtpAnnouncement(const uint8_t* line, size_t length)
{
    if (!line || length == 0)
        return false;
    if (readFtpAnnouncement(line, length).isAnnouncement())
        return true;
    // Shorter than a word: the beginning of one?
    for (const char* word : kWords) {
        if (length >= std::strlen(word))
            continue;
        size_t i = 0;
        while (i < length && upper(line[i]) == word[i])
            ++i;
        if (i == length)
            return true;
    }
    return false;
}

size_t ftpLineLength(const uint8_t* data, size_t length, size_t pos)
{
    if (pos >= length)
        return 0;
    const auto* nl = static_cast<const uint8_t*>(std::memchr(data + pos, '\n', length - pos));
    return nl ? static_cast<size_t>(nl - (data + pos)) + 1 : length - pos;
}
