#include "messenger/core/compact_text.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kTagPlain = '\0';
constexpr char kTagHex = '\1';

// The value of each lower-case hex digit; -1 for every other byte.
constexpr std::array<int8_t, 256> kLowerHex = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int c = '0'; c <= '9'; ++c)
        t[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        t[c] = static_cast<int8_t>(c - 'a' + 10);
    return t;
}();

// Decodes `hex` (even length) into `out`; false when a byte is not a
// lower-case hex digit. The blocks are hundreds of kilobytes a second per
// stream, so one pass without a branch per digit.
bool decodeLowerHex(const std::string& hex, char* out)
{
    const auto* in = reinterpret_cast<const unsigned char*>(hex.data());
    int bad = 0;
    for (size_t i = 0, n = hex.size() / 2; i < n; ++i) {
        int hi = kLowerHex[in[2 * i]];
        int lo = kLowerHex[in[2 * i + 1]];
        bad |= hi | lo;
        out[i] = static_cast<char>((hi & 0x0f) << 4 | (lo & 0x0f));
    }
    return bad >= 0;
}

}  // namespace

std::string packText(const std::string& text)
{
    std::string out;
    if (!text.empty() && text.size() % 2 == 0) {
        out.resize(1 + text.size() / 2);
        out[0] = kTagHex;
        if (decodeLowerHex(text, out.data() + 1))
            return out;
    }
    out.assign(1, kTagPlain);
    out += text;
    return out;
}

bool unpackText(const std::string& bytes, std::string& text)
{
    if (bytes.empty())
        return false;
    if (bytes[0] == kTagPlain) {
        text.assign(bytes, 1);
        return true;
    }
    if (bytes[0] != kTagHex || bytes.size() < 2)
        return false;
    static const char digits[] = "0123456789abcdef";
    std::string out(2 * (bytes.size() - 1), '\0');
    for (size_t i = 1; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out[2 * i - 2] = digits[b >> 4];
        out[2 * i - 1] = digits[b & 0x0f];
    }
    text.swap(out);
    return true;
}
