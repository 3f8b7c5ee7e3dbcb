// The compact form of a stream text between two daemons that both offer it:
// a text of lower-case hex digits of even length travels as the bytes it
// spells, any other text as it is, each behind a one-byte tag. The reader
// gets back exactly the text written. Pure functions, no state.
#pragma once

#include <string>

// The block bytes for `text`.
std::string packText(const std::string& text);

// The text of block bytes made by packText; false (and `text` untouched)
// when `bytes` has no valid tag.
bool unpackText(const std::string& bytes, std::string& text);
