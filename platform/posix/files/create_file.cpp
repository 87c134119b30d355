// CreateFileW: the Windows creation dispositions, directories only with
// backup semantics, links followed inside the confinement unless the link
// itself is asked for, the share-mode table, and delete-on-close.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/files/attribute_store.h"
#include "platform/posix/files/file_object.h"
#include "platform/posix/files/file_security.h"
#include "platform/posix/files/share_modes.h"
#include "platform/posix/names/confinement.h"
#include "platform/posix/names/path_parsing.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/names/watched_directories.h"
#include "platform/posix/security/internal.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/errors.h"
#include "platform/win32_files.h"

namespace kiln::platform {
namespace {

constexpr int kMaxAttempts = 40;
constexpr DWORD kValidShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Rights that only look at an object: an open asking for no more keeps the
// stat it took (FileObject::KeepOpenStat).
constexpr DWORD kQueryAccess =
    FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL | SYNCHRONIZE | ACCESS_SYSTEM_SECURITY;

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

int DataMode(DWORD access) {
    const bool read = access & FILE_READ_DATA;
    const bool write = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (read && write) return O_RDWR;
    if (write) return O_WRONLY;
    if (read) return O_RDONLY;
    return -1;  // no data access: an O_PATH descriptor is enough
}

}  // namespace
}  // namespace kiln::platform

