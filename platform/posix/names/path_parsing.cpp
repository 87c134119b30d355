// Windows paths taken apart: the plain and long forms, and their components
// as names on disk.
#include "platform/posix/names/path_parsing.h"

#include <fcntl.h>
#include <linux/limits.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/names/name_mapping.h"
#include "platform/posix/system/ascii_case.h"

namespace kiln::platform {
namespace {

constexpr size_t kMaxWidePath = 32767;
constexpr size_t kMaxNameBytes = NAME_MAX;

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
            if (IsReservedInWindowsNames(c) || c == u'/') return Fail(ERROR_BAD_NETPATH);
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
        if (std::all_of(name.begin(), name.end(), [](char16_t c) {
                return c < 0x7F && c != u'/' && !IsReservedInWindowsNames(c);
            })) {
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
        if (!WindowsNameToDisk(spelled, &onDisk)) return false;
        if (onDisk.size() > kMaxNameBytes) return Fail(ERROR_FILENAME_EXCED_RANGE);
        out.push_back(std::move(onDisk));
    }
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

}  // namespace kiln::platform
