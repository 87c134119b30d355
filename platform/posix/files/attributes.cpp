// Attributes, times and information of files and directories, and the
// control codes that change how a file is stored (compression, sparseness).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/filetime.h"
#include "platform/posix/files/attribute_store.h"
#include "platform/posix/files/file_object.h"
#include "platform/posix/files/links.h"
#include "platform/posix/files/overlapped.h"
#include "platform/posix/names/confinement.h"
#include "platform/posix/names/path_parsing.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/errors.h"
#include "platform/win32_files.h"

namespace kiln::platform {
namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

struct PathInfo {
    struct statx st;
    DWORD attributes;
    FILETIME creation;
};

// The information of the object a path names, without following a final link.
bool QueryPath(LPCWSTR path, PathInfo* info) {
    ParsedPath parsed;
    Location location;
    if (!ResolvePath(path, &parsed, &location)) return false;
    // A request that changes nothing looks at its object once for all its
    // queries (platform/resolution_scope.h).
    const KeptObject* kept = FindKeptObject(location.parentFd, location.name);
    if (!kept && ScopeKeepsObjects() && !location.name.empty()) {
        kept = StatAndKeepObject(location);
        if (!kept) return false;
    }
    if (kept) {
        info->st = kept->st;
    } else if (!StatAt(location.parentFd, location.name.c_str(), &info->st)) {
        return false;
    }
    StoredAttributes stored =
        ReadStoredAttributes(location.parentFd, location.name.c_str(), info->st);
    bool linkToDirectory =
        S_ISLNK(info->st.stx_mode) && LinkLeadsToDirectory(location, location.relative);
    info->attributes = ComposeAttributes(info->st, location.name, stored, linkToDirectory);
    info->creation = CreationTimeOf(info->st, stored);
    if (parsed.trailingSeparator && !(info->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return true;
}

struct HandleInfo {
    struct statx st;
    StoredAttributes stored;
    DWORD attributes;
};

bool QueryHandle(const FileObject& file, HandleInfo* info) {
    if (file.RecentOpenStat(&info->st)) {
        // Through the descriptor, not the name: the name may lead elsewhere by
        // now. A handle without one has its stat from that name in this
        // request, and reads by it as the request's other queries do.
        info->stored = file.HasFd()
                           ? ReadStoredAttributesOfFd(file.Fd(), file.IsPathOnly(), info->st)
                           : ReadStoredAttributes(file.ParentFd(), file.Name().c_str(), info->st);
        info->attributes = ComposeAttributes(info->st, file.Name(), info->stored, false);
        return true;
    }
    if (file.ParentFd() >= 0 && !file.Name().empty() &&
        ::statx(file.ParentFd(), file.Name().c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT,
                STATX_BASIC_STATS | STATX_BTIME, &info->st) == 0 &&
        info->st.stx_ino == file.Inode() &&
        makedev(info->st.stx_dev_major, info->st.stx_dev_minor) == file.Device()) {
        info->stored = ReadStoredAttributes(file.ParentFd(), file.Name().c_str(), info->st);
        info->attributes = ComposeAttributes(info->st, file.Name(), info->stored, false);
        return true;
    }
    if (!file.EnsureFd() || !StatAt(file.Fd(), "", &info->st)) return false;
    info->stored = ReadStoredAttributesOfFd(file.Fd(), file.IsPathOnly(), info->st);
    info->attributes = ComposeAttributes(info->st, file.Name(), info->stored, false);
    return true;
}

// A FILETIME given to a setter: 0 and all ones leave the time alone.
bool WantedTime(ULONGLONG value) {
    return value != 0 && value != ~0ull;
}

timespec ToTimespec(ULONGLONG value) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(static_cast<LONGLONG>(value / kFileTimeTicksPerSecond) -
                                    static_cast<LONGLONG>(kSecondsFrom1601To1970));
    ts.tv_nsec = static_cast<long>((value % kFileTimeTicksPerSecond) * 100);
    return ts;
}

// Sets the times of an open file; a null or unwanted time stays as it is.
BOOL SetTimes(const FileObject& file, const ULONGLONG* creation, const ULONGLONG* access,
              const ULONGLONG* write) {
    if (!(file.GrantedAccess() & FILE_WRITE_ATTRIBUTES)) return Fail(ERROR_ACCESS_DENIED);
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (access && WantedTime(*access)) times[0] = ToTimespec(*access);
    if (write && WantedTime(*write)) times[1] = ToTimespec(*write);
    if (times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) {
        if (::utimensat(file.Fd(), "", times, AT_EMPTY_PATH) != 0)
            return Fail(WindowsErrorFromErrno(errno));
    }
    if (creation && WantedTime(*creation)) {
        struct statx st;
        if (!StatAt(file.Fd(), "", &st)) return FALSE;
        StoredAttributes stored = ReadStoredAttributesOfFd(file.Fd(), file.IsPathOnly(), st);
        stored.hasCreationTime = true;
        stored.creationTime = *creation;
        if (!WriteStoredAttributes(file.Fd(), stored)) return FALSE;
    }
    return TRUE;
}

// A descriptor that ioctl accepts: the handle's own, or one reopened through
// /proc for an O_PATH handle.
int IoctlFd(const FileObject& file, UniqueFd* reopened) {
    if (!file.IsPathOnly()) return file.Fd();
    reopened->Reset(::open(ProcFdPath(file.Fd()).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return reopened->Get();
}

IoResult SetCompression(const FileObject& file, USHORT format) {
    IoResult result;
    UniqueFd reopened;
    int fd = IoctlFd(file, &reopened);
    int flags = 0;
    if (fd < 0 || ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        result.error = errno == ENOTTY || errno == EOPNOTSUPP ? ERROR_INVALID_FUNCTION
                                                              : WindowsErrorFromErrno(errno);
        return result;
    }
    int wanted = format == COMPRESSION_FORMAT_NONE ? (flags & ~FS_COMPR_FL) : (flags | FS_COMPR_FL);
    if (wanted != flags && ::ioctl(fd, FS_IOC_SETFLAGS, &wanted) != 0)
        result.error = errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL
                           ? ERROR_INVALID_FUNCTION
                           : WindowsErrorFromErrno(errno);
    return result;
}

IoResult SetSparse(const FileObject& file, bool sparse) {
    IoResult result;
    struct statx st;
    if (!StatAt(file.Fd(), "", &st)) {
        result.error = GetLastError();
        return result;
    }
    StoredAttributes stored = ReadStoredAttributesOfFd(file.Fd(), file.IsPathOnly(), st);
    DWORD wanted = sparse ? (stored.attributes | FILE_ATTRIBUTE_SPARSE_FILE)
                          : (stored.attributes & ~FILE_ATTRIBUTE_SPARSE_FILE);
    if (wanted == stored.attributes) return result;
    stored.attributes = wanted;
    if (!WriteStoredAttributes(file.Fd(), stored)) result.error = GetLastError();
    return result;
}

}  // namespace
}  // namespace kiln::platform

using namespace kiln::platform;

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    PathInfo info;
    if (!QueryPath(lpFileName, &info)) return INVALID_FILE_ATTRIBUTES;
    return info.attributes;
}

BOOL GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId,
                          LPVOID lpFileInformation) {
    if (fInfoLevelId != GetFileExInfoStandard || !lpFileInformation)
        return Fail(ERROR_INVALID_PARAMETER);
    PathInfo info;
    if (!QueryPath(lpFileName, &info)) return FALSE;
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(lpFileInformation);
    data->dwFileAttributes = info.attributes;
    data->ftCreationTime = info.creation;
    data->ftLastAccessTime = ToFileTime(info.st.stx_atime);
    data->ftLastWriteTime = ToFileTime(info.st.stx_mtime);
    ULONGLONG size = ReportedSize(info.st);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    return TRUE;
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    Location location;
    UniqueFd fd(OpenConfined(lpFileName, true, &location));
    if (!fd) return FALSE;
    struct statx st;
    if (!StatAt(fd.Get(), "", &st)) return FALSE;
    return ApplyAttributes(fd.Get(), st, location.name, dwFileAttributes) ? TRUE : FALSE;
}

BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    auto file = LookupFileWithoutFd(hFile);
    if (!file) return FALSE;
    if (!lpFileInformation) return Fail(ERROR_INVALID_PARAMETER);
    HandleInfo info;
    if (!QueryHandle(*file, &info)) return FALSE;
    BY_HANDLE_FILE_INFORMATION& out = *lpFileInformation;
    out.dwFileAttributes = info.attributes;
    out.ftCreationTime = CreationTimeOf(info.st, info.stored);
    out.ftLastAccessTime = ToFileTime(info.st.stx_atime);
    out.ftLastWriteTime = ToFileTime(info.st.stx_mtime);
    out.dwVolumeSerialNumber = (info.st.stx_dev_major << 20) ^ info.st.stx_dev_minor;
    ULONGLONG size = ReportedSize(info.st);
    out.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    out.nFileSizeLow = static_cast<DWORD>(size);
    out.nNumberOfLinks = info.st.stx_nlink;
    out.nFileIndexHigh = static_cast<DWORD>(info.st.stx_ino >> 32);
    out.nFileIndexLow = static_cast<DWORD>(info.st.stx_ino);
    return TRUE;
}

BOOL GetFileInformationByHandleEx(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                  LPVOID lpFileInformation, DWORD dwBufferSize) {
    auto file = LookupFileWithoutFd(hFile);
    if (!file) return FALSE;
    if (!lpFileInformation) return Fail(ERROR_INVALID_PARAMETER);
    HandleInfo info;
    switch (FileInformationClass) {
        case FileBasicInfo: {
            if (dwBufferSize < sizeof(FILE_BASIC_INFO)) return Fail(ERROR_BAD_LENGTH);
            if (!QueryHandle(*file, &info)) return FALSE;
            auto* basic = static_cast<FILE_BASIC_INFO*>(lpFileInformation);
            basic->CreationTime.QuadPart =
                static_cast<LONGLONG>(FileTimeValue(CreationTimeOf(info.st, info.stored)));
            basic->LastAccessTime.QuadPart =
                static_cast<LONGLONG>(FileTimeValue(ToFileTime(info.st.stx_atime)));
            basic->LastWriteTime.QuadPart =
                static_cast<LONGLONG>(FileTimeValue(ToFileTime(info.st.stx_mtime)));
            basic->ChangeTime.QuadPart =
                static_cast<LONGLONG>(FileTimeValue(ToFileTime(info.st.stx_ctime)));
            basic->FileAttributes = info.attributes;
            return TRUE;
        }
        case FileAttributeTagInfo: {
            if (dwBufferSize < sizeof(FILE_ATTRIBUTE_TAG_INFO)) return Fail(ERROR_BAD_LENGTH);
            if (!QueryHandle(*file, &info)) return FALSE;
            auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(lpFileInformation);
            tag->FileAttributes = info.attributes;
            tag->ReparseTag = S_ISLNK(info.st.stx_mode) ? IO_REPARSE_TAG_SYMLINK : 0;
            return TRUE;
        }
        default:
            return Fail(ERROR_INVALID_PARAMETER);
    }
}

