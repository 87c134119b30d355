// Windows byte-range locks, kept in a table of our own: Linux locks are
// advisory and merge ranges, Windows locks are mandatory for I/O through
// other handles, never merge, and are released exactly as they were taken.
#pragma once

#include <cstdint>

#include "platform/posix/share_modes.h"

namespace kiln::platform {

// Takes a lock for `owner` (a file object). With wait false a conflict fails
// with ERROR_LOCK_VIOLATION; with wait true the call blocks until the range
// is free.
bool LockRange(const FileKey& key, const void* owner, uint64_t offset, uint64_t length,
               bool exclusive, bool wait);

// Releases the lock with exactly this offset and length (an exclusive one
// first); ERROR_NOT_LOCKED when the owner holds none.
bool UnlockRange(const FileKey& key, const void* owner, uint64_t offset, uint64_t length);

// Drops every lock of the owner (its handle was closed).
void ReleaseAllLocks(const FileKey& key, const void* owner);

// Whether I/O of `length` bytes at `offset` through `owner` may proceed: a
// read is blocked by an exclusive lock of another owner, a write by any
// shared lock and by an exclusive lock of another owner. False with
// ERROR_LOCK_VIOLATION.
bool CheckLockedIo(const FileKey& key, const void* owner, uint64_t offset, uint64_t length,
                   bool write);

}  // namespace kiln::platform
