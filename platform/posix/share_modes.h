// The process-wide share-mode table: every open handle with data or delete
// access is recorded under its file's device and inode, and a new open (or a
// delete, rename or replacement) that conflicts fails with
// ERROR_SHARING_VIOLATION by Windows' sharing rules.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/confinement.h"
#include "platform/win32_base.h"

namespace kiln::platform {

struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileKey&) const = default;
};

// Generic rights mapped to the specific rights of files.
DWORD MapGenericFileAccess(DWORD access);

// Records an open. False with ERROR_SHARING_VIOLATION, or ERROR_ACCESS_DENIED
// when the file is waiting to be deleted.
bool ShareOpen(const FileKey& key, DWORD access, DWORD shareMode, const void* owner);

// Where a delete-on-close handle found its file, so that the last close can
// remove it by name (after checking that the name still leads to the file).
struct DeleteOnClose {
    UniqueFd directory;
    std::string name;
    bool isDirectory = false;
};

// Forgets an open. The handle's delete-on-close marks the file; when the last
// open of a marked file goes, the file is removed.
void ShareClose(const FileKey& key, const void* owner, DeleteOnClose* deleteOnClose);

// Whether the file may be deleted or renamed now: false with
// ERROR_SHARING_VIOLATION when an open handle does not share delete.
bool ShareAllowsDelete(const FileKey& key);

// Runs `action` while no open of the file can start or end, so that a check
// of the table and the change on disk happen as one step.
template <class Action>
auto WithShareTableLocked(Action&& action) -> decltype(action());

void LockShareTable();
void UnlockShareTable();

template <class Action>
auto WithShareTableLocked(Action&& action) -> decltype(action()) {
    struct Guard {
        Guard() { LockShareTable(); }
        ~Guard() { UnlockShareTable(); }
    } guard;
    return action();
}

// The same as ShareAllowsDelete, for callers that hold the table lock.
bool ShareAllowsDeleteLocked(const FileKey& key);

}  // namespace kiln::platform
