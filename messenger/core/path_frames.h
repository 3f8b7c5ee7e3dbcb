// What two daemons send each other over a direct path: a byte stream that
// carries the blocks of all their streams, each framed with its stream and
// sequence number, and what answers them.
//   'B' sid-length sid seq(2) length(4) data    a block (data at most kMaxBlockBytes)
//   'A' sid-length sid seq(2)                   the block `seq` and all before it were taken
//   'C' sid-length sid                          the stream is closed (after its sealed end)
//   'P' / 'Q'                                   is the path alive? / it is
// Numbers are big-endian; a stream id takes 1-255 bytes. Pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct PathFrame {
    enum class Kind : char { Block = 'B', Ack = 'A', Close = 'C', Ping = 'P', Pong = 'Q' };
    Kind kind = Kind::Ping;
    std::string sid;
    uint16_t seq = 0;
    std::string data;
};

// The frame as bytes; false when it cannot be framed (a stream id of no
// or more than 255 bytes, a block larger than kMaxBlockBytes).
bool encodeFrame(const PathFrame& frame, std::string& out);

// Cuts the byte stream into frames.
class FrameReader {
public:
    enum class Result { Frame, NeedMore, Bad };

    void add(std::string_view bytes) { buffer.append(bytes); }
    // The next whole frame in `frame`; Bad: the stream holds something that
    // is not a frame (unknown kind, empty stream id, a block too long) and
    // cannot go on.
    Result next(PathFrame& frame);
    size_t buffered() const { return buffer.size() - start; }

private:
    std::string buffer;
    size_t start = 0;  // where the next frame begins
};
