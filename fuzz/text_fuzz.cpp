// core/text.h: hex encoding and decoding, the word reader and upper-casing,
// each on buffers exactly as large as their callers give them.
//
// Input: byte 0 sizes the destination buffers, byte 1 is the delimiter of
// nextToken (0: none, ASCII punctuation ends a word), the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/text.h"
#include "fuzz/fuzz_check.h"

namespace {

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void checkHex(const std::vector<char>& text, size_t dstSize)
{
    const size_t n = std::strlen(text.data());
    std::vector<uint8_t> decoded(dstSize);
    const int32_t got = hexDecode(text.data(), decoded.data(), decoded.size());
    if (n % 2 != 0 || n / 2 > dstSize) {
        FUZZ_CHECK(got == 0);
        return;
    }
    FUZZ_CHECK(got == static_cast<int32_t>(n / 2));
    bool allHex = true;
    for (size_t i = 0; i < n; ++i)
        allHex = allHex && isHexDigit(text[i]);
    // Hex text survives the way back, in lower case.
    std::vector<char> encoded(2 * static_cast<size_t>(got) + 1);
    FUZZ_CHECK(hexEncode(got, decoded.data(), encoded.data(), encoded.size()) == 1);
    FUZZ_CHECK(std::strlen(encoded.data()) == 2 * static_cast<size_t>(got));
    if (allHex)
        for (size_t i = 0; i < n; ++i)
            FUZZ_CHECK(encoded[i] == lower(text[i]));
}

void checkEncode(const uint8_t* bytes, size_t size, size_t dstSize)
{
    std::vector<char> dst(dstSize + 1);
    const auto length = static_cast<int32_t>(size);
    const int32_t ok = hexEncode(length, bytes, dst.data(), dstSize);
    if (dstSize == 0) {
        FUZZ_CHECK(ok == 0);
        return;
    }
    if (size == 0 || 2 * size + 1 <= dstSize) {
        FUZZ_CHECK(ok == 1);
        FUZZ_CHECK(std::strlen(dst.data()) == 2 * size);
        std::vector<uint8_t> back(size);
        FUZZ_CHECK(hexDecode(dst.data(), back.data(), back.size()) == length);
        FUZZ_CHECK(size == 0 || std::memcmp(back.data(), bytes, size) == 0);
    } else {
        FUZZ_CHECK(ok == 0);
        FUZZ_CHECK(dst[0] == '\0');
    }
}

void checkTokens(const std::vector<char>& text, const char* delim, size_t dstSize)
{
    const char* begin = text.data();
    const char* end = begin + std::strlen(begin);
    std::vector<char> word(dstSize > 0 ? dstSize : 1);
    const char* p = begin;
    // Every call moves on by at least one character, so the text ends.
    for (size_t calls = 0; p; ++calls) {
        FUZZ_CHECK(calls <= text.size());
        bool tooLong = false;
        const char* next = nextToken(p, dstSize > 0 ? word.data() : nullptr, delim, dstSize, &tooLong);
        if (dstSize > 0) {
            const size_t w = std::strlen(word.data());
            FUZZ_CHECK(w < dstSize);
            for (size_t i = 0; i < w; ++i)
                FUZZ_CHECK(word[i] != ' ' && word[i] != '\t' && word[i] != '\n' && word[i] != '\r');
        }
        if (next) {
            FUZZ_CHECK(next > p && next <= end);
        }
        p = next;
    }
}

void checkUpper(const std::vector<char>& text)
{
    std::vector<char> upper(text);
    toUpperInPlace(upper.data());
    const size_t n = std::strlen(text.data());
    FUZZ_CHECK(std::strlen(upper.data()) == n);
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c >= 'a' && c <= 'z')
            FUZZ_CHECK(upper[i] == c - 'a' + 'A');
        else
            FUZZ_CHECK(upper[i] == c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t dstSize = data[0];
    const char delimChar = static_cast<char>(data[1]);
    data += 2;
    size -= 2;

    // The text as the parsers see it: zero-terminated, cut at its first NUL.
    std::vector<char> text(data, data + size);
    text.push_back('\0');

    checkHex(text, dstSize);
    checkHex(text, 2 * size);
    checkEncode(data, size, dstSize);
    const char delim[2] = {delimChar, '\0'};
    checkTokens(text, delimChar != 0 ? delim : nullptr, dstSize);
    checkTokens(text, " ", 256);
    checkUpper(text);
    return 0;
}
