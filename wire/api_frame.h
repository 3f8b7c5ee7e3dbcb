// Frames of the local API socket: 4-byte little-endian length, one type
// letter, payload (see docs/messenger.md). FrameDecoder is fed raw bytes and
// yields whole frames; it is owned by one connection and used on the
// daemon's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t kMaxFrameLength = 1048576;

constexpr uint32_t kAttachSuccess = 0;
constexpr uint32_t kAttachPendingAuthorization = 1;
constexpr uint32_t kAttachRefused = 2;
constexpr uint32_t kAttachNotAvailable = 3;
constexpr uint32_t kAttachAvailable = 0x8001;

struct Frame {
    char type = 0;        // 'D', 'A' or 'C'
    std::string payload;  // raw payload
    std::string text;     // 'C': the command text without its zero byte
    uint32_t code = 0;    // 'A'
    uint32_t handle = 0;  // 'A'
};

std::string encodeAttach(uint32_t code, uint32_t handle);
std::string encodeCommand(const std::string& text);
std::string encodeDiscover(const std::string& programName);

class FrameDecoder {
public:
    enum class Result { Frame, NeedMore, Error };

    void feed(const char* data, size_t size) { buffer.append(data, size); }
    // Takes the next whole frame out of the buffer. After Error the
    // connection must be closed; `error()` says why.
    Result next(Frame& frame);
    const std::string& error() const { return why; }

private:
    std::string buffer;
    std::string why;
};
