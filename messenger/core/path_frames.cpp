#include "messenger/core/path_frames.h"

#include "messenger/core/stream_transport.h"

namespace {

void put16(std::string& out, uint32_t v)
{
    out += static_cast<char>((v >> 8) & 0xff);
    out += static_cast<char>(v & 0xff);
}

uint32_t byteAt(std::string_view s, size_t i) { return static_cast<unsigned char>(s[i]); }

bool hasStream(PathFrame::Kind k)
{
    return k == PathFrame::Kind::Block || k == PathFrame::Kind::Ack || k == PathFrame::Kind::Close;
}

}  // namespace

bool encodeFrame(const PathFrame& f, std::string& out)
{
    out += static_cast<char>(f.kind);
    if (!hasStream(f.kind))
        return true;
    if (f.sid.empty() || f.sid.size() > 255 || f.data.size() > kMaxBlockBytes)
        return false;
    out += static_cast<char>(f.sid.size());
    out += f.sid;
    if (f.kind == PathFrame::Kind::Close)
        return true;
    put16(out, f.seq);
    if (f.kind == PathFrame::Kind::Block) {
        put16(out, static_cast<uint32_t>(f.data.size() >> 16));
        put16(out, static_cast<uint32_t>(f.data.size()));
        out += f.data;
    }
    return true;
}

FrameReader::Result FrameReader::next(PathFrame& f)
{
    std::string_view in(buffer);
    in.remove_prefix(start);
    if (in.empty())
        return Result::NeedMore;
    const auto kind = static_cast<PathFrame::Kind>(in[0]);
    size_t used = 1;
    f = PathFrame{};
    f.kind = kind;
    switch (kind) {
        case PathFrame::Kind::Ping:
        case PathFrame::Kind::Pong:
            break;
        case PathFrame::Kind::Block:
        case PathFrame::Kind::Ack:
        case PathFrame::Kind::Close: {
            if (in.size() < 2)
                return Result::NeedMore;
            const size_t sidLength = byteAt(in, 1);
            if (sidLength == 0)
                return Result::Bad;
            const size_t head =
                2 + sidLength + (kind == PathFrame::Kind::Close ? 0 : 2) + (kind == PathFrame::Kind::Block ? 4 : 0);
            if (in.size() < head)
                return Result::NeedMore;
            f.sid = std::string(in.substr(2, sidLength));
            used = head;
            if (kind == PathFrame::Kind::Close)
                break;
            f.seq = static_cast<uint16_t>(byteAt(in, 2 + sidLength) << 8 | byteAt(in, 3 + sidLength));
            if (kind == PathFrame::Kind::Ack)
                break;
            size_t length = 0;
            for (size_t i = 0; i < 4; ++i)
                length = length << 8 | byteAt(in, 4 + sidLength + i);
            if (length > kMaxBlockBytes)
                return Result::Bad;
            if (in.size() < head + length)
                return Result::NeedMore;
            f.data = std::string(in.substr(head, length));
            used = head + length;
            break;
        }
        default:
            return Result::Bad;
    }
    start += used;
    // What was read is dropped now and then, not at every frame.
    if (start == buffer.size()) {
        buffer.clear();
        start = 0;
    } else if (start > (1u << 20)) {
        buffer.erase(0, start);
        start = 0;
    }
    return Result::Frame;
}
