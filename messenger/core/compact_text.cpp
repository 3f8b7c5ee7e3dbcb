#include "messenger/core/compact_text.h"

namespace {

constexpr char kTagPlain = '\0';
constexpr char kTagHex = '\1';

int lowerHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string packText(const std::string& text)
{
    std::string out;
    if (!text.empty() && text.size() % 2 == 0) {
        out.reserve(1 + text.size() / 2);
        out.push_back(kTagHex);
        for (size_t i = 0; i < text.size(); i += 2) {
            int hi = lowerHexValue(text[i]);
            int lo = lowerHexValue(text[i + 1]);
            if (hi < 0 || lo < 0) {
                out.clear();
                break;
            }
            out.push_back(static_cast<char>(hi << 4 | lo));
        }
        if (!out.empty())
            return out;
    }
    out.reserve(1 + text.size());
    out.push_back(kTagPlain);
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
    std::string out;
    out.reserve(2 * (bytes.size() - 1));
    for (size_t i = 1; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0f]);
    }
    text.swap(out);
    return true;
}
