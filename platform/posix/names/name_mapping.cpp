// Names between their bytes on disk and their UTF-16 spelling in the API.
#include "platform/posix/names/name_mapping.h"

#include "platform/posix/system/utf8.h"
#include "platform/win32_base.h"

namespace kiln::platform {
namespace {

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

constexpr char16_t kByteStandInBase = 0xF080;  // U+F080 + (byte - 0x80)

// The characters that the API-to-disk direction turns into something else:
// the stand-ins of reserved ASCII and of single bytes.
bool IsStandIn(char32_t c) {
    if (c >= kByteStandInBase && c < kByteStandInBase + 0x80) return true;
    return c > kPrivateUseBase && c < kPrivateUseBase + 0x80 &&
           IsReservedInWindowsNames(static_cast<char16_t>(c - kPrivateUseBase));
}

// The next character of well-formed UTF-8 at text[*pos], advancing past it;
// -1, advancing by one byte only, where the bytes are malformed: each byte of
// a malformed sequence gets a stand-in of its own.
int32_t DecodeUtf8(std::string_view text, size_t* pos) {
    const size_t start = *pos;
    const int32_t c = kiln::platform::DecodeUtf8(
        reinterpret_cast<const unsigned char*>(text.data()), text.size(), *pos);
    if (c < 0) *pos = start + 1;
    return c;
}

void AppendUtf8(char32_t c, std::string* out) {
    unsigned char buf[4];
    out->append(reinterpret_cast<const char*>(buf), EncodeUtf8(c, buf));
}

void AppendUtf16(char32_t c, std::u16string* out) {
    if (c < 0x10000) {
        *out += static_cast<char16_t>(c);
    } else {
        *out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        *out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
}

}  // namespace

// Names between disk and API.
//
// A Linux name is any bytes but NUL and '/'; a Windows name is UTF-16 without
// \ : * ? " < > | and the control characters 1..31. The two directions are a
// bijection between the names on disk and the names the API accepts, so that
// two files never list as one name and a name never reaches a file other
// than its own:
//
//  * a character that Windows names cannot carry but Linux names can stands
//    in as U+F000 + the character (the convention of Windows services for
//    Unix and of Samba);
//  * a byte that is not part of well-formed UTF-8 (a stray byte, an overlong
//    form, an encoded surrogate, a truncated sequence) stands in as
//    U+F080 + (byte - 0x80), one stand-in per byte;
//  * a character on disk that is itself one of these stand-ins is listed as
//    the stand-ins of its UTF-8 bytes, so that it comes back to the same
//    bytes instead of to the character it would stand for;
//  * every other character is itself.
//
// NUL and '/' never occur in a Linux name, so they have no stand-in: U+F000
// and U+F02F are ordinary characters. The API-to-disk direction undoes the
// above and refuses (ERROR_INVALID_NAME) what no name on disk lists as: NUL,
// an unpaired surrogate, a reserved character given as itself, or byte
// stand-ins that spell the UTF-8 of a character which lists as itself (that
// character's own spelling is the one name of the file).
std::u16string DiskNameToWindows(std::string_view name) {
    std::u16string wide;
    wide.reserve(name.size());
    size_t pos = 0;
    while (pos < name.size()) {
        const size_t start = pos;
        // ASCII, most names' every byte, is a character of one byte.
        const auto byte = static_cast<unsigned char>(name[pos]);
        const int32_t c = byte < 0x80 ? (++pos, byte) : DecodeUtf8(name, &pos);
        if (c < 0 || IsStandIn(static_cast<char32_t>(c))) {
            for (size_t i = start; i < pos; ++i)
                wide += static_cast<char16_t>(kByteStandInBase +
                                              (static_cast<unsigned char>(name[i]) - 0x80));
        } else if (c != 0 && IsReservedInWindowsNames(static_cast<char16_t>(c))) {
            wide += static_cast<char16_t>(kPrivateUseBase + c);
        } else {
            AppendUtf16(static_cast<char32_t>(c), &wide);
        }
    }
    return wide;
}

bool DiskNameFits(std::string_view) {
    return true;
}

bool WindowsNameToDisk(std::u16string_view name, std::string* linuxName) {
    std::string out;
    out.reserve(name.size() * 3);
    for (size_t i = 0; i < name.size(); ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
        } else if (c == 0 || (c >= 0xD800 && c <= 0xDFFF)) {
            return Fail(ERROR_INVALID_NAME);
        }
        if (c >= kByteStandInBase && c < kByteStandInBase + 0x80)
            out += static_cast<char>(c - kByteStandInBase + 0x80);
        else if (IsStandIn(c))
            out += static_cast<char>(c - kPrivateUseBase);
        else
            AppendUtf8(c, &out);
    }
    // Only a name that lists as itself is the name of a file.
    if (DiskNameToWindows(out) != name) return Fail(ERROR_INVALID_NAME);
    *linuxName = std::move(out);
    return true;
}

}  // namespace kiln::platform
