// tunnel/ftp_rewrite.h: rewriteFtpData on a buffer exactly `capacity` bytes
// long, with hooks that answer as a data-link listener could.
//
// Input: byte 0 chooses what the listener hook answers, byte 1 is the room
// left after the data, bytes 2-5 this PC's address, the rest the data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/eventlog.h"
#include "fuzz/fuzz_check.h"
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

    const uint32_t out = rewriteFtpData(buffer.get(), length, capacity, hooks);
    FUZZ_CHECK(out <= capacity);
    // Without a new listener nothing may change.
    if (calls == 0 || mode == 1 || mode == 2 || mode == 4) {
        FUZZ_CHECK(out == length);
        FUZZ_CHECK(length == 0 || std::memcmp(buffer.get(), text, length) == 0);
    }
    return 0;
}
