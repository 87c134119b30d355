// Internal to the platform: the entry that this thread's last FindNextFileW
// (or FindFirstFileW) handed out, so that a security query for exactly that
// path, which a listing makes for every entry, opens it relative to the
// directory the search already holds instead of walking the whole path from
// the root again.
#pragma once

#include "platform/win32_files.h"

namespace kiln::platform {

// An O_PATH descriptor of the entry when `path` is, character for character,
// the search's directory as the caller spelled it followed by the name just
// found, and that entry is not a symbolic link (a caller that follows links
// must resolve those the long way). -1 otherwise: the caller resolves the path
// itself. Answers at most once per entry found.
int OpenFoundEntry(LPCWSTR path);

}  // namespace kiln::platform
