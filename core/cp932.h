// Conversion between the program's UTF-8 strings and the cp932 (Shift-JIS)
// bytes of its files, through glibc iconv. Characters that have no form in the
// target code page become '?'; invalid input bytes become '?' too, so nothing
// a file holds can stop a conversion.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

std::string utf8ToCp932(std::string_view utf8);
std::string cp932ToUtf8(std::string_view cp932);

// Number of bytes a UTF-8 text takes in cp932 (ASCII and half-width katakana 1,
// everything else 2).
size_t cp932Length(std::string_view utf8);

// Cuts a UTF-8 text at a character boundary so that its cp932 form takes at
// most maxBytes bytes.
std::string cutToCp932Bytes(std::string_view utf8, size_t maxBytes);

// Length of the longest prefix of a cp932 text, at most maxBytes, that does
// not end inside a double-byte character.
size_t cp932PrefixLength(std::string_view cp932, size_t maxBytes);
