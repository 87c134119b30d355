#include "quantum/dump.h"

namespace kiln {

void HexDump(WString& out, const uint8_t* bytes, size_t length, uint32_t indent) {
    static const char16_t kHex[] = u"0123456789abcdef";
    size_t offset = 0;
    do {
        if (offset) out.append(u'\n');
        AppendSpaces(out, indent);
        char16_t line[8 + 3 + 16 * 3 + 1 + 2 + 16];
        size_t n = 0;
        for (int shift = 28; shift >= 0; shift -= 4) line[n++] = kHex[(offset >> shift) & 0xF];
        for (int i = 0; i < 3; ++i) line[n++] = u' ';
        for (size_t col = 0; col < 16; ++col) {
            if (offset + col < length) {
                uint8_t b = bytes[offset + col];
                line[n++] = kHex[b >> 4];
                line[n++] = kHex[b & 0xF];
                line[n++] = u' ';
            } else {
                line[n++] = u' ';
                line[n++] = u' ';
                line[n++] = u' ';
            }
            if (col == 7) line[n++] = u' ';
        }
        line[n++] = u' ';
        line[n++] = u' ';
        for (size_t col = 0; col < 16; ++col) {
            if (offset + col < length) {
                uint8_t b = bytes[offset + col];
                line[n++] = b >= 32 && b <= 126 ? static_cast<char16_t>(b) : u'.';
            } else {
                line[n++] = u' ';
            }
        }
        out.append(std::u16string_view(line, n));
        offset += 16;
    } while (offset < length);
}

}  // namespace kiln