using namespace kiln::platform;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
        (dwShareMode & ~kValidShare))
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD access = MapGenericFileAccess(dwDesiredAccess);
    const DWORD flags = dwFlagsAndAttributes & 0xFFF80000u;
    const DWORD newAttributes = dwFlagsAndAttributes & kSettableAttributes;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) access |= DELETE;
    if (dwCreationDisposition == TRUNCATE_EXISTING && !(access & FILE_WRITE_DATA))
        return Fail(ERROR_INVALID_PARAMETER);
    const bool follow = !(flags & FILE_FLAG_OPEN_REPARSE_POINT);
    const bool backup = flags & FILE_FLAG_BACKUP_SEMANTICS;
    PSECURITY_DESCRIPTOR descriptor =
        lpSecurityAttributes ? lpSecurityAttributes->lpSecurityDescriptor : nullptr;
    // A file that is to get a DACL starts with no access at all, so that it
    // never grants more than the DACL, not even before the DACL is applied.
    // Without one the umask and the directory's default ACL decide, as
    // inheritance does on Windows.
    if (descriptor && !IsValidSecurityDescriptor(descriptor))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    const bool startsClosed = security::DescriptorHasDacl(descriptor);

    const bool queryOnly = dwCreationDisposition == OPEN_EXISTING &&
                           (access & ~kQueryAccess) == 0 && !(flags & FILE_FLAG_DELETE_ON_CLOSE);
    ParsedPath parsed;
    Location location;
    if (!ResolvePath(lpFileName, &parsed, &location)) return INVALID_HANDLE_VALUE;

    const int dataMode = DataMode(access);
    const bool mayCreate = dwCreationDisposition == CREATE_NEW ||
                           dwCreationDisposition == CREATE_ALWAYS ||
                           dwCreationDisposition == OPEN_ALWAYS;
    ChangesNamesOrSecurity mark(mayCreate);
    UniqueFd fd;
    int openedMode = -1;  // the access mode fd was opened with, for its share marks
    bool created = false;
    bool pathOnly = false;
    struct statx st;
    // A request that changes nothing looks at its object once for all its
    // queries (platform/resolution_scope.h), and an open for attributes only
    // takes no descriptor until something needs one (FileObject::EnsureFd);
    // a link to follow goes the long way.
    bool withoutFd = false;
    std::chrono::steady_clock::time_point statTaken;
    if (queryOnly) {
        const KeptObject* kept = FindKeptObject(location.parentFd, location.name);
        if (!kept) kept = StatAndKeepObject(location);
        if (kept && !(S_ISLNK(kept->st.stx_mode) && follow)) {
            withoutFd = true;
            pathOnly = true;
            st = kept->st;
            statTaken = kept->taken;
        }
    }
    // A DACL that is a mode and nothing else needs no second step where the
    // kernel gives a new file exactly the mode it is made with: no default
    // ACL in the directory, no bit the umask clears (seen in its stat).
    std::optional<unsigned> plainMode;
    if (startsClosed && mayCreate && !(newAttributes & FILE_ATTRIBUTE_READONLY) &&
        KeptDirectoryWithoutDefaultAcl(location.parentFd))
        plainMode = security::PlainModeOf(descriptor);
    // Makes the file; false with errno. A new file is opened for reading as
    // well when only writing was asked for: the handle's share marks need a
    // descriptor open for reading (share_modes.h), and this one costs nothing
    // where a second open would cost a walk through /proc. ReadFile checks
    // the access granted, not the descriptor's mode.
    auto create = [&]() -> bool {
        mode_t mode = startsClosed ? 0 : (newAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
        if (plainMode) mode = *plainMode;
        const int createMode = dataMode == O_WRONLY || dataMode == O_RDWR ? O_RDWR : O_RDONLY;
        openedMode = createMode;
        fd.Reset(::openat(location.parentFd, location.name.c_str(),
                          createMode | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        return static_cast<bool>(fd);
    };
    // Where a new file is what is expected, make it first; a name that is
    // taken (EEXIST) goes the way of an existing object below.
    const bool createFirst =
        (dwCreationDisposition == CREATE_NEW || dwCreationDisposition == CREATE_ALWAYS) &&
        !location.name.empty() && !parsed.trailingSeparator;
    for (int attempt = 0; !withoutFd; ++attempt) {
        if (attempt >= kMaxAttempts) return Fail(ERROR_CANT_RESOLVE_FILENAME);
        pathOnly = dataMode < 0;
        int error = 0;
        if (attempt == 0 && createFirst) {
            if (create()) {
                created = true;
            } else if (errno != EEXIST) {
                return Fail(WindowsErrorFromErrno(errno));
            }
        }
        if (!created) {
            openedMode = dataMode;
            fd.Reset(OpenAtLocation(location, pathOnly ? O_PATH : (dataMode | O_NONBLOCK)));
            error = fd ? 0 : errno;
        }
        if (error == EISDIR || error == ELOOP || error == ENXIO || error == EOPNOTSUPP) {
            // A directory, a link or a special file: look at it first.
            pathOnly = true;
            fd.Reset(OpenAtLocation(location, O_PATH));
            error = fd ? 0 : errno;
        }
        if (error == ENOENT) {
            if (!mayCreate) return Fail(ERROR_FILE_NOT_FOUND);
            if (location.name.empty() || parsed.trailingSeparator) return Fail(ERROR_INVALID_NAME);
            if (!create() && errno == EEXIST) continue;  // appeared meanwhile: open it as existing
            if (!fd) return Fail(WindowsErrorFromErrno(errno));
            created = true;
        } else if (error != 0) {
            return Fail(error == ENOTDIR ? ERROR_PATH_NOT_FOUND : WindowsErrorFromErrno(error));
        }
        if (created) {
            pathOnly = false;
            DWORD failure = StatAt(fd.Get(), "", &st) ? ERROR_SUCCESS : GetLastError();
            if (!failure && !(plainMode && (st.stx_mode & 07777) == *plainMode))
                failure = security::ApplyNewObjectSecurity(fd.Get(), descriptor, &st);
            if (failure) {
                ::unlinkat(location.parentFd, location.name.c_str(), 0);
                return Fail(failure);
            }
            // Its security changed the new file's mode and change time; what
            // follows reads only its type and identity (a handle that keeps
            // its stat for the attributes it answers never creates).
            break;
        }
        if (!StatAt(fd.Get(), "", &st)) return INVALID_HANDLE_VALUE;
        if (S_ISLNK(st.stx_mode) && follow) {
            if (!FollowFinalLink(&location)) return INVALID_HANDLE_VALUE;
            continue;
        }
        break;
    }

    const bool directory = S_ISDIR(st.stx_mode);
    if (!created) {
        if (dwCreationDisposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS);
        if (directory) {
            if (!backup) return Fail(ERROR_ACCESS_DENIED);
            if (dwCreationDisposition == CREATE_ALWAYS ||
                dwCreationDisposition == TRUNCATE_EXISTING)
                return Fail(ERROR_ACCESS_DENIED);
        } else if (parsed.trailingSeparator) {
            return Fail(ERROR_INVALID_NAME);
        }
        // READONLY holds for everyone on Windows, root included, against
        // writing; deleting is the directory's business on Linux.
        const bool readOnlyFile = S_ISREG(st.stx_mode) && !(st.stx_mode & S_IWUSR);
        const bool truncates =
            dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
        if (readOnlyFile && ((access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) || truncates))
            return Fail(ERROR_ACCESS_DENIED);
    }
    if ((flags & FILE_FLAG_DELETE_ON_CLOSE) && location.name.empty())
        return Fail(ERROR_ACCESS_DENIED);

    FileObject::Params params;
    params.pathOnly = pathOnly;
    params.accessMode = pathOnly ? -1 : openedMode;
    params.directory = directory;
    params.symlink = S_ISLNK(st.stx_mode);
    params.access = access;
    params.shareMode = dwShareMode;
    params.flags = flags;
    params.device = makedev(st.stx_dev_major, st.stx_dev_minor);
    params.inode = st.stx_ino;
    params.name = location.name;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) {
        params.deleteOnClose.directory.Reset(::fcntl(location.parentFd, F_DUPFD_CLOEXEC, 0));
        params.deleteOnClose.name = location.name;
        params.deleteOnClose.isDirectory = directory;
    }
    params.keepParent = location.config;
    params.parentFd = location.parentFd;
    params.ownedParent = std::move(location.ownedParent);
    if (!withoutFd) {
        params.fd = fd.Release();
        statTaken = std::chrono::steady_clock::now();
    }
    auto file = std::make_shared<FileObject>(std::move(params));
    if (queryOnly) file->KeepOpenStat(st, statTaken);
    if (withoutFd) KeepUntilScopeEnd(file);
    if (!file->AcquireShare()) {
        DWORD error = GetLastError();
        if (created) ::unlinkat(file->ParentFd(), location.name.c_str(), 0);
        return Fail(error);
    }

    const bool existed = !created;
    if (existed &&
        (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING)) {
        int result = file->IsPathOnly() || !(access & FILE_WRITE_DATA)
                         ? ::truncate(ProcFdPath(file->Fd()).c_str(), 0)
                         : ::ftruncate(file->Fd(), 0);
        if (result != 0) return Fail(WindowsErrorFromErrno(errno));
    }
    if ((created || dwCreationDisposition == CREATE_ALWAYS) && !directory) {
        // Attributes asked for at creation; READONLY came with the mode unless
        // a DACL decided the mode.
        DWORD stored =
            newAttributes & kStoredAttributes & ~(startsClosed ? 0 : FILE_ATTRIBUTE_READONLY);
        // A dot name stays hidden: attributes at creation never show it.
        if (stored && StatAt(file->Fd(), "", &st))
            ApplyAttributes(file->Fd(), st, location.name,
                            stored | (st.stx_mode & S_IWUSR ? 0 : FILE_ATTRIBUTE_READONLY) |
                                (IsDotName(location.name) ? FILE_ATTRIBUTE_HIDDEN : 0));
    }

    HANDLE handle = RegisterHandle(file);
    if (handle == nullptr) {
        file->OnClose(false);
        return INVALID_HANDLE_VALUE;
    }
    const bool reportsExisting =
        existed && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS);
    SetLastError(reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}
