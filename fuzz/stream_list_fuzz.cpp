// skype/stream_list.h: the three stream lists of APPLICATION notifications.
//
// Input: byte 0 chooses the list, the rest is its text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "skype/stream_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const StreamListKind kinds[] = {StreamListKind::Streams, StreamListKind::Sending, StreamListKind::Received};
    const StreamListKind kind = kinds[data[0] % 3];
    const std::string list(reinterpret_cast<const char*>(data + 1), size - 1);

    std::vector<StreamEntry> entries{StreamEntry{"left over", 7, 7}};
    const StreamListResult result = parseStreamList(list.c_str(), kind, entries);
    if (result != StreamListResult::Entries) {
        FUZZ_CHECK(entries.empty());
        return 0;
    }
    FUZZ_CHECK(!entries.empty());
    const size_t textLength = list.find('\0') == std::string::npos ? list.size() : list.find('\0');
    FUZZ_CHECK(entries.size() <= textLength);
    for (const StreamEntry& e : entries) {
        // Every entry was a word of the list, so it fits a token buffer.
        FUZZ_CHECK(e.user.size() < kStreamTokenSize);
        FUZZ_CHECK(e.user.find('\0') == std::string::npos);
        FUZZ_CHECK(e.user.find(' ') == std::string::npos);
    }
    // The list read again gives the same entries.
    std::vector<StreamEntry> again;
    FUZZ_CHECK(parseStreamList(list.c_str(), kind, again) == StreamListResult::Entries);
    FUZZ_CHECK(again.size() == entries.size());
    return 0;
}
