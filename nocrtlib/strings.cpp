#include <climits>

#include "nocrtlib/ncstring.h"
#include "platform/win32_base.h"

namespace kiln {

bool Utf8ToWide(std::string_view in, WString& out) {
    out.clear();
    if (in.empty()) return true;
    // Conversions go in pieces small enough for the int-sized Windows API.
    constexpr size_t kPiece = INT_MAX / 4;
    size_t done = 0;
    while (done < in.size()) {
        size_t n = in.size() - done < kPiece ? in.size() - done : kPiece;
        // Never cut a UTF-8 sequence between two pieces.
        while (done + n < in.size() && n > 0 &&
               (static_cast<unsigned char>(in[done + n]) & 0xC0) == 0x80)
            --n;
        size_t base = out.size();
        // At most one UTF-16 unit per byte.
        if (!out.resize(base + n)) return false;
        int got = MultiByteToWideChar(CP_UTF8, 0, in.data() + done, static_cast<int>(n),
                                      out.mutable_data() + base, static_cast<int>(n));
        if (got <= 0) return false;
        out.resize(base + static_cast<size_t>(got));
        done += n;
    }
    return !out.alloc_failed();
}

bool WideToUtf8(std::u16string_view in, datavect<char>& out) {
    out.clear();
    if (in.empty()) return true;
    constexpr size_t kPiece = INT_MAX / 4;
    size_t done = 0;
    while (done < in.size()) {
        size_t n = in.size() - done < kPiece ? in.size() - done : kPiece;
        // Keep a surrogate pair together.
        if (done + n < in.size() && in[done + n - 1] >= 0xD800 && in[done + n - 1] <= 0xDBFF) --n;
        size_t base = out.size();
        if (!out.resize(base + n * 3)) return false;
        int got = WideCharToMultiByte(CP_UTF8, 0, in.data() + done, static_cast<int>(n),
                                      out.data() + base, static_cast<int>(n * 3), nullptr,
                                      nullptr);
        if (got <= 0) return false;
        out.resize(base + static_cast<size_t>(got));
        done += n;
    }
    return true;
}

WString Widen(std::string_view utf8) {
    WString w;
    Utf8ToWide(utf8, w);
    return w;
}

std::string Narrow(std::u16string_view wide) {
    datavect<char> v;
    if (!WideToUtf8(wide, v)) return std::string();
    return std::string(v.data() ? v.data() : "", v.size());
}

WString NumberToText(uint64_t value, unsigned radix) {
    static const char16_t kDigits[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    if (radix < 2 || radix > 36) radix = 10;
    char16_t buf[65];
    size_t pos = sizeof buf / sizeof buf[0];
    do {
        buf[--pos] = kDigits[value % radix];
        value /= radix;
    } while (value);
    return WString(buf + pos, sizeof buf / sizeof buf[0] - pos);
}

WString NumberToText(int64_t value, unsigned radix) {
    if (value >= 0) return NumberToText(static_cast<uint64_t>(value), radix);
    return u"-" + NumberToText(0 - static_cast<uint64_t>(value), radix);
}

}  // namespace kiln
