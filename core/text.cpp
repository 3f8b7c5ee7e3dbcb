#include "core/text.h"

#include <cstdio>
#include <cstring>

namespace {

bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Printable ASCII that is neither a letter, a digit nor a blank.
bool isPunct(unsigned char c)
{
    if (c < 0x21 || c > 0x7e)
        return false;
    if (c >= '0' && c <= '9')
        return false;
    if (c >= 'A' && c <= 'Z')
        return false;
    if (c >= 'a' && c <= 'z')
        return false;
    return true;
}

}  // namespace

int32_t hexEncode(int32_t length, const uint8_t* src, char* dst, size_t dstSize)
{
    if (dstSize == 0)
        return 0;
    if (length < 1) {
        dst[0] = '\0';
        return 1;
    }
    if (static_cast<size_t>(length) * 2 + 1 > dstSize) {
        std::printf("hexEncode() DESTINATION_OVER:length=%d\n", length);
        dst[0] = '\0';
        return 0;
    }
    static const char digits[] = "0123456789abcdef";
    for (int32_t i = 0; i < length; ++i) {
        dst[2 * i] = digits[src[i] >> 4];
        dst[2 * i + 1] = digits[src[i] & 0x0f];
    }
    dst[2 * static_cast<size_t>(length)] = '\0';
    return 1;
}

int32_t hexDecode(const char* src, uint8_t* dst, size_t dstSize)
{
    size_t n = std::strlen(src);
    if (n % 2 != 0) {
        std::printf("受信データの文字数が奇数です\n");
        return 0;
    }
    if (n / 2 > dstSize) {
        std::printf("hexDecode() DESTINATION_OVER:chars=%zu\n", n);
        return 0;
    }
    for (size_t i = 0; i < n / 2; ++i) {
        dst[i] = static_cast<uint8_t>(hexDigitValue(src[2 * i]) * 16 + hexDigitValue(src[2 * i + 1]));
    }
    return static_cast<int32_t>(n / 2);
}

uint8_t hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + 10);
    return 0;
}

const char* nextToken(const char* src, char* dst, const char* delim, size_t dstSize, bool* tooLong)
{
    if (tooLong)
        *tooLong = false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
    while (*p != 0 && isSpace(*p))
        ++p;

    size_t written = 0;
    auto put = [&](unsigned char c) {
        if (dstSize > 0 && written + 1 < dstSize) {
            dst[written++] = static_cast<char>(c);
        } else if (tooLong) {
            *tooLong = true;
        }
    };
    auto finish = [&]() {
        if (dstSize > 0)
            dst[written] = '\0';
    };

    const unsigned char stop = delim ? static_cast<unsigned char>(delim[0]) : 0;
    for (;; ++p) {
        unsigned char c = *p;
        if (c == 0) {
            finish();
            return nullptr;
        }
        bool ends = isSpace(c) || (delim ? (stop != 0 && c == stop) : isPunct(c));
        if (ends) {
            finish();
            return reinterpret_cast<const char*>(p + 1);
        }
        put(c);
    }
}

void toUpperInPlace(char* s)
{
    for (; *s; ++s) {
        if (*s >= 'a' && *s <= 'z')
            *s = static_cast<char>(*s - 'a' + 'A');
    }
}
