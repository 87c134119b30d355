// Symbolic and hard links, and the final path of an open handle.
#include <fcntl.h>
#include <linux/limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/posix/files/file_object.h"
#include "platform/posix/files/overlapped.h"
#include "platform/posix/names/confinement.h"
#include "platform/posix/names/name_mapping.h"
#include "platform/posix/names/path_parsing.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/system/errors.h"
#include "platform/win32_files.h"

namespace kiln::platform {
namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool IsAbsoluteWindowsPath(std::u16string_view target) {
    if (target.size() >= 2 && target[1] == u':') return true;
    return target.size() >= 2 && (target[0] == u'\\' || target[0] == u'/') &&
           (target[1] == u'\\' || target[1] == u'/');
}

// The text a link holds on disk: an absolute Windows target becomes the Linux
// path of the drive table, a relative one keeps its shape with '/' between
// names. A target rooted on the link's drive (\dir\f) is taken on that drive.
bool LinkTextOf(std::u16string_view target, const ParsedPath& linkPath, std::string* text) {
    if (target.empty()) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string absolute;
    if (IsAbsoluteWindowsPath(target)) {
        absolute = std::u16string(target);
    } else if (target[0] == u'\\' || target[0] == u'/') {
        if (linkPath.unc) return Fail(ERROR_INVALID_NAME);
        absolute = std::u16string{linkPath.drive, u':'} + std::u16string(target);
    }
    if (!absolute.empty()) return WindowsPathToDisk(absolute.c_str(), text);
    text->clear();
    size_t pos = 0;
    while (pos <= target.size()) {
        size_t end = target.find_first_of(u"\\/", pos);
        if (end == std::u16string_view::npos) end = target.size();
        std::u16string_view name = target.substr(pos, end - pos);
        if (pos != 0) *text += '/';
        std::string onDisk;
        if (!WindowsNameToDisk(name, &onDisk)) return false;
        *text += onDisk;
        pos = end + 1;
    }
    return true;
}

// The Windows spelling of a link's text: an absolute text through the drive
// and share tables (a text that no table entry holds keeps its shape, rooted
// and without a volume, and so names nothing a caller may reach), a relative
// one name by name, with '\' between names.
std::u16string WindowsLinkText(std::string_view text, bool* relative) {
    *relative = text.empty() || text[0] != '/';
    std::u16string windows;
    if (!*relative && DiskPathToWindows(text, &windows)) return windows;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('/', pos);
        if (end == std::string_view::npos) end = text.size();
        if (pos != 0) windows += u'\\';
        windows += DiskNameToWindows(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return windows;
}

}  // namespace

IoResult ReadSymlinkReparseData(const FileObject& file, LPVOID buffer, DWORD size) {
    IoResult result;
    if (!file.IsSymlink()) {
        result.error = ERROR_NOT_A_REPARSE_POINT;
        return result;
    }
    // The handle holds the link itself (O_PATH | O_NOFOLLOW, opened through
    // the confinement), so its text is read from exactly that object.
    char text[PATH_MAX];
    ssize_t length = ::readlinkat(file.Fd(), "", text, sizeof text);
    if (length < 0) {
        result.error = WindowsErrorFromErrno(errno);
        return result;
    }
    bool relative = false;
    std::u16string print =
        WindowsLinkText(std::string_view(text, static_cast<size_t>(length)), &relative);
    const std::u16string substitute = relative ? print : u"\\??\\" + print;
    const size_t pathOffset = offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer);
    // Linux texts reach 4,095 bytes, more than the buffer holds twice; the
    // print name is for display only, so a long text goes without it.
    if (pathOffset + (substitute.size() + print.size()) * sizeof(char16_t) >
        MAXIMUM_REPARSE_DATA_BUFFER_SIZE)
        print.clear();
    const size_t namesBytes = (substitute.size() + print.size()) * sizeof(char16_t);
    const size_t total = pathOffset + namesBytes;
    if (total > MAXIMUM_REPARSE_DATA_BUFFER_SIZE) {
        result.error = ERROR_INVALID_REPARSE_DATA;
        return result;
    }
    if (size < REPARSE_DATA_BUFFER_HEADER_SIZE) {
        result.error = ERROR_INSUFFICIENT_BUFFER;
        return result;
    }
    std::vector<unsigned char> data(total);
    auto* reparse = reinterpret_cast<REPARSE_DATA_BUFFER*>(data.data());
    reparse->ReparseTag = IO_REPARSE_TAG_SYMLINK;
    reparse->ReparseDataLength = static_cast<USHORT>(total - REPARSE_DATA_BUFFER_HEADER_SIZE);
    auto& link = reparse->SymbolicLinkReparseBuffer;
    link.SubstituteNameOffset = 0;
    link.SubstituteNameLength = static_cast<USHORT>(substitute.size() * sizeof(char16_t));
    link.PrintNameOffset = link.SubstituteNameLength;
    link.PrintNameLength = static_cast<USHORT>(print.size() * sizeof(char16_t));
    link.Flags = relative ? SYMLINK_FLAG_RELATIVE : 0;
    std::memcpy(data.data() + pathOffset, substitute.data(), link.SubstituteNameLength);
    std::memcpy(data.data() + pathOffset + link.PrintNameOffset, print.data(),
                link.PrintNameLength);
    // As on Windows, a buffer that holds the header but not the names gets
    // what fits and ERROR_MORE_DATA.
    result.bytes = static_cast<DWORD>(std::min<size_t>(size, total));
    std::memcpy(buffer, data.data(), result.bytes);
    if (result.bytes < total) result.error = ERROR_MORE_DATA;
    return result;
}

}  // namespace kiln::platform

