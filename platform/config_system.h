// Test switches of the system half of the platform layer. They exist only in
// the Linux flavour: on Windows the real system answers.
#pragma once

#ifndef _WIN32

#include "platform/win32_base.h"

namespace kiln::platform {

// The Windows version that GetVersionExW reports. By default a current
// Windows 10 (10.0, build 19045). Tests of the version gates switch to an
// older system: Windows 2000 (5.0) or Windows Vista (6.0). The environment
// variable KILN_WINDOWS_VERSION ("5.0", "6.0", "10.0") sets the switch at
// start, so that whole programs (the SFTP server under an end-to-end test)
// can be run as on an old system.
struct ReportedWindowsVersion {
    DWORD major;
    DWORD minor;
    DWORD build;
};

inline constexpr ReportedWindowsVersion kWindows2000{5, 0, 2195};
inline constexpr ReportedWindowsVersion kWindowsVista{6, 0, 6002};
inline constexpr ReportedWindowsVersion kWindows10{10, 0, 19045};

void SetReportedWindowsVersion(const ReportedWindowsVersion& version);
ReportedWindowsVersion GetReportedWindowsVersion();

// Sets the reported version for the lifetime of the object and restores the
// previous one afterwards.
class ScopedReportedWindowsVersion {
  public:
    explicit ScopedReportedWindowsVersion(const ReportedWindowsVersion& version)
        : previous_(GetReportedWindowsVersion()) {
        SetReportedWindowsVersion(version);
    }
    ~ScopedReportedWindowsVersion() { SetReportedWindowsVersion(previous_); }
    ScopedReportedWindowsVersion(const ScopedReportedWindowsVersion&) = delete;
    ScopedReportedWindowsVersion& operator=(const ScopedReportedWindowsVersion&) = delete;

  private:
    ReportedWindowsVersion previous_;
};

}  // namespace kiln::platform

#endif  // !_WIN32
