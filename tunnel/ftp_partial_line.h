// The line of FTP control text that a packet's data ends inside of, kept
// back while it may still become a data-port announcement. The peer chooses
// where its packets end: "22" and "7 Entering Passive Mode (...)" are no
// announcement each on its own, together they are one. The kept beginning
// is put in front of the next packet's data, so that the line is read whole.
//
// A beginning that cannot become an announcement is not kept ("150 Here",
// "2270"): ordinary text is never held up. At most kMaxLength bytes are
// kept; a beginning that grows longer without its line end is to be
// refused. The owner forgets the kept bytes when its control connection
// ends.
#pragma once

#include <cstdint>

class QV_FTPPARTIALLINE {
public:
    static constexpr uint32_t kMaxLength = 256;

    // Puts the kept bytes in front of the `length` bytes at data, which has
    // room for `room` bytes, and forgets them. Returns the new length; when
    // they do not fit, they are dropped and the data stays as it is.
    uint32_t resume(uint8_t* data, uint32_t length, uint32_t room);
    // Takes the line that the data ends inside of off its end and keeps it,
    // when it may still become an announcement and is at most kMaxLength
    // bytes long. Returns the length of what is left. *overlong tells that
    // the last line may become an announcement but is too long to keep: it
    // stays in the data, to be refused.
    uint32_t keepBack(const uint8_t* data, uint32_t length, bool* overlong);
    void forget() { size = 0; }
    uint32_t length() const { return size; }

private:
    uint8_t bytes[kMaxLength] = {};
    uint32_t size = 0;
};
