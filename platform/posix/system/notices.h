// What the platform tells the host that no call's answer shows
// (SetFileSystemNoticeHandler).
#pragma once

#include <string>

#include "platform/config_files.h"

namespace kiln::platform {

// Passes `text` to the host's handler, if there is one.
void TellHost(FileSystemNotice kind, const std::string& text);

// An errno that means the storage under a file system failed, not the
// request: the host is told in words an administrator can act on, at most
// once a minute for each such errno, so that a volume that stays down does
// not flood the log. Other errno values are ignored.
void TellIfStorageFailed(int error);

}  // namespace kiln::platform
