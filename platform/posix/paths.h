// Windows paths on Linux: the drive and share tables, the mapping of names
// between UTF-16 (with the private-use stand-ins for characters that Windows
// names cannot carry) and the UTF-8 names on disk, and the confined
// resolution that every path-based call of the platform goes through.
//
// Confinement: a path is resolved below its boundary directory (the
// confinement root when one is set, otherwise the directory of its drive or
// share). Symbolic links that stay inside keep working, whether their target
// is relative or absolute; a link that leads outside behaves as a path that
// does not exist. Resolution is done by the kernel (openat2 with
// RESOLVE_BENEATH) relative to a descriptor of the boundary, so a rename that
// races with a call cannot lead it outside either.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32_base.h"

namespace kiln::platform {

// One file name (no separators), between its bytes on disk and its UTF-16
// spelling in the API: a bijection (see paths.cpp), so every name on disk
// lists as a name of its own that opens it again. LinuxNameToWindows is total;
// WindowsNameToLinux fails with ERROR_INVALID_NAME for a name that no name on
// disk lists as.
std::u16string LinuxNameToWindows(std::string_view name);
bool WindowsNameToLinux(std::u16string_view name, std::string* linuxName);

// Lexical translation of a whole Windows path (drive, UNC, long or plain
// form) into the Linux path that the drive or share table gives, without
// touching the disk and without confinement. False with the Windows last
// error (ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH,
// ERROR_FILENAME_EXCED_RANGE) when the path cannot be mapped.
bool WindowsPathToLinux(LPCWSTR windowsPath, std::string* linuxPath);

// The Windows path (plain form, e.g. C:\dir\f or \\srv\share\f) of an
// absolute Linux path, through the drive and share tables: the entry with the
// longest matching directory wins, drives before shares. False
// (ERROR_PATH_NOT_FOUND) when no entry holds the path.
bool LinuxPathToWindows(std::string_view linuxPath, std::u16string* windowsPath);

// The O_PATH | O_CLOEXEC descriptor of the object that the Windows path names,
// resolved inside the confinement. With followFinalLink false a final
// symbolic link is opened itself. The caller closes the descriptor.
// -1 with the Windows last error on failure: ERROR_FILE_NOT_FOUND (the object
// is missing, or a link leads outside), ERROR_PATH_NOT_FOUND (a directory on
// the way is missing or the path lies outside the confinement root),
// ERROR_INVALID_NAME, ERROR_BAD_NETPATH, ERROR_FILENAME_EXCED_RANGE,
// ERROR_ACCESS_DENIED, ERROR_CANT_RESOLVE_FILENAME (too many links).
int OpenPathConfined(LPCWSTR windowsPath, bool followFinalLink);

class FileObject;
struct IoResult;

// FSCTL_GET_REPARSE_POINT of a handle opened on a symbolic link itself: the
// link's own text as a REPARSE_DATA_BUFFER (links.cpp). A relative text is
// given as made, flagged SYMLINK_FLAG_RELATIVE; an absolute one as the
// Windows path of the drive and share tables.
IoResult ReadSymlinkReparseData(const FileObject& file, LPVOID buffer, DWORD size);

// "/proc/self/fd/N": the name through which calls that refuse O_PATH
// descriptors (fgetxattr, acl_get_fd, fchmod on some kernels) reach the object.
std::string ProcFdPath(int fd);

// Translates errno into the Windows error code that file calls report.
DWORD WindowsErrorFromErrno(int error);

}  // namespace kiln::platform
