// Windows byte-range locks. Each handle's locks are held in the kernel as
// open-file-description locks on the handle's own descriptor, so that every
// process, whoever it runs as, sees them and a process that dies drops them.
// The kernel's locks are advisory, merge and split ranges and are re-entrant;
// Windows locks are mandatory for I/O through other handles, never merge, are
// released exactly as taken and conflict within one handle. So each process
// also keeps its handles' locks in a table: the table answers by Windows'
// rules within the process, the kernel answers across processes.
//
// Windows ranges reach 2^64, the kernel's 2^63 - 1, and the top of the
// kernel's range carries share modes (share_modes.cpp). A range reaching
// into or past kLockAreaEnd is held in the kernel up to kLockAreaEnd; one that
// starts there is held as the last byte below it. Ranges up there therefore
// conflict across processes even where Windows would keep them apart (never
// the other way round); no file can hold data there. A zero-length lock
// blocks no I/O and, as on Windows, conflicts with no other zero-length lock,
// only with a non-empty lock that holds its point; the kernel has no empty
// ranges, so it lives in the table alone and conflicts within its process
// only. It is still a lock: it counts against the limits below and is
// released only as taken.
//
// The kernel's locks bind only those who ask: a local program that takes no
// locks can still read and write every byte of a file our sessions hold
// locked, and open, remove or rename it whatever its share mode.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>

#include "platform/posix/files/file_key.h"

namespace kiln::platform {

// Where byte-range locks end in the kernel and share-mode bytes begin.
constexpr off_t kLockAreaEnd = INT64_MAX - 63;

// The most locks one handle, and all handles of a process (a server
// session), may hold; one more fails with ERROR_NOT_ENOUGH_QUOTA. The
// kernel keeps a file's locks in one list that every lock call and every
// I/O check walks, so each lock taken slows everyone who uses the file:
// tens of thousands made another session's small reads ten times slower.
// Programs that lock records hold a few locks per file at a time; these
// bounds leave them ample room and keep the list short enough that the
// walk costs less than a round trip.
constexpr size_t kMaxLocksPerHandle = 1024;
constexpr size_t kMaxLocksPerProcess = 4096;

struct KernelRange {
    off_t start;
    off_t length;  // never 0, which the kernel reads as "to the end"
};

// The kernel range that stands for a non-empty Windows range.
KernelRange KernelRangeOf(uint64_t offset, uint64_t length);

// One open-file-description lock call (F_OFD_SETLK, F_OFD_SETLKW or
// F_OFD_GETLK) on [start, start + length), retried on EINTR; `out`, when
// given, receives the kernel's answer. 0 or the errno.
int KernelLock(int fd, int command, short type, off_t start, off_t length, struct flock* out);

// Whether a lock call's errno says that the file system keeps no locks at all
// (ENOLCK where a network file system has no lock service, EOPNOTSUPP): there
// only this process's table holds, and share_modes.cpp says what follows.
inline bool LocksRefused(int error) {
    return error == ENOLCK || error == EOPNOTSUPP;
}

// Takes a lock for `owner` (a file object whose descriptor is `fd`). With
// wait false a conflict fails with ERROR_LOCK_VIOLATION; with wait true the
// call blocks until the range is free. Beyond the limits above it fails with
// ERROR_NOT_ENOUGH_QUOTA.
bool LockRange(const FileKey& key, const void* owner, int fd, uint64_t offset, uint64_t length,
               bool exclusive, bool wait);

// Releases the lock with exactly this offset and length (an exclusive one
// first); ERROR_NOT_LOCKED when the owner holds none.
bool UnlockRange(const FileKey& key, const void* owner, int fd, uint64_t offset, uint64_t length);

// Drops every lock of the owner (its handle was closed).
void ReleaseAllLocks(const FileKey& key, const void* owner, int fd);

// Whether I/O of `length` bytes at `offset` through `owner` may proceed: a
// read is blocked by an exclusive lock of another handle, a write by any
// shared lock and by an exclusive lock of another handle, in this process or
// another; other programs' POSIX and OFD locks count as locks of other
// handles. False with ERROR_LOCK_VIOLATION.
bool CheckLockedIo(const FileKey& key, const void* owner, int fd, uint64_t offset, uint64_t length,
                   bool write);

}  // namespace kiln::platform
