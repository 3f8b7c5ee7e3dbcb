#include "skype/stream_list.h"

#include <climits>
#include <cstdlib>

#include "core/text.h"

namespace {

// Leading decimal number of a word, as a "%d" conversion reads it; 0 when the
// word does not start with one, clamped to the int range.
int toNumber(const char* word)
{
    char* end = nullptr;
    long v = std::strtol(word, &end, 10);
    if (end == word)
        return 0;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

}  // namespace

StreamListResult parseStreamList(const char* list, StreamListKind kind, std::vector<StreamEntry>& entries)
{
    entries.clear();
    if (!list)
        return StreamListResult::Empty;

    char user[kStreamTokenSize];
    char id[kStreamTokenSize];
    char count[kStreamTokenSize];
    bool tooLong = false;
    bool anyTooLong = false;
    // nextToken that remembers whether any word of the list was cut.
    auto word = [&](const char* from, char* dst, const char* delim) {
        const char* next = nextToken(from, dst, delim, kStreamTokenSize, &tooLong);
        anyTooLong = anyTooLong || tooLong;
        return next;
    };

    // One word running to the end of the text: no stream at all.
    if (!word(list, user, nullptr)) {
        return anyTooLong ? StreamListResult::TooLong : StreamListResult::Empty;
    }

    std::vector<StreamEntry> found;
    const char* p = list;
    while (p) {
        StreamEntry entry;
        p = word(p, user, ":");
        if (anyTooLong)
            return StreamListResult::TooLong;
        if (!p)
            return StreamListResult::NoUser;
        if (kind == StreamListKind::Streams) {
            p = word(p, id, ",");
        } else {
            p = word(p, id, "=");
            if (anyTooLong)
                return StreamListResult::TooLong;
            if (!p)
                return StreamListResult::NoId;
            p = word(p, count, kind == StreamListKind::Sending ? " " : nullptr);
            entry.bytes = toNumber(count);
        }
        if (anyTooLong)
            return StreamListResult::TooLong;
        entry.user = user;
        entry.id = toNumber(id);
        found.push_back(std::move(entry));
    }
    entries = std::move(found);
    return StreamListResult::Entries;
}