BOOL SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                LPVOID lpFileInformation, DWORD dwBufferSize) {
    auto file = LookupFile(hFile);
    if (!file) return FALSE;
    if (!lpFileInformation) return Fail(ERROR_INVALID_PARAMETER);
    if (FileInformationClass != FileBasicInfo) return Fail(ERROR_INVALID_PARAMETER);
    // Callers that count the record without its tail padding pass 36 bytes.
    if (dwBufferSize < offsetof(FILE_BASIC_INFO, FileAttributes) + sizeof(DWORD))
        return Fail(ERROR_BAD_LENGTH);
    if (!(file->GrantedAccess() & FILE_WRITE_ATTRIBUTES)) return Fail(ERROR_ACCESS_DENIED);
    const auto* basic = static_cast<const FILE_BASIC_INFO*>(lpFileInformation);
    const ULONGLONG creation = static_cast<ULONGLONG>(basic->CreationTime.QuadPart);
    const ULONGLONG access = static_cast<ULONGLONG>(basic->LastAccessTime.QuadPart);
    const ULONGLONG write = static_cast<ULONGLONG>(basic->LastWriteTime.QuadPart);
    if (!SetTimes(*file, &creation, &access, &write)) return FALSE;
    if (basic->FileAttributes != 0) {
        struct statx st;
        if (!StatAt(file->Fd(), "", &st)) return FALSE;
        if (!ApplyAttributes(file->Fd(), st, file->Name(), basic->FileAttributes)) return FALSE;
    }
    return TRUE;
}

