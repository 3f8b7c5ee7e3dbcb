// tunnel/ftp_rewrite.h: rewriteFtpData on a buffer exactly `capacity` bytes
// long, with hooks that answer as a data-link listener could.
//
// Input: byte 0 chooses what the listener hook answers, byte 1 is the room
// left after the data (its low bit also asks to refuse an unended last
// line), bytes 2-5 this PC's address, the rest the data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/eventlog.h"
#include "fuzz/fuzz_check.h"
#include "tunnel/ftp_announcement.h"
#include "tunnel/ftp_rewrite.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    static bool once = [] {
        QV_EVENTLOG::getInstance()->setEnabled(0);
        return true;
    }();
    (void)once;

    const uint8_t mode = data[0] % 5;
    const uint32_t capacity = static_cast<uint32_t>(size - 6) + data[1];
    uint32_t address = 0;
    std::memcpy(&address, data + 2, 4);
    const uint8_t* text = data + 6;
    const auto length = static_cast<uint32_t>(size - 6);

    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity > 0 ? capacity : 1]);
    if (length > 0)
        std::memcpy(buffer.get(), text, length);

    int calls = 0;
    QV_FTPREWRITEHOOKS hooks;
    hooks.createDataLinkServer = [&](int32_t port) -> int32_t {
        // Only a port a listener could be asked for reaches the hook.
        FUZZ_CHECK(port >= 0 && port <= 65535);
        ++calls;
        switch (mode) {
            case 0:
                return port == 40000 ? 40001 : 40000;
            case 1:
                return -1;
            case 2:
                return port;
            case 3:
                return 65535 - port;
            default:
                return 70000;
        }
    };
    hooks.getLocalAddress = [&] { return address; };
    hooks.peerUser = "peer";
    hooks.forwardHost = "ftp.example";

    const bool refuseUnended = (data[1] & 1) != 0;
    const uint32_t out = rewriteFtpData(buffer.get(), length, capacity, hooks, refuseUnended);
    FUZZ_CHECK(out <= capacity);
    // One packet, one listener at most.
    FUZZ_CHECK(calls <= 1);
    // Data without an announcement passes byte-exact.
    bool announces = false;
    for (size_t pos = 0; pos < length && !announces;) {
        const size_t lineLength = ftpLineLength(text, length, pos);
        announces = readFtpAnnouncement(text + pos, lineLength).isAnnouncement();
        pos += lineLength;
    }
    if (!announces) {
        FUZZ_CHECK(calls == 0);
        FUZZ_CHECK(out == length);
        FUZZ_CHECK(length == 0 || std::memcmp(buffer.get(), text, length) == 0);
    }
    if (mode == 1 || mode == 4) {
        // No listener could be had: no announcement of a port may remain,
        // or the FTP program would connect around the tunnel.
        for (size_t pos = 0; pos < out;) {
            const size_t lineLength = ftpLineLength(buffer.get(), out, pos);
            const QV_FTPANNOUNCEMENT a = readFtpAnnouncement(buffer.get() + pos, lineLength);
            FUZZ_CHECK(!a.isAnnouncement() || !a.usable);
            pos += lineLength;
        }
    }
    return 0;
}
