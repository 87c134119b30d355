// Confinement on Windows. Win32 cannot open a path "beneath" a directory, so
// the provider's path-based calls open first and then ask the system where
// the opened object really is (GetFinalPathNameByHandleW resolves every
// symbolic link and junction on the way); an object outside the root is
// closed again and reported as not found, as a path that does not exist.
#pragma once

#include <string>

#include "platform/windows/sdk.h"

namespace kiln::platform::win {

// The final path (\\?\C:\...) of an open handle; false with the last error.
bool FinalPathOf(HANDLE handle, std::wstring& path);

// Whether a final path lies inside the confinement root (or there is none).
bool LiesBeneathRoot(const std::wstring& finalPath);

}  // namespace kiln::platform::win
