#include "platform/posix/files/locks.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/posix/system/errors.h"

namespace kiln::platform {
namespace {

using Position = unsigned __int128;  // offset + length never wraps

// How long a waiting lock sleeps before asking the kernel again when the
// conflict is held by another process, which cannot wake us.
constexpr auto kKernelPoll = std::chrono::milliseconds(10);

struct Lock {
    const void* owner;
    uint64_t offset;
    uint64_t length;
    bool exclusive;
};

struct Table {
    std::mutex lock;
    std::condition_variable released;
    std::unordered_map<FileKey, std::vector<Lock>> files;
    size_t held = 0;  // locks of all handles of the process
};

Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

// Windows treats a zero-length range as the single point at its offset: it
// conflicts with a non-empty range that contains the point, and with nothing
// else.
bool Overlaps(uint64_t offsetA, uint64_t lengthA, uint64_t offsetB, uint64_t lengthB) {
    Position endA = Position(offsetA) + lengthA, endB = Position(offsetB) + lengthB;
    if (lengthA == 0 && lengthB == 0) return false;
    if (lengthA == 0) return offsetB <= offsetA && offsetA < endB;
    if (lengthB == 0) return offsetA <= offsetB && offsetB < endA;
    return offsetA < endB && offsetB < endA;
}

bool Conflicts(const std::vector<Lock>& locks, const void* owner, uint64_t offset, uint64_t length,
               bool exclusive) {
    for (const Lock& held : locks) {
        if (!Overlaps(held.offset, held.length, offset, length)) continue;
        // An exclusive lock overlaps nothing; a shared one overlaps shared
        // locks and the exclusive locks of its own handle.
        if (exclusive) return true;
        if (held.exclusive && held.owner != owner) return true;
    }
    return false;
}

// Sets the kernel locks of `owner` over [begin, end) to what its locks in the
// table say: exclusive where one of its exclusive locks lies, shared where
// only shared ones do, none elsewhere. The kernel grants a write lock only
// through a descriptor open for writing and a read lock only through one open
// for reading, so a handle that cannot have the kind it asks for holds the
// other kind: a read-only handle's exclusive lock keeps other processes from
// writing and from locking exclusively, but not from reading or taking shared
// locks; a write-only handle's shared lock keeps them from shared locks too.
// Returns 0 or the errno of the first refusal (EAGAIN: another open file
// holds a lock).
int ApplyKernelLocks(const std::vector<Lock>& locks, const void* owner, int fd, off_t begin,
                     off_t end) {
    struct Piece {
        off_t start, end;
        bool exclusive;
    };
    std::vector<Piece> pieces;
    std::vector<off_t> cuts{begin, end};
    for (const Lock& lock : locks) {
        if (lock.owner != owner || lock.length == 0) continue;
        KernelRange range = KernelRangeOf(lock.offset, lock.length);
        off_t start = std::max(range.start, begin),
              stop = std::min(range.start + range.length, end);
        if (start >= stop) continue;
        pieces.push_back(Piece{start, stop, lock.exclusive});
        cuts.push_back(start);
        cuts.push_back(stop);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    const int mode = ::fcntl(fd, F_GETFL) & O_ACCMODE;
    const short writeKind = mode == O_RDONLY ? F_RDLCK : F_WRLCK;
    const short readKind = mode == O_WRONLY ? F_WRLCK : F_RDLCK;
    // Neighbouring segments of one kind go to the kernel as one call.
    off_t runStart = begin;
    short runKind = -1;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        short kind = F_UNLCK;
        for (const Piece& piece : pieces) {
            if (piece.start > cuts[i] || piece.end <= cuts[i]) continue;
            kind = piece.exclusive ? writeKind : (kind == F_UNLCK ? readKind : kind);
            if (piece.exclusive) break;
        }
        if (i > 0 && kind != runKind) {
            if (int error =
                    KernelLock(fd, F_OFD_SETLK, runKind, runStart, cuts[i] - runStart, nullptr))
                return error;
            runStart = cuts[i];
        }
        runKind = kind;
    }
    if (runKind < 0) return 0;
    return KernelLock(fd, F_OFD_SETLK, runKind, runStart, end - runStart, nullptr);
}

// Whether `owner` may take one more lock (see kMaxLocksPerHandle); false
// with ERROR_NOT_ENOUGH_QUOTA.
bool WithinLimits(const Table& table, const std::vector<Lock>& locks, const void* owner) {
    const auto own = std::count_if(locks.begin(), locks.end(),
                                   [owner](const Lock& lock) { return lock.owner == owner; });
    if (table.held < kMaxLocksPerProcess && static_cast<size_t>(own) < kMaxLocksPerHandle)
        return true;
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return false;
}

bool FailWith(int error) {
    SetLastError(error == EAGAIN ? ERROR_LOCK_VIOLATION : WindowsErrorFromErrno(error));
    return false;
}

}  // namespace

int KernelLock(int fd, int command, short type, off_t start, off_t length, struct flock* out) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = start;
    request.l_len = length;
    int result;
    do {
        result = ::fcntl(fd, command, &request);
    } while (result != 0 && errno == EINTR);
    if (out) *out = request;
    return result == 0 ? 0 : errno;
}

