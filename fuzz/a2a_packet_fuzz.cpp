// wire/a2a_packet.h: checkA2APacket on a holder exactly as large as the
// bytes it has, then the reads a caller makes of a packet it accepted.
//
// Input: bytes 0-1 (little-endian) are the data limit, the rest the packet.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "wire/a2a_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t dataLimit = data[0] | (static_cast<size_t>(data[1]) << 8);
    data += 2;
    size -= 2;

    // An exact copy, so that a read past the holder's bytes is caught.
    std::unique_ptr<uint8_t[]> packet(new uint8_t[size > 0 ? size : 1]);
    if (size > 0)
        std::memcpy(packet.get(), data, size);

    for (const size_t limit : {dataLimit, static_cast<size_t>(kA2AMaxData)}) {
        if (!checkA2APacket(packet.get(), size, limit))
            continue;
        FUZZ_CHECK(size >= kA2AHeaderSize);
        FUZZ_CHECK(a2aHeaderSize(packet.get()) == kA2AHeaderSize);
        const size_t dataSize = a2aDataSize(packet.get());
        FUZZ_CHECK(dataSize <= limit);
        FUZZ_CHECK(kA2AHeaderSize + dataSize <= size);
        // What a receiver reads of an accepted packet.
        unsigned sum = a2aPort(packet.get()) + a2aKind(packet.get()) + a2aCode(packet.get()) + a2aResult(packet.get())
                       + a2aError(packet.get()) + a2aMainLinkState(packet.get()) + a2aMainLinkFree(packet.get())
                       + a2aDataLinkState(packet.get()) + a2aDataLinkFree(packet.get()) + a2aSeq(packet.get());
        for (size_t i = 0; i < dataSize; ++i)
            sum += packet[kA2AHeaderSize + i];
        (void)sum;
    }

    // The accessors write and read back the same little-endian fields.
    if (size >= kA2AHeaderSize) {
        uint8_t header[kA2AHeaderSize];
        std::memcpy(header, data, kA2AHeaderSize);
        const uint32_t seq = a2aRead32(data, kA2AOffSeq);
        const uint16_t port = a2aRead16(data, kA2AOffPort);
        FUZZ_CHECK(seq == (data[28] | (data[29] << 8) | (data[30] << 16) | (static_cast<uint32_t>(data[31]) << 24)));
        FUZZ_CHECK(port == (data[8] | (data[9] << 8)));
        initA2AHeader(header);
        setA2ASeq(header, seq);
        setA2APort(header, port);
        FUZZ_CHECK(a2aSeq(header) == seq && a2aPort(header) == port);
        FUZZ_CHECK(checkA2APacket(header, kA2AHeaderSize, 0) == 1);
    }
    return 0;
}
