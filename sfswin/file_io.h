// Overlapped calls on open files through the provider's one shared OVERLAPPED
// record. Each starts the call and, when Windows answers ERROR_IO_PENDING,
// lets the host run other components until the shared event fires, then asks
// for the result without waiting, as often as it takes. Every failure raises
// a SystemError that names the failing call.
#pragma once

#include <cstdint>

#include "nocrtlib/datavect.h"
#include "platform/win32.h"

namespace kiln::KilnSfsWin {

class KilnSfsWin;

// The position that Windows takes, in an OVERLAPPED, as "the end of the file
// at the time of the write".
inline constexpr uint64_t kEndOfFilePosition = ~uint64_t{0};

// Reads up to `count` bytes at `position` into `buffer`, which ends up sized
// to the bytes read. True at end of file (no bytes at or past the end).
bool OverlappedRead(KilnSfsWin& provider, HANDLE file, uint64_t position, uint32_t count,
                    datavect<uint8_t>& buffer);

// Writes all `size` bytes at `position`, or at the end of the file for
// kEndOfFilePosition, in as many calls as Windows needs.
void OverlappedWrite(KilnSfsWin& provider, HANDLE file, uint64_t position, const uint8_t* data,
                     size_t size);

// After a call on the shared record answered ERROR_IO_PENDING: waits until
// it is done. False, with the thread's last error, when it failed.
bool AwaitOverlapped(KilnSfsWin& provider, HANDLE file, DWORD* transferred);

// FSCTL_SET_COMPRESSION with 1 (compress) or 0 (decompress).
void SetCompression(KilnSfsWin& provider, HANDLE file, bool compress);
// FSCTL_SET_SPARSE. A file is never made non-sparse again.
void SetSparse(KilnSfsWin& provider, HANDLE file);

}  // namespace kiln::KilnSfsWin