BOOL SetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                 const FILETIME* lpLastWriteTime) {
    auto file = LookupFile(hFile);
    if (!file) return FALSE;
    ULONGLONG creation = lpCreationTime ? FileTimeValue(*lpCreationTime) : 0;
    ULONGLONG access = lpLastAccessTime ? FileTimeValue(*lpLastAccessTime) : 0;
    ULONGLONG write = lpLastWriteTime ? FileTimeValue(*lpLastWriteTime) : 0;
    return SetTimes(*file, &creation, &access, &write);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    auto file = LookupFile(hDevice);
    if (!file) return FALSE;
    if (!lpOverlapped && !lpBytesReturned) return Fail(ERROR_INVALID_PARAMETER);
    if (lpBytesReturned) *lpBytesReturned = 0;
    switch (dwIoControlCode) {
        case FSCTL_SET_COMPRESSION: {
            if (!lpInBuffer || nInBufferSize < sizeof(USHORT)) return Fail(ERROR_INVALID_PARAMETER);
            USHORT format;
            std::memcpy(&format, lpInBuffer, sizeof format);
            if (format > COMPRESSION_FORMAT_LZNT1) return Fail(ERROR_INVALID_PARAMETER);
            if (!(file->GrantedAccess() & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES)))
                return Fail(ERROR_ACCESS_DENIED);
            return CompleteIo(file, lpOverlapped, lpBytesReturned,
                              [file, format] { return SetCompression(*file, format); });
        }
        case FSCTL_GET_COMPRESSION: {
            if (!lpOutBuffer || nOutBufferSize < sizeof(USHORT))
                return Fail(ERROR_INVALID_PARAMETER);
            return CompleteIo(file, lpOverlapped, lpBytesReturned, [file, lpOutBuffer] {
                IoResult result;
                struct statx st;
                if (!StatAt(file->Fd(), "", &st)) {
                    result.error = GetLastError();
                    return result;
                }
                USHORT format = (st.stx_attributes_mask & st.stx_attributes & STATX_ATTR_COMPRESSED)
                                    ? COMPRESSION_FORMAT_LZNT1
                                    : COMPRESSION_FORMAT_NONE;
                std::memcpy(lpOutBuffer, &format, sizeof format);
                result.bytes = sizeof format;
                return result;
            });
        }
        case FSCTL_SET_SPARSE: {
            bool sparse = true;
            if (lpInBuffer && nInBufferSize >= 1)
                sparse = *static_cast<const BYTE*>(lpInBuffer) != 0;
            if (file->IsDirectory()) return Fail(ERROR_INVALID_PARAMETER);
            if (!(file->GrantedAccess() & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES)))
                return Fail(ERROR_ACCESS_DENIED);
            return CompleteIo(file, lpOverlapped, lpBytesReturned,
                              [file, sparse] { return SetSparse(*file, sparse); });
        }
        case FSCTL_GET_REPARSE_POINT:
            if (!lpOutBuffer) return Fail(ERROR_INVALID_PARAMETER);
            return CompleteIo(file, lpOverlapped, lpBytesReturned,
                              [file, lpOutBuffer, nOutBufferSize] {
                                  return ReadSymlinkReparseData(*file, lpOutBuffer, nOutBufferSize);
                              });
        default:
            return Fail(ERROR_INVALID_FUNCTION);
    }
}
