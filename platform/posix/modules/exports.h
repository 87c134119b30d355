// The functions that the platform layer exports under the names of the
// Windows system libraries it stands for, for GetProcAddress.
#pragma once

#include "platform/win32_base.h"

namespace kiln::platform {

enum class SystemLibrary { Kernel32, Advapi32 };

// The function of the library with exactly this name (case matters, as on
// Windows), or null when the library has no such export.
FARPROC FindSystemExport(SystemLibrary library, const char* name);

}  // namespace kiln::platform
