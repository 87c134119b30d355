// Helpers of the text dump.
#pragma once

#include <cstdint>

#include "nocrtlib/ncstring.h"

namespace kiln {

// One line per 16 bytes: indent, 8-digit lowercase offset, three spaces, 16
// byte columns ("xx " or three spaces past the end, one extra space after the
// eighth), two spaces and the printable characters. Lines are separated by a
// newline, with none after the last; an empty range still gives one line.
void HexDump(WString& out, const uint8_t* bytes, size_t length, uint32_t indent);

inline void AppendSpaces(WString& out, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) out.append(u' ');
}

}  // namespace kiln
