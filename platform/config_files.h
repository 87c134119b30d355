// Configuration of the file functions of the platform layer on Linux. Not
// part of the Windows API: the host sets these before it creates providers,
// tests set and reset them. All settings are process-wide.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/win32_base.h"

namespace kiln::platform {

#ifndef _WIN32
// The drive table: letter (A to Z, either case) -> Linux directory. The
// default table is C: -> /. False (ERROR_INVALID_PARAMETER) for a bad letter
// or a directory that is not absolute.
bool SetDrive(char16_t letter, const std::string& linuxDirectory);
bool RemoveDrive(char16_t letter);
void ResetDriveTable();  // back to C: -> /

// The UNC share table: \\server\share -> Linux directory (server and share
// compared without regard to ASCII case). Empty by default, so that every
// UNC path fails with ERROR_BAD_NETPATH.
bool SetShare(std::u16string_view server, std::u16string_view share,
              const std::string& linuxDirectory);
void ClearShares();
#endif  // !_WIN32

// The confinement root, a Windows path to an existing directory (C:\srv\data,
// or a long form). Null or empty removes it: then each drive's or share's
// directory is the boundary. False with the Windows last error when the root
// cannot be opened; the previous root then stays.
//
// On Windows, where a path cannot be opened "beneath" a directory, the
// path-based calls that take the system's wide strings check the object
// after opening it (platform/windows/sdk.h).
bool SetConfinementRoot(const char16_t* windowsRoot);

#ifndef _WIN32

// Test switch: overlapped operations on handles opened with
// FILE_FLAG_OVERLAPPED complete later on a helper thread and return FALSE
// with ERROR_IO_PENDING.
void SetOverlappedPendingForTests(bool pending);
bool OverlappedPendingForTests();

// Where the platform tells the host what no call's answer shows. A
// Limitation: a file system that refuses file locks, so that share modes on
// it hold within this process only (and opens that deny sharing there fail
// with ERROR_NOT_SUPPORTED), told once per file system and process. A
// Failure: the storage under a file system stopped answering or failed
// (ENOTCONN, EBADFD, EIO), which the call's error code alone does not say,
// told at most once a minute for each kind. One line of text, from the thread of the
// call that found it; the handler must not call the file functions. Nobody
// is told by default; null stops the telling.
enum class FileSystemNotice { Limitation, Failure };
void SetFileSystemNoticeHandler(
    std::function<void(FileSystemNotice kind, const std::string& text)> handler);

}  // namespace kiln::platform

namespace kiln::platform {

// Test switch: while held, operations made pending by the switch above do not
// complete; releasing lets them finish.
void HoldOverlappedCompletionsForTests(bool hold);
#endif  // !_WIN32

}  // namespace kiln::platform
