// Sharing rules as Windows applies them: only opens with read, write or
// delete access take part; a new open must share every kind of access that
// the existing opens have, and every existing open must share every kind of
// access that the new one asks for.
#include "platform/posix/share_modes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/win32_files.h"

namespace kiln::platform {
namespace {

constexpr DWORD kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kSharedKinds = kReadAccess | kWriteAccess | DELETE;

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

struct KeyHash {
    size_t operator()(const FileKey& key) const {
        return std::hash<uint64_t>()(static_cast<uint64_t>(key.inode) * 31u +
                                     static_cast<uint64_t>(key.device));
    }
};

struct Table {
    std::recursive_mutex lock;
    std::unordered_map<FileKey, FileState, KeyHash> files;
};

Table& TheTable() {
    static Table* table = new Table;  // never destroyed: handles may close during exit
    return *table;
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

// Removes the file of a finished delete-on-close, if its name still leads to it.
void RemoveMarkedFile(const FileKey& key, DeleteOnClose& marked) {
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
}
void UnlockShareTable() {
    TheTable().lock.unlock();
}

bool ShareOpen(const FileKey& key, DWORD access, DWORD shareMode, const void* owner) {
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
    table.files[key].opens.push_back(Open{owner, access, shareMode});
    return true;
}

void ShareClose(const FileKey& key, const void* owner, DeleteOnClose* deleteOnClose) {
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
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

bool ShareAllowsDeleteLocked(const FileKey& key) {
    Table& table = TheTable();
    auto it = table.files.find(key);
    if (it == table.files.end()) return true;
    for (const Open& open : it->second.opens) {
        if (!(open.share & FILE_SHARE_DELETE)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return false;
        }
    }
    return true;
}

bool ShareAllowsDelete(const FileKey& key) {
    std::lock_guard guard(TheTable().lock);
    return ShareAllowsDeleteLocked(key);
}

}  // namespace kiln::platform
