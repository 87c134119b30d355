// Wine is a second implementation of Win32 for the Windows flavour's tests.
// Where its answer differs from Windows', the test says so and skips there.
#pragma once

#include "platform/win32.h"

namespace kiln::test {

inline bool RunningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace kiln::test

// Skips the rest of a test under Wine, giving the reason.
#define KILN_SKIP_UNDER_WINE(reason) \
    if (::kiln::test::RunningUnderWine()) GTEST_SKIP() << "Wine differs from Windows: " << reason
