// Internal to the file functions: completion of operations that take an
// OVERLAPPED. An operation completes at once (its event set, its status and
// byte count in the record) unless the pending test switch is on and the
// handle was opened with FILE_FLAG_OVERLAPPED: then it runs on a helper
// thread and the call returns FALSE with ERROR_IO_PENDING.
#pragma once

#include <functional>
#include <memory>

#include "platform/posix/files/file_object.h"
#include "platform/win32_files.h"

namespace kiln::platform {

struct IoResult {
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
};

// Runs `operation` for `file`, synchronously when `overlapped` is null.
BOOL CompleteIo(const std::shared_ptr<FileObject>& file, LPOVERLAPPED overlapped,
                LPDWORD bytesTransferred, std::function<IoResult()> operation);

// The 64-bit offset of an OVERLAPPED.
inline ULONGLONG OverlappedOffset(const OVERLAPPED* overlapped) {
    return (static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
}

// Holds back completion of pending operations (tests use it to see
// ERROR_IO_INCOMPLETE reliably).
void HoldPendingCompletions(bool hold);

}  // namespace kiln::platform
