// Confinement on Windows. Win32 cannot open a path "beneath" a directory, so
// every path-taking call of the provider is checked just before it runs: the
// object it would act on, or for calls that act on a name the directory that
// holds the name, is opened for no more than its attributes and the system
// is asked where it really is (GetFinalPathNameByHandleW resolves every
// symbolic link and junction on the way, in the middle of a path as at its
// end). What lies outside the root is reported as a path that does not
// exist, and the call is not made. CreateFileW is checked again through the
// handle it returns. The char16_t overloads in sdk.h apply the checks.
#pragma once

#include <string>

#include "platform/windows/sdk.h"

namespace kiln::platform::win {

// The final path (\\?\C:\...) of an open handle; false with the last error.
bool FinalPathOf(HANDLE handle, std::wstring& path);

// Whether a final path lies inside the confinement root (or there is none).
bool LiesBeneathRoot(const std::wstring& finalPath);

}  // namespace kiln::platform::win
