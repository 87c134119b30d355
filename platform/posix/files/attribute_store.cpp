#include "platform/posix/files/attribute_store.h"

#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/caches.h"
#include "platform/filetime.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/errors.h"

namespace kiln::platform {
namespace {

constexpr const char* kAttributeName = "user.kiln.attrib";
constexpr unsigned char kRecordVersion = 1;
constexpr size_t kShortRecord = 5;  // version, attributes
constexpr size_t kLongRecord = 13;  // ... creation time
// A bit of the record's attribute word that no Windows attribute uses.
constexpr DWORD kDotNameShown = 0x80000000u;

#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif
#ifndef SYS_listxattrat
#define SYS_listxattrat 465
#endif

struct XattrArgs {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};

std::atomic<bool> g_noXattrAt{false};

constexpr std::string_view kAccessAclName = "system.posix_acl_access";
constexpr std::string_view kDefaultAclName = "system.posix_acl_default";

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

// The record last read by this thread, with the inode and change time it was
// read at. One stat asks for the attributes of one object several times; the
// record is read again only when the change time moved (every change of an
// extended attribute moves it) or the answer is older than caches::kStoredAttributesLifetime.
// File systems with fine-grained change times (tmpfs and ext4 on our
// kernels) give every change after a stat a new time, so the record is then
// never stale; on others a change within one clock tick of the last one can
// go unseen for caches::kStoredAttributesLifetime at most.

struct Memo {
    bool valid = false;
    bool noPosixAcls = false;  // the object's attribute names showed neither ACL
    uint32_t devMajor = 0, devMinor = 0;
    uint64_t inode = 0;
    struct statx_timestamp changed {};
    std::chrono::steady_clock::time_point read;
    StoredAttributes stored;
};

thread_local Memo t_memo;

const Memo* MemoOf(const struct statx& st) {
    const Memo& memo = t_memo;
    if (!memo.valid || !(st.stx_mask & STATX_CTIME) || memo.inode != st.stx_ino ||
        memo.devMajor != st.stx_dev_major || memo.devMinor != st.stx_dev_minor ||
        memo.changed.tv_sec != st.stx_ctime.tv_sec ||
        memo.changed.tv_nsec != st.stx_ctime.tv_nsec ||
        std::chrono::steady_clock::now() - memo.read >= caches::kStoredAttributesLifetime)
        return nullptr;
    return &memo;
}

bool Remembered(const struct statx& st, StoredAttributes* stored) {
    const Memo* memo = MemoOf(st);
    if (memo) *stored = memo->stored;
    return memo != nullptr;
}

StoredAttributes Remember(const struct statx& st, const StoredAttributes& stored,
                          bool noPosixAcls = false) {
    Memo& memo = t_memo;
    memo.valid = (st.stx_mask & STATX_CTIME) != 0;
    memo.devMajor = st.stx_dev_major;
    memo.devMinor = st.stx_dev_minor;
    memo.inode = st.stx_ino;
    memo.changed = st.stx_ctime;
    memo.read = std::chrono::steady_clock::now();
    memo.stored = stored;
    memo.noPosixAcls = noPosixAcls;
    return stored;
}

bool ListHas(const char* list, size_t size, std::string_view wanted) {
    for (size_t at = 0; at < size;) {
        std::string_view entry(list + at);
        if (entry == wanted) return true;
        at += entry.size() + 1;
    }
    return false;
}

}  // namespace

StoredAttributes ReadStoredAttributes(int dirFd, const char* name, const struct statx& st) {
    if (S_ISLNK(st.stx_mode)) return StoredAttributes();  // user.* cannot be set on links
    if (name[0] == 0) return ReadStoredAttributesOfFd(dirFd, true, st);
    StoredAttributes stored;
    if (Remembered(st, &stored)) return stored;
    // The names first: most objects have no extended attributes at all, and
    // the list also tells the security functions that there is no ACL to read.
    char list[512];
    ssize_t listed = ListXattrAt(dirFd, name, list, sizeof list);
    if (listed >= 0) {
        const size_t size = static_cast<size_t>(listed);
        const bool noAcls =
            !ListHas(list, size, kAccessAclName) && !ListHas(list, size, kDefaultAclName);
        if (!ListHas(list, size, kAttributeName)) return Remember(st, StoredAttributes(), noAcls);
        unsigned char record[32];
        ssize_t n = GetXattrAt(dirFd, name, kAttributeName, record, sizeof record);
        return Remember(st, Decode(n, record, errno), noAcls);
    }
    unsigned char record[32];
    ssize_t n = GetXattrAt(dirFd, name, kAttributeName, record, sizeof record);
    return Remember(st, Decode(n, record, errno));
}

StoredAttributes ReadStoredAttributesOfFd(int fd, bool pathOnly, const struct statx& st) {
    if (S_ISLNK(st.stx_mode)) return StoredAttributes();
    StoredAttributes stored;
    if (Remembered(st, &stored)) return stored;
    unsigned char record[32];
    ssize_t n = pathOnly ? ::getxattr(ProcFdPath(fd).c_str(), kAttributeName, record, sizeof record)
                         : ::fgetxattr(fd, kAttributeName, record, sizeof record);
    return Remember(st, Decode(n, record, errno));
}

ssize_t GetXattrAt(int dirFd, const char* name, const char* attribute, void* buffer, size_t size) {
    if (!g_noXattrAt.load(std::memory_order_relaxed)) {
        XattrArgs args{reinterpret_cast<uint64_t>(buffer), static_cast<uint32_t>(size), 0};
        long n = ::syscall(SYS_getxattrat, dirFd, name, AT_SYMLINK_NOFOLLOW, attribute, &args,
                           sizeof args);
        if (n >= 0 || errno != ENOSYS) return n;
        g_noXattrAt = true;
    }
    std::string path = ProcFdPath(dirFd) + "/" + name;
    return ::lgetxattr(path.c_str(), attribute, buffer, size);
}

ssize_t ListXattrAt(int dirFd, const char* name, char* buffer, size_t size) {
    if (!g_noXattrAt.load(std::memory_order_relaxed)) {
        long n = ::syscall(SYS_listxattrat, dirFd, name, AT_SYMLINK_NOFOLLOW, buffer, size);
        if (n >= 0 || errno != ENOSYS) return n;
        g_noXattrAt = true;
    }
    std::string path = ProcFdPath(dirFd) + "/" + name;
    return ::llistxattr(path.c_str(), buffer, size);
}

bool KnownWithoutPosixAcls(const struct statx& st) {
    const Memo* memo = MemoOf(st);
    return memo && memo->noPosixAcls;
}

bool WriteStoredAttributes(int fd, const StoredAttributes& stored) {
    t_memo.valid = false;
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
    if (time.tv_sec < -static_cast<int64_t>(kSecondsFrom1601To1970)) return ToFileTime(0);
    ULONGLONG seconds =
        static_cast<ULONGLONG>(time.tv_sec + static_cast<int64_t>(kSecondsFrom1601To1970));
    return ToFileTime(seconds * kFileTimeTicksPerSecond + time.tv_nsec / 100);
}

ULONGLONG FileTimeValue(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A directory's size is the file system's, as POSIX servers and tools show
// it (Windows shows 0; nothing of ours reads a directory's size).
ULONGLONG ReportedSize(const struct statx& st) {
    return S_ISREG(st.stx_mode) || S_ISLNK(st.stx_mode) || S_ISDIR(st.stx_mode) ? st.stx_size : 0;
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
