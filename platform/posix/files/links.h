// Symbolic links as the file functions read them back.
#pragma once

#include "platform/win32_base.h"

namespace kiln::platform {

class FileObject;
struct IoResult;

// FSCTL_GET_REPARSE_POINT of a handle opened on a symbolic link itself: the
// link's own text as a REPARSE_DATA_BUFFER. A relative text is given as made,
// flagged SYMLINK_FLAG_RELATIVE; an absolute one as the Windows path of the
// drive and share tables.
IoResult ReadSymlinkReparseData(const FileObject& file, LPVOID buffer, DWORD size);

}  // namespace kiln::platform
