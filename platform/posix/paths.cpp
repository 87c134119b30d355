// Names and Windows paths: the private-use mapping of characters that
// Windows names cannot carry, parsing of plain and long forms, the drive and
// share tables and the translation of Linux paths back into Windows paths.
#include "platform/posix/paths.h"

#include <fcntl.h>
#include <linux/limits.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/confinement.h"
#include "platform/posix/file_config.h"
#include "platform/posix/utf8.h"

namespace kiln::platform {
namespace {

constexpr char16_t kPrivateUseBase = 0xF000;
constexpr char16_t kByteStandInBase = 0xF080;  // U+F080 + (byte - 0x80)
constexpr size_t kMaxWidePath = 32767;
constexpr size_t kMaxNameBytes = NAME_MAX;

bool IsReservedAscii(char16_t c) {
    return c < 0x20 || c == u'"' || c == u'*' || c == u':' || c == u'<' || c == u'>' || c == u'?' ||
           c == u'|' || c == u'\\';
}

// The characters that the API-to-disk direction turns into something else:
// the stand-ins of reserved ASCII and of single bytes.
bool IsStandIn(char32_t c) {
    if (c >= kByteStandInBase && c < kByteStandInBase + 0x80) return true;
    return c > kPrivateUseBase && c < kPrivateUseBase + 0x80 &&
           IsReservedAscii(static_cast<char16_t>(c - kPrivateUseBase));
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

char16_t AsciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? c + 32 : c;
}

bool IsSeparator(char16_t c, bool longForm) {
    return c == u'\\' || (!longForm && c == u'/');
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix, bool foldCase) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t a = text[i], b = prefix[i];
        if (foldCase ? AsciiLower(a) != AsciiLower(b) : a != b) return false;
    }
    return true;
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
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
std::u16string LinuxNameToWindows(std::string_view name) {
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
        } else if (c != 0 && IsReservedAscii(static_cast<char16_t>(c))) {
            wide += static_cast<char16_t>(kPrivateUseBase + c);
        } else {
            AppendUtf16(static_cast<char32_t>(c), &wide);
        }
    }
    return wide;
}

bool WindowsNameToLinux(std::u16string_view name, std::string* linuxName) {
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
    if (LinuxNameToWindows(out) != name) return Fail(ERROR_INVALID_NAME);
    *linuxName = std::move(out);
    return true;
}

bool ParseWindowsPath(LPCWSTR path, bool allowWildcards, ParsedPath* parsed) {
    *parsed = ParsedPath();
    if (path == nullptr || path[0] == 0) return Fail(ERROR_PATH_NOT_FOUND);
    std::u16string_view text(path);
    if (text.size() > kMaxWidePath) return Fail(ERROR_FILENAME_EXCED_RANGE);

    size_t pos = 0;
    if (StartsWith(text, u"\\\\?\\", false)) {
        parsed->longForm = true;
        pos = 4;
        if (StartsWith(text.substr(pos), u"UNC\\", true)) {
            parsed->unc = true;
            pos += 4;
        }
    } else if (StartsWith(text, u"\\\\.\\", false) || StartsWith(text, u"//./", false) ||
               StartsWith(text, u"//?/", false)) {
        return Fail(ERROR_INVALID_NAME);  // device namespace: no files there
    } else if (text.size() >= 2 && IsSeparator(text[0], false) && IsSeparator(text[1], false)) {
        parsed->unc = true;
        pos = 2;
    }
    const bool longForm = parsed->longForm;

    if (parsed->unc) {
        size_t serverEnd = pos;
        while (serverEnd < text.size() && !IsSeparator(text[serverEnd], longForm)) ++serverEnd;
        if (serverEnd == pos || serverEnd >= text.size()) return Fail(ERROR_BAD_NETPATH);
        size_t shareStart = serverEnd + 1;
        size_t shareEnd = shareStart;
        while (shareEnd < text.size() && !IsSeparator(text[shareEnd], longForm)) ++shareEnd;
        if (shareEnd == shareStart) return Fail(ERROR_BAD_NETPATH);
        parsed->server = std::u16string(text.substr(pos, serverEnd - pos));
        parsed->share = std::u16string(text.substr(shareStart, shareEnd - shareStart));
        for (char16_t c : parsed->server + parsed->share)
            if (IsReservedAscii(c) || c == u'/') return Fail(ERROR_BAD_NETPATH);
        pos = shareEnd;
    } else {
        char16_t letter =
            text.size() >= pos + 2 && text[pos + 1] == u':' ? AsciiLower(text[pos]) : 0;
        if (letter < u'a' || letter > u'z') return Fail(ERROR_INVALID_NAME);
        parsed->drive = static_cast<char16_t>(letter - 32);
        pos += 2;
        // "C:" alone is the drive's root; "C:name" would be relative to a
        // current directory that this process does not keep.
        if (pos < text.size() && !IsSeparator(text[pos], longForm)) return Fail(ERROR_INVALID_NAME);
    }

    // Components after the volume.
    std::vector<std::string>& out = parsed->components;
    const auto separators =
        std::count_if(text.begin() + static_cast<long>(pos), text.end(),
                      [longForm](char16_t c) { return IsSeparator(c, longForm); });
    out.reserve(static_cast<size_t>(separators));
    while (pos < text.size()) {
        if (!IsSeparator(text[pos], longForm)) return Fail(ERROR_INVALID_NAME);
        size_t start = pos + 1;
        size_t end = start;
        while (end < text.size() && !IsSeparator(text[end], longForm)) ++end;
        std::u16string_view name = text.substr(start, end - start);
        pos = end;
        const bool last = end >= text.size();
        if (name.empty()) {
            if (last) {
                parsed->trailingSeparator = true;
                break;
            }
            if (longForm) return Fail(ERROR_INVALID_NAME);
            continue;
        }
        if (name == u"." || name == u"..") {
            if (longForm) return Fail(ERROR_INVALID_NAME);
            if (name == u".." && !out.empty()) out.pop_back();
            if (last) parsed->trailingSeparator = true;
            continue;
        }
        // A name of printable ASCII without reserved characters is its own
        // spelling on disk, and most names are such.
        if (std::all_of(name.begin(), name.end(),
                        [](char16_t c) { return c < 0x7F && c != u'/' && !IsReservedAscii(c); })) {
            if (name.size() > kMaxNameBytes) return Fail(ERROR_FILENAME_EXCED_RANGE);
            out.emplace_back(name.begin(), name.end());
            continue;
        }
        // A wildcard pattern goes to disk as the name it would be if its
        // wildcards were literal; FindFirstFileW matches with the pattern
        // as given.
        std::u16string spelled(name);
        for (char16_t& c : spelled) {
            if (c == u'/') return Fail(ERROR_INVALID_NAME);
            if ((c == u'*' || c == u'?') && allowWildcards && last)
                c = static_cast<char16_t>(kPrivateUseBase + c);
        }
        std::string onDisk;
        if (!WindowsNameToLinux(spelled, &onDisk)) return false;
        if (onDisk.size() > kMaxNameBytes) return Fail(ERROR_FILENAME_EXCED_RANGE);
        out.push_back(std::move(onDisk));
    }
    return true;
}

