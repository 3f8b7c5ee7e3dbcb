#include "wire/api_frame.h"

namespace {

void putU32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint32_t getU32(const std::string& s, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
}

std::string frame(char type, const std::string& payload)
{
    std::string out;
    putU32(out, static_cast<uint32_t>(payload.size() + 1));
    out.push_back(type);
    out += payload;
    return out;
}

}  // namespace

std::string encodeAttach(uint32_t code, uint32_t handle)
{
    std::string payload;
    putU32(payload, code);
    putU32(payload, handle);
    return frame('A', payload);
}

std::string encodeCommand(const std::string& text)
{
    std::string payload;
    putU32(payload, 0);  // dwData
    payload += text;
    payload.push_back('\0');
    return frame('C', payload);
}

std::string encodeDiscover(const std::string& programName) { return frame('D', programName); }

FrameDecoder::Result FrameDecoder::next(Frame& out)
{
    if (buffer.size() < 4)
        return Result::NeedMore;
    uint32_t length = getU32(buffer, 0);
    if (length == 0 || length > kMaxFrameLength) {
        why = "frame length " + std::to_string(length) + " out of range";
        return Result::Error;
    }
    if (buffer.size() < 4 + static_cast<size_t>(length))
        return Result::NeedMore;

    Frame f;
    f.type = buffer[4];
    f.payload = buffer.substr(5, length - 1);
    buffer.erase(0, 4 + static_cast<size_t>(length));

    switch (f.type) {
        case 'D':
            break;
        case 'A':
            if (f.payload.size() != 8) {
                why = "attach frame of " + std::to_string(f.payload.size()) + " bytes";
                return Result::Error;
            }
            f.code = getU32(f.payload, 0);
            f.handle = getU32(f.payload, 4);
            break;
        case 'C': {
            // dwData, then at least the terminating zero.
            if (f.payload.size() < 5 || f.payload.back() != '\0') {
                why = "command frame not zero-terminated";
                return Result::Error;
            }
            f.text = f.payload.substr(4, f.payload.size() - 5);
            if (f.text.find('\0') != std::string::npos) {
                why = "command text contains a zero byte";
                return Result::Error;
            }
            break;
        }
        default:
            why = std::string("unknown frame type 0x")
                  + "0123456789abcdef"[(static_cast<unsigned char>(f.type) >> 4) & 0xf]
                  + "0123456789abcdef"[static_cast<unsigned char>(f.type) & 0xf];
            return Result::Error;
    }
    out = std::move(f);
    return Result::Frame;
}
