// Operations on names: delete, make and remove directories, rename. Each acts
// with *at() calls on a name in a parent directory that was resolved inside
// the confinement, so no link and no rename can redirect it outside.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/files/attribute_store.h"
#include "platform/posix/files/file_security.h"
#include "platform/posix/files/share_modes.h"
#include "platform/posix/names/confinement.h"
#include "platform/posix/names/path_parsing.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/security/internal.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/errors.h"
#include "platform/win32_files.h"

namespace kiln::platform {
namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

FileKey KeyOf(const struct statx& st) {
    return FileKey{makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino};
}

// Looks at the final name of a path that a name operation acts on.
bool LocateName(LPCWSTR path, Location* location, struct statx* st) {
    ParsedPath parsed;
    if (!ResolvePath(path, &parsed, location)) return false;
    if (location->name.empty()) {
        SetLastError(ERROR_ACCESS_DENIED);  // the boundary itself is never removed or renamed
        return false;
    }
    return StatAt(location->parentFd, location->name.c_str(), st);
}

// Whether `at` names the file `file`.
bool NamesFile(const Location& at, const struct statx& file) {
    struct statx st;
    return ::statx(at.parentFd, at.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &st) == 0 &&
           KeyOf(st) == KeyOf(file);
}

// A rename that must not replace, where the file system has no such rename
// (FUSE file systems, GlusterFS among them, answer RENAME_NOREPLACE with
// EINVAL). The new name is taken first with an empty file (or directory) of
// our own, made with O_EXCL (mkdir), which never succeeds for two; the plain
// rename then replaces just that placeholder. A hard link in its place would
// not do: on a volume spread over several servers two links racing for one
// name can both succeed, and one file is lost. Where the rename fails (the
// file was renamed or removed meanwhile), the placeholder goes again if it is
// still ours. 0 or -1 with errno.
int RenameWithoutReplacing(const Location& from, const Location& to, const struct statx& source) {
    const bool directory = S_ISDIR(source.stx_mode);
    struct statx placeholder;
    if (directory) {
        if (::mkdirat(to.parentFd, to.name.c_str(), 0) != 0 ||
            ::statx(to.parentFd, to.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &placeholder) !=
                0)
            return -1;
    } else {
        UniqueFd made(::openat(to.parentFd, to.name.c_str(),
                               O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0));
        if (!made) return -1;
        if (::statx(made.Get(), "", AT_EMPTY_PATH, STATX_INO, &placeholder) != 0) return -1;
    }
    if (::renameat(from.parentFd, from.name.c_str(), to.parentFd, to.name.c_str()) == 0) return 0;
    const int error = errno;
    if (NamesFile(to, placeholder))
        ::unlinkat(to.parentFd, to.name.c_str(), directory ? AT_REMOVEDIR : 0);
    errno = error;
    return -1;
}

// Copies a regular file for a rename across file systems.
bool CopyFileAcross(const Location& from, const Location& to, bool replace) {
    UniqueFd in(::openat(from.parentFd, from.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) return Fail(WindowsErrorFromErrno(errno));
    struct stat st;
    if (::fstat(in.Get(), &st) != 0) return Fail(WindowsErrorFromErrno(errno));
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
    UniqueFd out(::openat(to.parentFd, to.name.c_str(), flags, st.st_mode & 07777));
    if (!out) return Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : WindowsErrorFromErrno(errno));
    off_t remaining = st.st_size;
    while (remaining > 0) {
        ssize_t n = ::copy_file_range(in.Get(), nullptr, out.Get(), nullptr,
                                      static_cast<size_t>(remaining), 0);
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL))
            n = ::sendfile(out.Get(), in.Get(), nullptr, static_cast<size_t>(remaining));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            DWORD error = n < 0 ? WindowsErrorFromErrno(errno) : ERROR_GEN_FAILURE;
            ::unlinkat(to.parentFd, to.name.c_str(), 0);  // leave no half copy behind
            return Fail(error);
        }
        remaining -= n;
    }
    timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.Get(), times);
    if (::unlinkat(from.parentFd, from.name.c_str(), 0) != 0)
        return Fail(WindowsErrorFromErrno(errno));
    return true;
}

}  // namespace
}  // namespace kiln::platform

using namespace kiln::platform;

