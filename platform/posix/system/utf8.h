// The UTF-8 code of the platform, written once: the code-page conversions
// and the mapping of names on disk both go through it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::platform {

// Decodes the shortest-form UTF-8 of one scalar value at s[i] (i < n) and
// advances i past it. -1 for a malformed sequence (stray continuation byte,
// overlong form, encoded surrogate, value past U+10FFFF, truncation); i then
// skips the maximal ill-formed subpart, as Windows and the Unicode standard
// recommend.
int32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i);

// Writes the UTF-8 of a scalar value into buf (room for 4 bytes); returns
// the number of bytes.
size_t EncodeUtf8(uint32_t cp, unsigned char* buf);

}  // namespace kiln::platform
