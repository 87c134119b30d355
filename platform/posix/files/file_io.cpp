// ReadFile, WriteFile and the file pointer. I/O with an OVERLAPPED goes to
// its offset (all ones: the end of the file), without one to the handle's
// own file pointer. Windows locks are mandatory, so every transfer is checked
// against the locks of every handle first.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/posix/files/attribute_store.h"
#include "platform/posix/files/file_object.h"
#include "platform/posix/files/locks.h"
#include "platform/posix/files/overlapped.h"
#include "platform/posix/system/errors.h"
#include "platform/win32_files.h"

namespace kiln::platform {
namespace {

constexpr ULONGLONG kAppendOffset = ~0ull;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Reads until the count is reached or the end of the file.
IoResult ReadAt(int fd, void* buffer, DWORD count, ULONGLONG offset) {
    IoResult result;
    auto* out = static_cast<char*>(buffer);
    while (result.bytes < count) {
        ssize_t n = ::pread(fd, out + result.bytes, count - result.bytes,
                            static_cast<off_t>(offset + result.bytes));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.error = errno == EISDIR ? ERROR_INVALID_FUNCTION : WindowsErrorFromErrno(errno);
            return result;
        }
        if (n == 0) break;
        result.bytes += static_cast<DWORD>(n);
    }
    return result;
}

IoResult WriteAt(int fd, const void* buffer, DWORD count, ULONGLONG offset, bool append) {
    IoResult result;
    const auto* in = static_cast<const char*>(buffer);
    while (result.bytes < count) {
        iovec chunk{const_cast<char*>(in + result.bytes), count - result.bytes};
        // RWF_APPEND: each chunk lands at the end of the file at that moment,
        // atomically, as a Windows append does.
        ssize_t n = append ? ::pwritev2(fd, &chunk, 1, -1, RWF_APPEND)
                           : ::pwrite(fd, chunk.iov_base, chunk.iov_len,
                                      static_cast<off_t>(offset + result.bytes));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.error = WindowsErrorFromErrno(errno);
            return result;
        }
        result.bytes += static_cast<DWORD>(n);
    }
    return result;
}

bool CurrentSize(int fd, ULONGLONG* size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        SetLastError(WindowsErrorFromErrno(errno));
        return false;
    }
    *size = static_cast<ULONGLONG>(st.st_size);
    return true;
}

// The file object for a data transfer, or null with the Windows error.
std::shared_ptr<FileObject> FileForIo(HANDLE handle, DWORD neededAccess) {
    auto file = LookupFile(handle);
    if (!file) return nullptr;
    if (file->IsDirectory()) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    if (!(file->GrantedAccess() & neededAccess) || file->IsPathOnly()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return file;
}

}  // namespace
}  // namespace kiln::platform

