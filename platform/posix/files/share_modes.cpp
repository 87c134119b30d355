// Sharing rules as Windows applies them: only opens with read, write or
// delete access take part; a new open must share every kind of access that
// the existing opens have, and every existing open must share every kind of
// access that the new one asks for.
//
// A handle denies others only what its own user could do to the file: to
// deny reading or writing it needs write access (with which it could empty
// the file anyway), to deny delete it needs delete access; what it may not
// deny it shares. On Windows only those who may change a tree open files
// in it; on a shared Linux tree anyone who may read a file could otherwise
// stop its uploads, truncation, rotation and removal, root's included, for
// as long as he holds it open. Between writers Windows' rule holds as it is,
// and a session that may only read (-R) denies nothing.
//
// Across processes. Windows keeps share modes in the kernel; Linux has none,
// so each open writes its share state into the kernel as open-file-description
// read locks on six bytes of the file itself, at the top of the kernel's lock
// range where no byte-range lock goes (locks.h keeps them below
// kLockAreaEnd):
//
//   kLockAreaEnd + 0..2   "an open has read / write / delete access"
//   kLockAreaEnd + 3..5   "an open does not share read / write / delete"
//
// An open marks its bytes with read locks on a descriptor of its own open for
// reading (the handle's, or one reopened for a handle without data access),
// then asks the kernel (F_OFD_GETLK, which reports other open files only)
// whether another open marks a byte it cannot live with: a "does not share"
// byte of an access it asks for, or a "has" byte of an access it does not
// share. If so it removes its marks and fails with ERROR_SHARING_VIOLATION.
// Marking before looking makes check-and-take atomic without a guard lock,
// which would have to be a write lock and so need write access: of two
// conflicting opens, the second to mark always sees the first, so never both
// succeed; if both mark before either looks, both withdraw and try again
// after a short random pause, and fail only if the conflict stays. Delete and
// rename check the same way with a short-lived "has delete access" mark, kept
// until the name has changed (WithShareTableLocked), so no open that denies
// delete can slip in between.
//
// So: nothing is written anywhere and no file is shared for writing, so no
// user can deny service to another beyond what read locks on a file he may
// read allow; the kernel drops the marks when a handle closes or its process
// dies, even by SIGKILL; a file open for reading is enough, as read locks
// need no more, and users of other uids see the same locks. Read locks never
// make a read or write fail (the kernel's locks are advisory), and the bytes
// lie far beyond any data. Limits: a handle whose file its user may not read
// (an open for write or delete alone of a file without read permission) is
// seen by this process only, as is a delete by such a user; a special file
// (FIFO, device) is never reopened for a mark. A program that takes a write
// lock over the whole file (length 0) waits while any session has the file
// open, and while it holds that lock our opens go unmarked; locks of other
// programs are not share modes, so a lock not starting inside the share bytes
// is ignored.
//
// A file system that refuses locks (an NFS mount without its lock service)
// carries no marks: there share modes hold within this process only. An open
// that denies others anything is then refused with ERROR_NOT_SUPPORTED rather
// than granted a promise other sessions would not keep; opens that share
// everything go on, and the host is told once per file system
// (SetFileSystemNoticeHandler), as no call's answer shows it.
#include "platform/posix/files/share_modes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/config_files.h"
#include "platform/posix/files/locks.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/notices.h"
#include "platform/win32_files.h"

