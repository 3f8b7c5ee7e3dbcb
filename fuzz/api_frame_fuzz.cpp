// wire/api_frame.h: FrameDecoder fed the bytes of the local socket in the
// pieces a connection might receive them in.
//
// Input: byte 0 is the piece size (0: all at once), the rest the bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "wire/api_frame.h"

namespace {

// Frames out of `bytes` fed in pieces of `piece`; appends each frame's
// encoding again (as far as the encoders cover it) to `reencoded`.
FrameDecoder::Result decodeAll(const uint8_t* bytes, size_t size, size_t piece, size_t& frames, std::string& reencoded)
{
    FrameDecoder decoder;
    FrameDecoder::Result last = FrameDecoder::Result::NeedMore;
    size_t at = 0;
    while (at < size || last == FrameDecoder::Result::Frame) {
        if (last != FrameDecoder::Result::Frame) {
            const size_t n = (piece == 0 || size - at < piece) ? size - at : piece;
            decoder.feed(reinterpret_cast<const char*>(bytes + at), n);
            at += n;
        }
        Frame frame;
        last = decoder.next(frame);
        if (last == FrameDecoder::Result::Error) {
            FUZZ_CHECK(!decoder.error().empty());
            return last;
        }
        if (last != FrameDecoder::Result::Frame)
            continue;
        ++frames;
        FUZZ_CHECK(frame.payload.size() + 1 <= kMaxFrameLength);
        switch (frame.type) {
            case 'A':
                FUZZ_CHECK(frame.payload.size() == 8);
                reencoded += encodeAttach(frame.code, frame.handle);
                break;
            case 'C':
                FUZZ_CHECK(frame.text.find('\0') == std::string::npos);
                FUZZ_CHECK(frame.text.size() + 5 == frame.payload.size());
                // The dwData word is not kept; the encoder writes 0.
                reencoded += encodeCommand(frame.text);
                break;
            case 'D':
                reencoded += encodeDiscover(frame.payload);
                break;
            default:
                FUZZ_CHECK(false && "a frame of an unknown type was accepted");
        }
    }
    return last;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t piece = data[0];
    data += 1;
    size -= 1;

    size_t whole = 0;
    size_t pieces = 0;
    std::string once;
    std::string inPieces;
    const FrameDecoder::Result a = decodeAll(data, size, 0, whole, once);
    const FrameDecoder::Result b = decodeAll(data, size, piece, pieces, inPieces);
    // How the bytes arrive changes nothing.
    FUZZ_CHECK(a == b);
    FUZZ_CHECK(whole == pieces);
    FUZZ_CHECK(once == inPieces);

    // What the encoders make decodes to the same frames.
    size_t again = 0;
    std::string twice;
    const FrameDecoder::Result c =
        decodeAll(reinterpret_cast<const uint8_t*>(once.data()), once.size(), piece, again, twice);
    FUZZ_CHECK(c == FrameDecoder::Result::NeedMore || (once.empty() && c == FrameDecoder::Result::NeedMore));
    FUZZ_CHECK(again == whole);
    FUZZ_CHECK(twice == once);
    return 0;
}
