// GetVersionExW and the switch that makes it report an older Windows.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/config_system.h"
#include "platform/win32_system.h"

namespace kiln::platform {
namespace {

struct VersionState {
    std::mutex lock;
    ReportedWindowsVersion version = kWindows10;
};

ReportedWindowsVersion FromEnvironment() {
    const char* value = std::getenv("KILN_WINDOWS_VERSION");
    if (!value) return kWindows10;
    std::string_view text(value);
    if (text == "5.0") return kWindows2000;
    if (text == "6.0") return kWindowsVista;
    return kWindows10;
}

VersionState& State() {
    static VersionState* state = [] {
        auto* s = new VersionState;  // never destroyed: read during exit as well
        s->version = FromEnvironment();
        return s;
    }();
    return *state;
}

}  // namespace

void SetReportedWindowsVersion(const ReportedWindowsVersion& version) {
    std::lock_guard guard(State().lock);
    State().version = version;
}

ReportedWindowsVersion GetReportedWindowsVersion() {
    std::lock_guard guard(State().lock);
    return State().version;
}

}  // namespace kiln::platform

BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    if (!lpVersionInformation) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto version = kiln::platform::GetReportedWindowsVersion();
    lpVersionInformation->dwMajorVersion = version.major;
    lpVersionInformation->dwMinorVersion = version.minor;
    lpVersionInformation->dwBuildNumber = version.build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    if (size == sizeof(OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = VER_SUITE_SINGLEUSERTS;
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return TRUE;
}