namespace kiln::platform {
namespace {

constexpr DWORD kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kSharedKinds = kReadAccess | kWriteAccess | DELETE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Open {
    const void* owner;
    DWORD access;
    DWORD share;
};

struct FileState {
    std::vector<Open> opens;
    bool deletePending = false;
    DeleteOnClose deleteFrom;
};

struct Table {
    std::recursive_mutex lock;
    std::unordered_map<FileKey, FileState> files;
};

Table& TheTable() {
    static Table* table = new Table;  // never destroyed: handles may close during exit
    return *table;
}

// What an open with `access` actually shares (see the top of this file).
DWORD EffectiveShare(DWORD access, DWORD share) {
    if (!(access & kWriteAccess)) share |= FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (!(access & DELETE)) share |= FILE_SHARE_DELETE;
    return share;
}

bool Compatible(const Open& existing, DWORD access, DWORD share) {
    if ((access & kReadAccess) && !(existing.share & FILE_SHARE_READ)) return false;
    if ((access & kWriteAccess) && !(existing.share & FILE_SHARE_WRITE)) return false;
    if ((access & DELETE) && !(existing.share & FILE_SHARE_DELETE)) return false;
    if ((existing.access & kReadAccess) && !(share & FILE_SHARE_READ)) return false;
    if ((existing.access & kWriteAccess) && !(share & FILE_SHARE_WRITE)) return false;
    if ((existing.access & DELETE) && !(share & FILE_SHARE_DELETE)) return false;
    return true;
}

// The three kinds of access, in the order of their bytes.
constexpr DWORD kKindAccess[3] = {kReadAccess, kWriteAccess, DELETE};
constexpr DWORD kKindShare[3] = {FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE};
constexpr int kDeniesFirst = 3;  // "has" bytes are 0..2, "does not share" bytes 3..5
constexpr int kShareBytes = 6;
constexpr int kMarkAttempts = 4;

off_t ShareByte(int index) {
    return kLockAreaEnd + index;
}

// The bytes an open marks.
unsigned MarksOf(DWORD access, DWORD share) {
    unsigned bits = 0;
    for (int kind = 0; kind < 3; ++kind) {
        if (access & kKindAccess[kind]) bits |= 1u << kind;
        if (!(share & kKindShare[kind])) bits |= 1u << (kDeniesFirst + kind);
    }
    return bits;
}

// The bytes whose marks by another open conflict with this one.
unsigned ObstaclesOf(DWORD access, DWORD share) {
    unsigned bits = 0;
    for (int kind = 0; kind < 3; ++kind) {
        if (access & kKindAccess[kind]) bits |= 1u << (kDeniesFirst + kind);
        if (!(share & kKindShare[kind])) bits |= 1u << kind;
    }
    return bits;
}

int SetShareLock(int fd, short type, off_t start, off_t length, struct flock* out = nullptr) {
    return KernelLock(fd, out ? F_OFD_GETLK : F_OFD_SETLK, type, start, length, out);
}

void ClearMarks(int fd) {
    SetShareLock(fd, F_UNLCK, ShareByte(0), kShareBytes);
}

// Whether another open file marks one of `count` bytes from `index`.
bool MarkedByOther(int fd, int index, int count = 1) {
    struct flock found;
    if (SetShareLock(fd, F_WRLCK, ShareByte(index), count, &found) != 0) return false;
    // Another program's lock over a larger range says nothing about sharing.
    return found.l_type != F_UNLCK && found.l_start >= kLockAreaEnd && found.l_len != 0;
}

// Marks, then looks (see the top of this file). False with
// ERROR_SHARING_VIOLATION, the marks removed. `refused` tells of a file
// system that takes no marks at all; nothing is checked there.
bool TakeMarks(int fd, unsigned marks, unsigned obstacles, bool* refused) {
    thread_local std::minstd_rand pause(std::random_device{}());
    for (int attempt = 1;; ++attempt) {
        // Neighbouring bytes go to the kernel as one lock. A descriptor that
        // cannot take read locks, or a program's write lock over the bytes,
        // leaves the open unmarked but still checked.
        for (int index = 0; index < kShareBytes;) {
            int end = index;
            while (end < kShareBytes && (marks & (1u << end))) ++end;
            if (end > index &&
                LocksRefused(SetShareLock(fd, F_RDLCK, ShareByte(index), end - index))) {
                ClearMarks(fd);
                *refused = true;
                return true;
            }
            index = end + 1;
        }
        // One question over the span of the bytes that matter usually finds
        // nothing; only a finding is looked at byte by byte.
        bool clear = true;
        if (obstacles != 0) {
            const int first = __builtin_ctz(obstacles), last = 31 - __builtin_clz(obstacles);
            if (MarkedByOther(fd, first, last - first + 1)) {
                for (int index = first; index <= last && clear; ++index)
                    clear = !((obstacles & (1u << index)) && MarkedByOther(fd, index));
            }
        }
        if (clear) return true;
        ClearMarks(fd);
        if (attempt == kMarkAttempts) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100 + pause() % 500));
    }
}

struct Notice {
    std::mutex lock;
    std::set<dev_t> told;  // file systems
};

Notice& TheNotice() {
    static Notice* notice = new Notice;  // never destroyed, as the table
    return *notice;
}

// "the nfs4 file system at /mnt/data" for the file system that holds `fd`,
// from the mount table (the mount point as it spells it, escapes kept).
std::string FileSystemOf(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return "a file system";
    const std::string device =
        std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::string found = "the file system of device " + device;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, field, type;
        if (!(fields >> id >> parent >> numbers >> root >> point) || numbers != device) continue;
        while (fields >> field && field != "-") {
        }
        if (fields >> type) found = "the " + type + " file system at " + point;
    }
    return found;  // the last mount of the device is the one on top
}