KernelRange KernelRangeOf(uint64_t offset, uint64_t length) {
    const Position end = std::min(Position(offset) + length, Position(kLockAreaEnd));
    const off_t start = static_cast<off_t>(std::min<uint64_t>(offset, kLockAreaEnd - 1));
    return KernelRange{start, std::max<off_t>(static_cast<off_t>(end) - start, 1)};
}

bool LockRange(const FileKey& key, const void* owner, int fd, uint64_t offset, uint64_t length,
               bool exclusive, bool wait) {
    Table& table = TheTable();
    std::unique_lock guard(table.lock);
    for (;;) {
        std::vector<Lock>& locks = table.files[key];
        int error = EAGAIN;
        if (!WithinLimits(table, locks, owner)) {
            if (locks.empty()) table.files.erase(key);
            return false;
        }
        if (!Conflicts(locks, owner, offset, length, exclusive)) {
            locks.push_back(Lock{owner, offset, length, exclusive});
            ++table.held;
            if (length == 0) return true;
            const KernelRange range = KernelRangeOf(offset, length);
            const off_t end = range.start + range.length;
            error = ApplyKernelLocks(locks, owner, fd, range.start, end);
            if (error == 0) return true;
            // Another process holds the range: put back what this handle had.
            locks.pop_back();
            --table.held;
            ApplyKernelLocks(locks, owner, fd, range.start, end);
            if (locks.empty()) table.files.erase(key);
            if (error != EAGAIN || !wait) return FailWith(error);
            table.released.wait_for(guard, kKernelPoll);
            continue;
        }
        if (!wait) return FailWith(error);
        table.released.wait(guard);
    }
}

bool UnlockRange(const FileKey& key, const void* owner, int fd, uint64_t offset, uint64_t length) {
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    auto it = table.files.find(key);
    if (it != table.files.end()) {
        std::vector<Lock>& locks = it->second;
        auto matches = [&](const Lock& lock, bool exclusive) {
            return lock.owner == owner && lock.offset == offset && lock.length == length &&
                   lock.exclusive == exclusive;
        };
        for (bool exclusive : {true, false}) {
            for (auto lock = locks.begin(); lock != locks.end(); ++lock) {
                if (!matches(*lock, exclusive)) continue;
                locks.erase(lock);
                --table.held;
                if (length > 0) {
                    // Dropping or weakening our own kernel locks cannot be refused.
                    const KernelRange range = KernelRangeOf(offset, length);
                    ApplyKernelLocks(locks, owner, fd, range.start, range.start + range.length);
                }
                if (locks.empty()) table.files.erase(it);
                table.released.notify_all();
                return true;
            }
        }
    }
    SetLastError(ERROR_NOT_LOCKED);
    return false;
}

void ReleaseAllLocks(const FileKey& key, const void* owner, int fd) {
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    auto it = table.files.find(key);
    if (it == table.files.end()) return;
    if (const size_t dropped =
            std::erase_if(it->second, [owner](const Lock& lock) { return lock.owner == owner; })) {
        table.held -= dropped;
        KernelLock(fd, F_OFD_SETLK, F_UNLCK, 0, kLockAreaEnd, nullptr);
        table.released.notify_all();
    }
    if (it->second.empty()) table.files.erase(it);
}

bool CheckLockedIo(const FileKey& key, const void* owner, int fd, uint64_t offset, uint64_t length,
                   bool write) {
    if (length == 0) return true;
    Table& table = TheTable();
    {
        std::lock_guard guard(table.lock);
        auto it = table.files.find(key);
        if (it != table.files.end()) {
            for (const Lock& held : it->second) {
                if (held.length == 0 || !Overlaps(held.offset, held.length, offset, length))
                    continue;
                if ((held.exclusive && held.owner != owner) || (write && !held.exclusive))
                    return FailWith(EAGAIN);
            }
        }
    }
    // The kernel reports locks of other open files only: other handles, other
    // processes and other programs.
    const KernelRange range = KernelRangeOf(offset, length);
    struct flock found;
    // Where the file system keeps no locks, no other process can hold one.
    if (int error = KernelLock(fd, F_OFD_GETLK, write ? F_WRLCK : F_RDLCK, range.start,
                               range.length, &found))
        return LocksRefused(error) || FailWith(error);
    return found.l_type == F_UNLCK || FailWith(EAGAIN);
}

}  // namespace kiln::platform
