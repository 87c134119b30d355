// Share modes among all handles of all processes: every open handle with data
// or delete access is recorded, in a table of this process under its file's
// device and inode and in the kernel as locks on the file (share_modes.cpp
// tells how), and a new open (or a delete, rename or replacement) that
// conflicts fails with ERROR_SHARING_VIOLATION by Windows' sharing rules,
// save that a handle denies others only what its own access lets it do.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/files/file_key.h"
#include "platform/posix/system/descriptors.h"
#include "platform/win32_base.h"

namespace kiln::platform {

// Generic rights mapped to the specific rights of files.
DWORD MapGenericFileAccess(DWORD access);

// Records an open. False with ERROR_SHARING_VIOLATION, or ERROR_ACCESS_DENIED
// when the file is waiting to be deleted. `lockFd`, a descriptor of the file
// open for reading and of this handle alone, carries the record to other
// processes; without one only this process sees the open.
bool ShareOpen(const FileKey& key, DWORD access, DWORD shareMode, const void* owner,
               int lockFd = -1);

// Where a delete-on-close handle found its file, so that the last close can
// remove it by name (after checking that the name still leads to the file).
struct DeleteOnClose {
    UniqueFd directory;
    std::string name;
    bool isDirectory = false;
};

// Forgets an open. The handle's delete-on-close marks the file; when the last
// open of a marked file goes, the file is removed.
void ShareClose(const FileKey& key, const void* owner, DeleteOnClose* deleteOnClose,
                int lockFd = -1);

// Runs `action` while no open of this process can start or end, so that a
// check of the table and the change on disk happen as one step; the marks
// that delete checks inside it leave for other processes last until it ends.
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

// Whether the file `name` in `parentFd`, found as `key`, may be deleted or
// renamed now: false with ERROR_SHARING_VIOLATION when an open handle of any
// process does not share delete. Callers hold the table lock; until they
// release it, no open that denies delete can start in any process.
bool ShareAllowsDeleteLocked(const FileKey& key, int parentFd, const std::string& name);

}  // namespace kiln::platform