using namespace kiln::platform;

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    auto file = FileForIo(hFile, FILE_READ_DATA);
    if (!file) return FALSE;
    if (!lpOverlapped && !lpNumberOfBytesRead) return Fail(ERROR_INVALID_PARAMETER);
    if (!lpBuffer && nNumberOfBytesToRead) return Fail(ERROR_NOACCESS);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (!lpOverlapped) {
        if (file->Flags() & FILE_FLAG_OVERLAPPED) return Fail(ERROR_INVALID_PARAMETER);
        std::lock_guard guard(file->positionLock);
        ULONGLONG offset = static_cast<ULONGLONG>(file->position);
        if (!CheckLockedIo(file->Key(), file.get(), file->Fd(), offset, nNumberOfBytesToRead,
                           false))
            return FALSE;
        IoResult result = ReadAt(file->Fd(), lpBuffer, nNumberOfBytesToRead, offset);
        file->position += result.bytes;
        *lpNumberOfBytesRead = result.bytes;
        // A synchronous read at the end succeeds with no bytes.
        return result.error ? Fail(result.error) : TRUE;
    }
    const ULONGLONG offset = OverlappedOffset(lpOverlapped);
    if (!CheckLockedIo(file->Key(), file.get(), file->Fd(), offset, nNumberOfBytesToRead, false))
        return FALSE;
    return CompleteIo(file, lpOverlapped, lpNumberOfBytesRead,
                      [fd = file->Fd(), lpBuffer, nNumberOfBytesToRead, offset] {
                          IoResult result = ReadAt(fd, lpBuffer, nNumberOfBytesToRead, offset);
                          // With an OVERLAPPED, reading at or past the end is an error.
                          if (!result.error && result.bytes == 0 && nNumberOfBytesToRead > 0)
                              result.error = ERROR_HANDLE_EOF;
                          return result;
                      });
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    auto file = FileForIo(hFile, FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (!file) return FALSE;
    if (!lpOverlapped && !lpNumberOfBytesWritten) return Fail(ERROR_INVALID_PARAMETER);
    if (!lpBuffer && nNumberOfBytesToWrite) return Fail(ERROR_NOACCESS);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    // A handle with append access only always writes at the end.
    const bool appendOnly = !(file->GrantedAccess() & FILE_WRITE_DATA);
    if (!lpOverlapped) {
        if (file->Flags() & FILE_FLAG_OVERLAPPED) return Fail(ERROR_INVALID_PARAMETER);
        std::lock_guard guard(file->positionLock);
        ULONGLONG offset = static_cast<ULONGLONG>(file->position);
        if (appendOnly && !CurrentSize(file->Fd(), &offset)) return FALSE;
        if (!CheckLockedIo(file->Key(), file.get(), file->Fd(), offset, nNumberOfBytesToWrite,
                           true))
            return FALSE;
        IoResult result = WriteAt(file->Fd(), lpBuffer, nNumberOfBytesToWrite, offset, appendOnly);
        file->position = static_cast<LONGLONG>(offset + result.bytes);
        *lpNumberOfBytesWritten = result.bytes;
        return result.error ? Fail(result.error) : TRUE;
    }
    ULONGLONG offset = OverlappedOffset(lpOverlapped);
    const bool append = appendOnly || offset == kAppendOffset;
    ULONGLONG checkedOffset = offset;
    if (append && !CurrentSize(file->Fd(), &checkedOffset)) return FALSE;
    if (!CheckLockedIo(file->Key(), file.get(), file->Fd(), checkedOffset, nNumberOfBytesToWrite,
                       true))
        return FALSE;
    return CompleteIo(file, lpOverlapped, lpNumberOfBytesWritten,
                      [fd = file->Fd(), lpBuffer, nNumberOfBytesToWrite, offset, append] {
                          return WriteAt(fd, lpBuffer, nNumberOfBytesToWrite, offset, append);
                      });
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    auto file = LookupFile(hFile);
    ULONGLONG size = 0;
    if (!file || !CurrentSize(file->Fd(), &size)) return INVALID_FILE_SIZE;
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    // INVALID_FILE_SIZE is also a valid low part; the last error tells them apart.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod) {
    auto file = LookupFile(hFile);
    if (!file) return FALSE;
    std::lock_guard guard(file->positionLock);
    LONGLONG base = 0;
    switch (dwMoveMethod) {
        case FILE_BEGIN:
            break;
        case FILE_CURRENT:
            base = file->position;
            break;
        case FILE_END: {
            ULONGLONG size;
            if (!CurrentSize(file->Fd(), &size)) return FALSE;
            base = static_cast<LONGLONG>(size);
            break;
        }
        default:
            return Fail(ERROR_INVALID_PARAMETER);
    }
    LONGLONG target;
    if (__builtin_add_overflow(base, liDistanceToMove.QuadPart, &target) || target < 0)
        return Fail(ERROR_NEGATIVE_SEEK);
    file->position = target;
    if (lpNewFilePointer) lpNewFilePointer->QuadPart = target;
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
    LARGE_INTEGER distance;
    // Without the high part the distance is a signed 32-bit value.
    distance.QuadPart =
        lpDistanceToMoveHigh
            ? static_cast<LONGLONG>(
                  (static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                  static_cast<DWORD>(lDistanceToMove))
            : static_cast<LONGLONG>(lDistanceToMove);
    LARGE_INTEGER result;
    if (!SetFilePointerEx(hFile, distance, &result, dwMoveMethod)) return INVALID_SET_FILE_POINTER;
    if (lpDistanceToMoveHigh) {
        *lpDistanceToMoveHigh = result.u.HighPart;
    } else if (result.QuadPart > 0xFFFFFFFFll) {
        // The position does not fit the one value the caller can see.
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    SetLastError(ERROR_SUCCESS);
    return result.u.LowPart;
}

BOOL SetEndOfFile(HANDLE hFile) {
    auto file = FileForIo(hFile, FILE_WRITE_DATA);
    if (!file) return FALSE;
    std::lock_guard guard(file->positionLock);
    if (::ftruncate(file->Fd(), static_cast<off_t>(file->position)) != 0)
        return Fail(WindowsErrorFromErrno(errno));
    return TRUE;
}

// Windows flushes only through a handle that may write. Linux flushes a
// file's data through any descriptor of it, and sync tools (sshfs's fsync of
// a file opened for reading) count on that: the data written through other
// handles becomes durable too.
BOOL FlushFileBuffers(HANDLE hFile) {
    auto file = FileForIo(hFile, FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (!file) return FALSE;
    if (::fsync(file->Fd()) != 0) return Fail(WindowsErrorFromErrno(errno));
    return TRUE;
}

BOOL LockFileEx(HANDLE hFile, DWORD dwFlags, DWORD dwReserved, DWORD nNumberOfBytesToLockLow,
                DWORD nNumberOfBytesToLockHigh, LPOVERLAPPED lpOverlapped) {
    auto file = LookupFile(hFile);
    if (!file) return FALSE;
    if (dwReserved != 0 || !lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
    // Every lock keeps other handles from writing its range, so, as with
    // share modes (share_modes.cpp), only a handle that may write takes one.
    if (file->IsDirectory() || !(file->GrantedAccess() & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
        return Fail(ERROR_ACCESS_DENIED);
    const ULONGLONG offset = OverlappedOffset(lpOverlapped);
    const ULONGLONG length =
        (static_cast<ULONGLONG>(nNumberOfBytesToLockHigh) << 32) | nNumberOfBytesToLockLow;
    // As Windows: a range may end at 2^64 but not wrap past it.
    if (length != 0 && offset + (length - 1) < offset) return Fail(ERROR_INVALID_LOCK_RANGE);
    const bool exclusive = dwFlags & LOCKFILE_EXCLUSIVE_LOCK;
    const bool wait = !(dwFlags & LOCKFILE_FAIL_IMMEDIATELY);
    DWORD bytes = 0;
    // A waiting lock waits on the calling thread, before the completion is
    // reported; a lock that can be had at once completes like any I/O.
    if (wait && !LockRange(file->Key(), file.get(), file->Fd(), offset, length, exclusive, true))
        return FALSE;
    return CompleteIo(file, lpOverlapped, &bytes, [file, offset, length, exclusive, wait] {
        IoResult result;
        if (!wait &&
            !LockRange(file->Key(), file.get(), file->Fd(), offset, length, exclusive, false))
            result.error = GetLastError();
        return result;
    });
}

BOOL UnlockFileEx(HANDLE hFile, DWORD dwReserved, DWORD nNumberOfBytesToUnlockLow,
                  DWORD nNumberOfBytesToUnlockHigh, LPOVERLAPPED lpOverlapped) {
    auto file = LookupFile(hFile);
    if (!file) return FALSE;
    if (dwReserved != 0 || !lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG offset = OverlappedOffset(lpOverlapped);
    const ULONGLONG length =
        (static_cast<ULONGLONG>(nNumberOfBytesToUnlockHigh) << 32) | nNumberOfBytesToUnlockLow;
    // Unlocking never waits, so it completes at once even on overlapped handles.
    if (!UnlockRange(file->Key(), file.get(), file->Fd(), offset, length)) return FALSE;
    return TRUE;
}
