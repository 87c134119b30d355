// The thread's last error and the one translation of Linux errors into the
// Windows codes that the API reports.
#pragma once

#include "platform/win32_base.h"

namespace kiln::platform {

// Translates errno into the Windows error code that file calls report.
DWORD WindowsErrorFromErrno(int error);

}  // namespace kiln::platform