// Tells the host, once per file system, that its share modes stay in this
// process.
void TellLocksRefused(int fd) {
    Notice& notice = TheNotice();
    struct stat st;
    if (::fstat(fd, &st) != 0) return;
    {
        std::lock_guard guard(notice.lock);
        if (!notice.told.insert(st.st_dev).second) return;
    }
    TellHost(FileSystemNotice::Limitation,
             "share modes on " + FileSystemOf(fd) +
                 " hold within this process only, as it refuses file locks; opens that deny "
                 "sharing there are refused");
}

// A descriptor of `name` for the marks of a delete check: only of the file
// found as `key`, only regular files and directories (opening a device may
// act on it), and none when this user may not read it.
UniqueFd OpenForDeleteCheck(int parentFd, const std::string& name, const FileKey& key) {
    UniqueFd path(::openat(parentFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!path || ::fstat(path.Get(), &st) != 0) return {};
    if (st.st_dev != key.device || st.st_ino != key.inode) return {};
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return {};
    const int flags =
        O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0);
    return UniqueFd(::open(ProcFdPath(path.Get()).c_str(), flags));
}

// Delete checks of the current WithShareTableLocked keep their marks until it
// ends.
thread_local int tableDepth = 0;
thread_local std::vector<UniqueFd> deleteMarks;

// Removes the file of a finished delete-on-close, if its name still leads to it.
void RemoveMarkedFile(const FileKey& key, DeleteOnClose& marked) {
    ChangesNamesOrSecurity mark;
    if (!marked.directory) return;
    struct stat st;
    if (::fstatat(marked.directory.Get(), marked.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (st.st_dev != key.device || st.st_ino != key.inode) return;
    ::unlinkat(marked.directory.Get(), marked.name.c_str(), marked.isDirectory ? AT_REMOVEDIR : 0);
}

}  // namespace

DWORD MapGenericFileAccess(DWORD access) {
    if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL) access |= FILE_ALL_ACCESS;
    return access &
           ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

void LockShareTable() {
    TheTable().lock.lock();
    ++tableDepth;
}
void UnlockShareTable() {
    if (--tableDepth == 0) deleteMarks.clear();
    TheTable().lock.unlock();
}

bool ShareOpen(const FileKey& key, DWORD access, DWORD shareMode, const void* owner, int lockFd) {
    shareMode = EffectiveShare(access, shareMode);
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    auto it = table.files.find(key);
    if (it != table.files.end() && it->second.deletePending) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (!(access & kSharedKinds)) return true;
    if (it != table.files.end()) {
        for (const Open& open : it->second.opens) {
            if (!Compatible(open, access, shareMode)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return false;
            }
        }
    }
    bool refused = false;
    if (lockFd >= 0 &&
        !TakeMarks(lockFd, MarksOf(access, shareMode), ObstaclesOf(access, shareMode), &refused))
        return false;
    if (refused) {
        TellLocksRefused(lockFd);
        if ((shareMode & kShareAll) != kShareAll) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return false;
        }
    }
    table.files[key].opens.push_back(Open{owner, access, shareMode});
    return true;
}

void ShareClose(const FileKey& key, const void* owner, DeleteOnClose* deleteOnClose, int lockFd) {
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    if (lockFd >= 0) ClearMarks(lockFd);
    auto it = table.files.find(key);
    if (it == table.files.end()) return;
    FileState& state = it->second;
    std::erase_if(state.opens, [owner](const Open& open) { return open.owner == owner; });
    if (deleteOnClose && deleteOnClose->directory && !state.deletePending) {
        state.deletePending = true;
        state.deleteFrom = std::move(*deleteOnClose);
    }
    if (!state.opens.empty()) return;
    if (state.deletePending) RemoveMarkedFile(key, state.deleteFrom);
    table.files.erase(it);
}

bool ShareAllowsDeleteLocked(const FileKey& key, int parentFd, const std::string& name) {
    Table& table = TheTable();
    auto it = table.files.find(key);
    if (it != table.files.end()) {
        for (const Open& open : it->second.opens) {
            if (!(open.share & FILE_SHARE_DELETE)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return false;
            }
        }
    }
    UniqueFd fd = OpenForDeleteCheck(parentFd, name, key);
    if (!fd) return true;
    bool refused = false;  // then no open elsewhere denies delete: none may deny there
    if (!TakeMarks(fd.Get(), MarksOf(DELETE, kShareAll), ObstaclesOf(DELETE, kShareAll), &refused))
        return false;
    if (tableDepth > 0) deleteMarks.push_back(std::move(fd));
    return true;
}

}  // namespace kiln::platform
