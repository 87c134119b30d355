// Internal to the platform: the entry that this thread's last FindNextFileW
// (or FindFirstFileW) handed out, so that a security query for exactly that
// path, which a listing makes for every entry, is answered from what the
// search read or opened relative to the directory the search holds, instead
// of walking the whole path from the root again. An entry answers once, only
// while its search is open and for at most 10 ms after it was found; later
// queries resolve the path as usual.
#pragma once

#include "platform/win32_files.h"
#include "platform/win32_security.h"

namespace kiln::platform {

// The owner, group and DACL of that entry as GetNamedSecurityInfoW gives
// them, built from what the search read when the entry has no POSIX ACL (a
// file with one, or a request for more, is asked itself: false). True with
// the Windows result in *result; the descriptor is LocalAlloc memory.
bool FoundEntrySecurity(LPCWSTR path, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                        PACL* dacl, PSECURITY_DESCRIPTOR* descriptor, DWORD* result);

// An O_PATH descriptor of the entry when `path` is, character for character,
// the search's directory as the caller spelled it followed by the name just
// found, and that entry is not a symbolic link (a caller that follows links
// must resolve those the long way). -1 otherwise: the caller resolves the path
// itself.
int OpenFoundEntry(LPCWSTR path);

}  // namespace kiln::platform
