#include "platform/posix/locks.h"

#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace kiln::platform {
namespace {

using Position = unsigned __int128;  // offset + length never wraps

struct Lock {
    const void* owner;
    uint64_t offset;
    uint64_t length;
    bool exclusive;
};

struct KeyHash {
    size_t operator()(const FileKey& key) const {
        return std::hash<uint64_t>()(static_cast<uint64_t>(key.inode) * 31u +
                                     static_cast<uint64_t>(key.device));
    }
};

struct Table {
    std::mutex lock;
    std::condition_variable released;
    std::unordered_map<FileKey, std::vector<Lock>, KeyHash> files;
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

}  // namespace

bool LockRange(const FileKey& key, const void* owner, uint64_t offset, uint64_t length,
               bool exclusive, bool wait) {
    Table& table = TheTable();
    std::unique_lock guard(table.lock);
    for (;;) {
        std::vector<Lock>& locks = table.files[key];
        if (!Conflicts(locks, owner, offset, length, exclusive)) {
            locks.push_back(Lock{owner, offset, length, exclusive});
            return true;
        }
        if (!wait) {
            SetLastError(ERROR_LOCK_VIOLATION);
            return false;
        }
        table.released.wait(guard);
    }
}

bool UnlockRange(const FileKey& key, const void* owner, uint64_t offset, uint64_t length) {
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
                if (locks.empty()) table.files.erase(it);
                table.released.notify_all();
                return true;
            }
        }
    }
    SetLastError(ERROR_NOT_LOCKED);
    return false;
}

void ReleaseAllLocks(const FileKey& key, const void* owner) {
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    auto it = table.files.find(key);
    if (it == table.files.end()) return;
    if (std::erase_if(it->second, [owner](const Lock& lock) { return lock.owner == owner; }) > 0)
        table.released.notify_all();
    if (it->second.empty()) table.files.erase(it);
}

bool CheckLockedIo(const FileKey& key, const void* owner, uint64_t offset, uint64_t length,
                   bool write) {
    if (length == 0) return true;
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    auto it = table.files.find(key);
    if (it == table.files.end()) return true;
    for (const Lock& held : it->second) {
        if (held.length == 0 || !Overlaps(held.offset, held.length, offset, length)) continue;
        if ((held.exclusive && held.owner != owner) || (write && !held.exclusive)) {
            SetLastError(ERROR_LOCK_VIOLATION);
            return false;
        }
    }
    return true;
}

}  // namespace kiln::platform