using namespace kiln::platform;

BOOL CreateSymbolicLinkW(LPCWSTR lpSymlinkFileName, LPCWSTR lpTargetFileName, DWORD dwFlags) {
    if (dwFlags & ~(SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!lpTargetFileName) return Fail(ERROR_INVALID_PARAMETER);
    ChangesNamesOrSecurity mark;
    ParsedPath parsed;
    Location location;
    if (!ResolvePath(lpSymlinkFileName, &parsed, &location)) return FALSE;
    if (location.name.empty()) return Fail(ERROR_ALREADY_EXISTS);
    std::string text;
    if (!LinkTextOf(lpTargetFileName, parsed, &text)) return FALSE;
    // Whether the link is one to a directory follows from its target on Linux,
    // so SYMBOLIC_LINK_FLAG_DIRECTORY needs no place of its own.
    if (::symlinkat(text.c_str(), location.parentFd, location.name.c_str()) != 0)
        return Fail(WindowsErrorFromErrno(errno));
    return TRUE;
}

BOOL CreateHardLinkW(LPCWSTR lpFileName, LPCWSTR lpExistingFileName,
                     LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
    ChangesNamesOrSecurity mark;
    ParsedPath parsedExisting, parsedNew;
    Location existing, created;
    // Both names are resolved inside the confinement: a link can neither be
    // made to a file outside nor placed outside.
    if (!ResolvePath(lpExistingFileName, &parsedExisting, &existing)) return FALSE;
    if (!ResolvePath(lpFileName, &parsedNew, &created)) return FALSE;
    if (existing.name.empty() || created.name.empty()) return Fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (::fstatat(existing.parentFd, existing.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(WindowsErrorFromErrno(errno));
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (S_ISLNK(st.st_mode) && !MovedLinkStaysInside(existing, created)) return FALSE;
    if (::linkat(existing.parentFd, existing.name.c_str(), created.parentFd, created.name.c_str(),
                 0) != 0)
        return Fail(WindowsErrorFromErrno(errno));
    return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath,
                                DWORD dwFlags) {
    auto file = LookupFile(hFile);
    if (!file) return 0;
    const DWORD volume = dwFlags & ~FILE_NAME_OPENED;
    if (volume != VOLUME_NAME_DOS && volume != VOLUME_NAME_NONE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string path;
    if (!WindowsPathOfFd(file->Fd(), &path)) return 0;
    std::u16string result;
    if (volume == VOLUME_NAME_NONE) {
        // Without the volume: from the first backslash after drive or share.
        size_t start = path[1] == u':' ? 2 : path.find(u'\\', path.find(u'\\', 2) + 1);
        result = start == std::u16string::npos ? u"\\" : path.substr(start);
    } else if (path[1] == u':') {
        result = u"\\\\?\\" + path;
    } else {
        result = u"\\\\?\\UNC\\" + path.substr(2);
    }
    // Too small a buffer: the size needed, terminating zero included.
    if (!lpszFilePath || cchFilePath <= result.size()) return static_cast<DWORD>(result.size() + 1);
    std::memcpy(lpszFilePath, result.c_str(), (result.size() + 1) * sizeof(char16_t));
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(result.size());
}