bool WindowsPathToLinux(LPCWSTR windowsPath, std::string* linuxPath) {
    ParsedPath parsed;
    if (!ParseWindowsPath(windowsPath, false, &parsed)) return false;
    std::string base;
    if (!VolumeDirectoryOf(parsed, &base)) return false;
    std::string result = base;
    for (const std::string& name : parsed.components) {
        if (result.empty() || result.back() != '/') result += '/';
        result += name;
    }
    if (result.size() >= PATH_MAX) return Fail(ERROR_FILENAME_EXCED_RANGE);
    *linuxPath = std::move(result);
    return true;
}

namespace {

// Length of the directory prefix when `path` lies in `dir`, else npos.
size_t MatchDirectory(std::string_view path, std::string_view dir) {
    if (dir.empty()) return std::string_view::npos;
    if (dir == "/") return 0;
    if (path.size() < dir.size() || path.compare(0, dir.size(), dir) != 0)
        return std::string_view::npos;
    if (path.size() > dir.size() && path[dir.size()] != '/') return std::string_view::npos;
    return dir.size();
}

}  // namespace

bool LinuxPathToWindows(std::string_view linuxPath, std::u16string* windowsPath) {
    if (linuxPath.empty() || linuxPath[0] != '/') return Fail(ERROR_PATH_NOT_FOUND);
    std::shared_ptr<const FileConfig> config = CurrentFileConfig();
    size_t best = std::string_view::npos;
    std::u16string volume;
    auto consider = [&](const BoundaryDir& dir, std::u16string name) {
        for (const std::string* candidate : {&dir.linuxPath, &dir.realPath}) {
            size_t length = MatchDirectory(linuxPath, *candidate);
            if (length == std::string_view::npos) continue;
            if (best == std::string_view::npos || length > best) {
                best = length;
                volume = name;
            }
        }
    };
    for (int i = 0; i < 26; ++i) {
        if (config->drives[i])
            consider(*config->drives[i], std::u16string{char16_t(u'A' + i), u':'});
    }
    for (const UncShare& share : config->shares)
        consider(*share.dir, u"\\\\" + share.server + u"\\" + share.share);
    if (best == std::string_view::npos) return Fail(ERROR_PATH_NOT_FOUND);

    std::u16string result = volume;
    for (const std::string& name : SplitLinuxPath(linuxPath.substr(best))) {
        result += u'\\';
        result += LinuxNameToWindows(name);
    }
    if (result.size() == volume.size()) result += u'\\';
    *windowsPath = std::move(result);
    return true;
}

std::vector<std::string> SplitLinuxPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(pos, end - pos);
        if (!part.empty() && part != ".") parts.emplace_back(part);
        pos = end + 1;
    }
    return parts;
}

std::string ProcFdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

DWORD WindowsErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EBUSY:
            return ERROR_ACCESS_DENIED;  // a mount point cannot be removed
        case ENOTCONN:
        case ENODEV:
        case ENXIO:
            return ERROR_NOT_READY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace kiln::platform
