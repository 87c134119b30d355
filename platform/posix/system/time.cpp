// System time and the performance counter.
#include <time.h>

#include "platform/filetime.h"
#include "platform/win32_system.h"

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.

timespec Now(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now;
}

ULONGLONG MonotonicNanoseconds() {
    timespec now = Now(CLOCK_MONOTONIC);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000000000ull + static_cast<ULONGLONG>(now.tv_nsec);
}

}  // namespace

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    timespec now = Now(CLOCK_REALTIME);
    // Times before 1970 cannot occur on a clock that is set; clamp rather
    // than wrap if one does.
    ULONGLONG ticks = kiln::platform::kUnixEpochInFileTime;
    if (now.tv_sec >= 0) {
        ticks += static_cast<ULONGLONG>(now.tv_sec) * kiln::platform::kFileTimeTicksPerSecond +
                 static_cast<ULONGLONG>(now.tv_nsec) / 100;
    }
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (!lpFrequency) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpFrequency->QuadPart = 1000000000;
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (!lpPerformanceCount) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(MonotonicNanoseconds());
    return TRUE;
}

ULONGLONG GetTickCount64() {
    return MonotonicNanoseconds() / 1000000ull;
}

DWORD GetTickCount() {
    return static_cast<DWORD>(GetTickCount64());
}
