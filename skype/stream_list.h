// Reading the stream lists of the messenger's APPLICATION notifications:
//   STREAMS   user:id items, separated by blanks or commas
//   SENDING   user:id=bytes items, separated by blanks
//   RECEIVED  user:id=bytes items, separated by blanks
// A list is read whole or not at all: one malformed item, or one word longer
// than a token buffer, voids the notification.
#pragma once

#include <string>
#include <vector>

struct StreamEntry {
    std::string user;
    int id = 0;
    int bytes = 0;
};

enum class StreamListKind { Streams, Sending, Received };

enum class StreamListResult {
    Entries,  // at least one entry, all well-formed
    Empty,    // the list names no stream at all
    NoUser,   // an item ends before its ':' (or the list ends in a separator)
    NoId,     // a SENDING or RECEIVED item ends before its '='
    TooLong,  // a word does not fit a token buffer
};

// Words are read into buffers of this size (NUL included).
inline constexpr size_t kStreamTokenSize = 256;

// Reads `list` (the text after the notification word) into `entries`, which
// is cleared first and stays empty unless the result is Entries.
StreamListResult parseStreamList(const char* list, StreamListKind kind, std::vector<StreamEntry>& entries);
