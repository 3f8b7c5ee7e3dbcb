// Small text functions shared by the command parsers and the packet codec.
// All are free functions without state; callers own every buffer and pass its
// size, and a result that would not fit is refused rather than truncated into
// memory.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes 2 * length lower-case hex digits and a NUL. Returns 1, or 0 when dst
// (dstSize bytes) cannot hold them; dst then holds the empty string.
int32_t hexEncode(int32_t length, const uint8_t* src, char* dst, size_t dstSize);

// Decodes pairs of hex digits. Returns the number of bytes written, 0 for an
// odd-length input and 0 (dst untouched) when the result would exceed dstSize.
int32_t hexDecode(const char* src, uint8_t* dst, size_t dstSize);

// '0'-'9', 'A'-'F', 'a'-'f' give their value; anything else gives 0.
uint8_t hexDigitValue(char c);

// Reads one word of src into dst (dstSize bytes, NUL included). Leading white
// space is skipped; white space always ends a word; with delim, its first
// character ends a word, without delim any ASCII punctuation does. Bytes
// 0x80-0xFF are word characters. Returns the position after the ending
// character, or null when the word ended at the end of src. A word longer than
// dstSize - 1 is cut in dst and *tooLong (when given) is set; the returned
// position is still the end of the whole word.
const char* nextToken(const char* src, char* dst, const char* delim, size_t dstSize, bool* tooLong = nullptr);

// 'a'-'z' become 'A'-'Z'; every other byte stays.
void toUpperInPlace(char* s);
