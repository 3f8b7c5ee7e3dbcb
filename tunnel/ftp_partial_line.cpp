#include "tunnel/ftp_partial_line.h"

#include <cstring>

#include "tunnel/ftp_announcement.h"

uint32_t QV_FTPPARTIALLINE::resume(uint8_t* data, uint32_t length, uint32_t room)
{
    const uint32_t kept = size;
    size = 0;
    if (kept == 0 || !data || length > room || kept > room - length)
        return length;
    std::memmove(data + kept, data, length);
    std::memcpy(data, bytes, kept);
    return kept + length;
}

uint32_t QV_FTPPARTIALLINE::keepBack(const uint8_t* data, uint32_t length, bool* overlong)
{
    *overlong = false;
    size = 0;
    if (!data)
        return length;
    uint32_t start = length;
    while (start > 0 && data[start - 1] != '\n')
        --start;
    const uint32_t tail = length - start;
    if (tail == 0 || !mayBecomeFtpAnnouncement(data + start, tail))
        return length;
    if (tail > kMaxLength) {
        *overlong = true;
        return length;
    }
    std::memcpy(bytes, data + start, tail);
    size = tail;
    return start;
}
