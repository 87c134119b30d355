// Byte helpers shared by the tests: hex in, hex out, encode to a vector.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nocrtlib/ncstring.h"
#include "nocrtlib/opcx.h"

namespace kiln::test {

// "00 0a ff" or "000aff" -> bytes; whitespace is ignored.
std::vector<uint8_t> Hex(const std::string& text);
// Bytes -> "00 0a ff".
std::string ToHex(const std::vector<uint8_t>& bytes);
// The error list of a context as UTF-8 lines.
std::vector<std::string> ErrorLines(const OpCx& cx);
inline std::string U8(const WString& s) { return Narrow(s.sv()); }

}  // namespace kiln::test