BOOL DeleteFileW(LPCWSTR lpFileName) {
    ChangesNamesOrSecurity mark;
    Location location;
    struct statx st;
    if (!LocateName(lpFileName, &location, &st)) return FALSE;
    if (S_ISDIR(st.stx_mode)) return Fail(ERROR_ACCESS_DENIED);
    // Unlike Windows, a read-only file may go: on Linux its directory decides.
    return WithShareTableLocked([&]() -> BOOL {
        if (!ShareAllowsDeleteLocked(KeyOf(st), location.parentFd, location.name)) return FALSE;
        if (::unlinkat(location.parentFd, location.name.c_str(), 0) != 0)
            return Fail(WindowsErrorFromErrno(errno));
        return TRUE;
    });
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    ChangesNamesOrSecurity mark;
    ParsedPath parsed;
    Location location;
    if (!ResolvePath(lpPathName, &parsed, &location)) return FALSE;
    if (location.name.empty()) return Fail(ERROR_ALREADY_EXISTS);
    PSECURITY_DESCRIPTOR descriptor =
        lpSecurityAttributes ? lpSecurityAttributes->lpSecurityDescriptor : nullptr;
    if (descriptor && !IsValidSecurityDescriptor(descriptor))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    // As for files: with a DACL to apply, the directory starts with no access.
    const bool startsClosed = security::DescriptorHasDacl(descriptor);
    if (::mkdirat(location.parentFd, location.name.c_str(), startsClosed ? 0 : 0777) != 0)
        return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : WindowsErrorFromErrno(errno));
    if (!descriptor) return TRUE;
    UniqueFd fd(::openat(location.parentFd, location.name.c_str(),
                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    // Whatever stands under the name now must be the directory just made.
    if (!fd || ::fstat(fd.Get(), &st) != 0 || st.st_uid != ScopeCallerIdentity().uid ||
        (startsClosed && (st.st_mode & 0777) != 0))
        return Fail(ERROR_ACCESS_DENIED);
    if (DWORD failure = security::ApplyNewObjectSecurity(fd.Get(), descriptor)) {
        ::unlinkat(location.parentFd, location.name.c_str(), AT_REMOVEDIR);
        return Fail(failure);
    }
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    ChangesNamesOrSecurity mark;
    Location location;
    struct statx st;
    if (!LocateName(lpPathName, &location, &st)) return FALSE;
    if (S_ISLNK(st.stx_mode)) {
        // A link to a directory is a directory on Windows, and goes this way.
        if (!LinkLeadsToDirectory(location, location.relative)) return Fail(ERROR_DIRECTORY);
        if (::unlinkat(location.parentFd, location.name.c_str(), 0) != 0)
            return Fail(WindowsErrorFromErrno(errno));
        return TRUE;
    }
    if (!S_ISDIR(st.stx_mode)) return Fail(ERROR_DIRECTORY);
    return WithShareTableLocked([&]() -> BOOL {
        if (!ShareAllowsDeleteLocked(KeyOf(st), location.parentFd, location.name)) return FALSE;
        if (::unlinkat(location.parentFd, location.name.c_str(), AT_REMOVEDIR) != 0)
            return Fail(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : WindowsErrorFromErrno(errno));
        return TRUE;
    });
}

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) return Fail(ERROR_NOT_SUPPORTED);
    if (!lpNewFileName) return Fail(ERROR_INVALID_PARAMETER);
    const bool replace = dwFlags & MOVEFILE_REPLACE_EXISTING;
    ChangesNamesOrSecurity mark;
    Location from;
    struct statx source;
    if (!LocateName(lpExistingFileName, &from, &source)) return FALSE;
    ParsedPath parsedTo;
    Location to;
    if (!ResolvePath(lpNewFileName, &parsedTo, &to)) return FALSE;
    if (to.name.empty()) return Fail(ERROR_ACCESS_DENIED);

    return WithShareTableLocked([&]() -> BOOL {
        if (!ShareAllowsDeleteLocked(KeyOf(source), from.parentFd, from.name)) return FALSE;
        if (S_ISLNK(source.stx_mode) && !MovedLinkStaysInside(from, to)) return FALSE;
        struct statx target;
        if (::statx(to.parentFd, to.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS,
                    &target) == 0) {
            if (KeyOf(target) == KeyOf(source) && target.stx_nlink == 1 &&
                from.parentFd == to.parentFd && from.name == to.name)
                return TRUE;  // onto itself
            if (!replace) return Fail(ERROR_ALREADY_EXISTS);
            // Windows never replaces a directory. A read-only file it does
            // not replace either, but on Linux the directory decides.
            if (S_ISDIR(target.stx_mode) || S_ISDIR(source.stx_mode))
                return Fail(ERROR_ACCESS_DENIED);
            if (!ShareAllowsDeleteLocked(KeyOf(target), to.parentFd, to.name)) return FALSE;
        }
        unsigned int renameFlags = replace ? 0 : RENAME_NOREPLACE;
        int renamed = ::renameat2(from.parentFd, from.name.c_str(), to.parentFd, to.name.c_str(),
                                  renameFlags);
        if (renamed != 0 && errno == EINVAL && !replace)
            renamed = RenameWithoutReplacing(from, to, source);
        if (renamed == 0) return TRUE;
        int error = errno;
        if (error == EXDEV && (dwFlags & MOVEFILE_COPY_ALLOWED) && S_ISREG(source.stx_mode))
            return CopyFileAcross(from, to, replace) ? TRUE : FALSE;
        switch (error) {
            case EEXIST:
                return Fail(ERROR_ALREADY_EXISTS);
            case ENOENT:
                return Fail(ERROR_PATH_NOT_FOUND);
            case EISDIR:
            case ENOTDIR:
            case ENOTEMPTY:
                return Fail(ERROR_ACCESS_DENIED);
            case EINVAL:
                return Fail(ERROR_SHARING_VIOLATION);  // a directory into itself
            default:
                return Fail(WindowsErrorFromErrno(error));
        }
    });
}
