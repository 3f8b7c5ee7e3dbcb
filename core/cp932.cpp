#include "core/cp932.h"

#include <iconv.h>
#include <cerrno>

namespace {

std::string convert(std::string_view in, const char* to, const char* from)
{
    std::string out;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter: pass ASCII through, mark the rest.
        for (unsigned char c : in)
            out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return out;
    }
    out.reserve(in.size() * 2);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buf[512];
    while (srcLeft > 0) {
        char* dst = buf;
        size_t dstLeft = sizeof(buf);
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: one byte cannot be converted; skip it.
            out.push_back('?');
            ++src;
            --srcLeft;
            if (std::string_view(from) == "UTF-8") {
                while (srcLeft > 0 && (static_cast<unsigned char>(*src) & 0xC0) == 0x80) {
                    ++src;
                    --srcLeft;
                }
            }
        }
    }
    iconv_close(cd);
    return out;
}

size_t utf8SeqLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 1;  // stray continuation byte: counted alone
}

// cp932 width of the character starting at s[i] (of length len).
size_t cp932Width(std::string_view s, size_t i, size_t len)
{
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (len == 1)
        return 1;
    if (len == 3) {
        // U+FF61..U+FF9F, half-width katakana: EF BD A1..EF BE 9F
        unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
        unsigned char c2 = static_cast<unsigned char>(s[i + 2]);
        if (c == 0xEF && ((c1 == 0xBD && c2 >= 0xA1) || c1 == 0xBE))
            return 1;
    }
    return 2;
}

bool isCp932Lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

}  // namespace

std::string utf8ToCp932(std::string_view utf8) { return convert(utf8, "CP932", "UTF-8"); }

std::string cp932ToUtf8(std::string_view cp932) { return convert(cp932, "UTF-8", "CP932"); }

size_t cp932Length(std::string_view utf8)
{
    size_t total = 0;
    for (size_t i = 0; i < utf8.size();) {
        size_t len = utf8SeqLength(static_cast<unsigned char>(utf8[i]));
        if (i + len > utf8.size())
            len = utf8.size() - i;
        total += cp932Width(utf8, i, len);
        i += len;
    }
    return total;
}

std::string cutToCp932Bytes(std::string_view utf8, size_t maxBytes)
{
    size_t total = 0;
    size_t i = 0;
    while (i < utf8.size()) {
        size_t len = utf8SeqLength(static_cast<unsigned char>(utf8[i]));
        if (i + len > utf8.size())
            break;  // incomplete tail: dropped
        size_t w = cp932Width(utf8, i, len);
        if (total + w > maxBytes)
            break;
        total += w;
        i += len;
    }
    return std::string(utf8.substr(0, i));
}

size_t cp932PrefixLength(std::string_view cp932, size_t maxBytes)
{
    size_t i = 0;
    while (i < cp932.size()) {
        size_t len = isCp932Lead(static_cast<unsigned char>(cp932[i])) ? 2 : 1;
        if (i + len > maxBytes || i + len > cp932.size())
            break;
        i += len;
    }
    return i;
}
