#include "support/bytes.h"

#include <cctype>
#include <stdexcept>

namespace kiln::test {

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    int nibble = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                            : -1;
        if (v < 0) throw std::invalid_argument("bad hex digit");
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    if (nibble >= 0) throw std::invalid_argument("odd number of hex digits");
    return out;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 0xF];
    }
    return s;
}

std::vector<std::string> ErrorLines(const OpCx& cx) {
    std::vector<std::string> lines;
    for (const auto& e : cx.Errors()) lines.push_back(Narrow(e.sv()));
    return lines;
}

}  // namespace kiln::test
