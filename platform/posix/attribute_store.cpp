#include "platform/posix/attribute_store.h"

#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/paths.h"

namespace kiln::platform {
namespace {

constexpr const char* kAttributeName = "user.kiln.attrib";
constexpr unsigned char kRecordVersion = 1;
constexpr size_t kShortRecord = 5;                      // version, attributes
constexpr size_t kLongRecord = 13;                      // ... creation time
constexpr ULONGLONG kEpochDifference = 11644473600ull;  // seconds from 1601 to 1970
constexpr ULONGLONG kTicksPerSecond = 10000000ull;
// A bit of the record's attribute word that no Windows attribute uses.
constexpr DWORD kDotNameShown = 0x80000000u;

#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif

struct XattrArgs {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};

std::atomic<bool> g_noGetxattrat{false};

// getxattr of dirFd/name without following a final link. Prefers the kernel's
// getxattrat (no path walk through /proc); older kernels go through /proc.
ssize_t GetXattrAt(int dirFd, const char* name, void* buffer, size_t size) {
    if (!g_noGetxattrat) {
        XattrArgs args{reinterpret_cast<uint64_t>(buffer), static_cast<uint32_t>(size), 0};
        long n = ::syscall(SYS_getxattrat, dirFd, name, AT_SYMLINK_NOFOLLOW, kAttributeName, &args,
                           sizeof args);
        if (n >= 0 || errno != ENOSYS) return n;
        g_noGetxattrat = true;
    }
    std::string path = ProcFdPath(dirFd) + "/" + name;
    return ::lgetxattr(path.c_str(), kAttributeName, buffer, size);
}

StoredAttributes Decode(ssize_t n, const unsigned char* record, int error) {
    StoredAttributes stored;
    if (n < 0) {
        stored.supported = !(error == ENOTSUP || error == EOPNOTSUPP);
        return stored;
    }
    if (static_cast<size_t>(n) < kShortRecord || record[0] != kRecordVersion) return stored;
    DWORD attributes = 0;
    for (int i = 0; i < 4; ++i) attributes |= static_cast<DWORD>(record[1 + i]) << (8 * i);
    stored.attributes = attributes & kStoredAttributes;
    stored.dotNameShown = (attributes & kDotNameShown) != 0;
    if (static_cast<size_t>(n) >= kLongRecord) {
        ULONGLONG time = 0;
        for (int i = 0; i < 8; ++i) time |= static_cast<ULONGLONG>(record[5 + i]) << (8 * i);
        stored.hasCreationTime = true;
        stored.creationTime = time;
    }
    return stored;
}

}  // namespace

StoredAttributes ReadStoredAttributes(int dirFd, const char* name, const struct statx& st) {
    if (S_ISLNK(st.stx_mode)) return StoredAttributes();  // user.* cannot be set on links
    if (name[0] == 0) return ReadStoredAttributesOfFd(dirFd, true, st);
    unsigned char record[32];
    ssize_t n = GetXattrAt(dirFd, name, record, sizeof record);
    return Decode(n, record, errno);
}

StoredAttributes ReadStoredAttributesOfFd(int fd, bool pathOnly, const struct statx& st) {
    if (S_ISLNK(st.stx_mode)) return StoredAttributes();
    unsigned char record[32];
    ssize_t n = pathOnly ? ::getxattr(ProcFdPath(fd).c_str(), kAttributeName, record, sizeof record)
                         : ::fgetxattr(fd, kAttributeName, record, sizeof record);
    return Decode(n, record, errno);
}

bool WriteStoredAttributes(int fd, const StoredAttributes& stored) {
    std::string path = ProcFdPath(fd);
    int result;
    if ((stored.attributes & kStoredAttributes) == 0 && !stored.hasCreationTime &&
        !stored.dotNameShown) {
        result = ::removexattr(path.c_str(), kAttributeName);
        if (result != 0 && (errno == ENODATA || errno == ENOTSUP)) result = 0;
    } else {
        unsigned char record[kLongRecord];
        record[0] = kRecordVersion;
        DWORD attributes =
            (stored.attributes & kStoredAttributes) | (stored.dotNameShown ? kDotNameShown : 0);
        for (int i = 0; i < 4; ++i)
            record[1 + i] = static_cast<unsigned char>(attributes >> (8 * i));
        size_t size = kShortRecord;
        if (stored.hasCreationTime) {
            for (int i = 0; i < 8; ++i)
                record[5 + i] = static_cast<unsigned char>(stored.creationTime >> (8 * i));
            size = kLongRecord;
        }
        result = ::setxattr(path.c_str(), kAttributeName, record, size, 0);
    }
    if (result == 0) return true;
    // Links (EPERM) and file systems without user.* attributes cannot keep them.
    SetLastError(errno == ENOTSUP || errno == EPERM ? ERROR_NOT_SUPPORTED
                                                    : WindowsErrorFromErrno(errno));
    return false;
}

bool IsDotName(std::string_view name) {
    return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

bool StatAt(int dirFd, const char* name, struct statx* st) {
    int flags = AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT | (name[0] == 0 ? AT_EMPTY_PATH : 0);
    if (::statx(dirFd, name, flags, STATX_BASIC_STATS | STATX_BTIME, st) == 0) return true;
    SetLastError(WindowsErrorFromErrno(errno));
    return false;
}

DWORD ComposeAttributes(const struct statx& st, std::string_view name,
                        const StoredAttributes& stored, bool linkToDirectory) {
    DWORD attributes = stored.attributes;
    if (S_ISLNK(st.stx_mode)) {
        attributes = FILE_ATTRIBUTE_REPARSE_POINT;
        if (linkToDirectory) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (S_ISDIR(st.stx_mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else {
        // A file's READONLY is its owner's missing write permission, nothing else.
        attributes &= ~FILE_ATTRIBUTE_READONLY;
        if (!(st.stx_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (IsDotName(name) && !stored.dotNameShown) attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (st.stx_attributes_mask & st.stx_attributes & STATX_ATTR_COMPRESSED)
        attributes |= FILE_ATTRIBUTE_COMPRESSED;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

FILETIME ToFileTime(ULONGLONG value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

FILETIME ToFileTime(const struct statx_timestamp& time) {
    if (time.tv_sec < -static_cast<int64_t>(kEpochDifference)) return ToFileTime(0);
    ULONGLONG seconds =
        static_cast<ULONGLONG>(time.tv_sec + static_cast<int64_t>(kEpochDifference));
    return ToFileTime(seconds * kTicksPerSecond + time.tv_nsec / 100);
}

ULONGLONG FileTimeValue(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ULONGLONG ReportedSize(const struct statx& st) {
    return S_ISREG(st.stx_mode) || S_ISLNK(st.stx_mode) ? st.stx_size : 0;
}

FILETIME CreationTimeOf(const struct statx& st, const StoredAttributes& stored) {
    if (stored.hasCreationTime) return ToFileTime(stored.creationTime);
    if ((st.stx_mask & STATX_BTIME) && (st.stx_btime.tv_sec != 0 || st.stx_btime.tv_nsec != 0))
        return ToFileTime(st.stx_btime);
    // No birth time: the earliest time the inode tells of.
    const struct statx_timestamp& older =
        (st.stx_mtime.tv_sec < st.stx_ctime.tv_sec) ? st.stx_mtime : st.stx_ctime;
    return ToFileTime(older);
}

bool ApplyAttributes(int fd, const struct statx& st, std::string_view name, DWORD attributes) {
    if (S_ISLNK(st.stx_mode)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    attributes &= kSettableAttributes & kStoredAttributes;
    const bool directory = S_ISDIR(st.stx_mode);
    if (!directory) {
        mode_t mode = st.stx_mode & 07777;
        mode_t wanted =
            (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
        if (wanted != mode && ::chmod(ProcFdPath(fd).c_str(), wanted) != 0) {
            SetLastError(WindowsErrorFromErrno(errno));
            return false;
        }
        attributes &= ~FILE_ATTRIBUTE_READONLY;
    }
    StoredAttributes stored = ReadStoredAttributesOfFd(fd, true, st);
    const DWORD keep = stored.attributes & FILE_ATTRIBUTE_SPARSE_FILE;
    StoredAttributes wanted = stored;
    if (IsDotName(name)) {
        // A dot name is hidden by its name; clearing HIDDEN on it is a choice
        // that the record remembers, or that fails where nothing can keep it.
        wanted.dotNameShown = !(attributes & FILE_ATTRIBUTE_HIDDEN);
        attributes &= ~FILE_ATTRIBUTE_HIDDEN;
    }
    wanted.attributes = attributes | keep;
    if (wanted.attributes == stored.attributes && wanted.dotNameShown == stored.dotNameShown)
        return true;
    if (!stored.supported && wanted.attributes == 0 && !wanted.dotNameShown) return true;
    return WriteStoredAttributes(fd, wanted);
}

}  // namespace kiln::platform
