// Version, time and process functions of the platform layer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/config_system.h"
#include "platform/win32.h"

namespace {

using kiln::platform::ReportedWindowsVersion;
using kiln::platform::ScopedReportedWindowsVersion;

TEST(SystemVersion, ReportsWindows10ByDefaultInBothStructures) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
    EXPECT_EQ(info.szCSDVersion[0], u'\0');

    OSVERSIONINFOEXW ex;
    std::memset(&ex, 0xFF, sizeof(ex));
    ex.dwOSVersionInfoSize = sizeof(ex);
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&ex)));
    EXPECT_EQ(ex.dwMajorVersion, 10u);
    EXPECT_EQ(ex.wServicePackMajor, 0u);
    EXPECT_EQ(ex.wProductType, VER_NT_WORKSTATION);
}

TEST(SystemVersion, WrongStructureSizeIsRefused) {
    for (DWORD size : {0u, 275u, 277u, 1000u}) {
        SCOPED_TRACE(size);
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = size;
        SetLastError(0);
        EXPECT_FALSE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info)));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(info.dwMajorVersion, 0u);
    }
    SetLastError(0);
    EXPECT_FALSE(GetVersionExW(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
}

TEST(SystemVersion, SwitchReportsOlderSystemsAndRestores) {
    struct Case {
        ReportedWindowsVersion version;
        DWORD major, minor;
    };
    const Case cases[] = {
        {kiln::platform::kWindows2000, 5, 0},
        {kiln::platform::kWindowsVista, 6, 0},
        {kiln::platform::kWindows10, 10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.major);
        {
            ScopedReportedWindowsVersion scoped(c.version);
            OSVERSIONINFOW info{};
            info.dwOSVersionInfoSize = sizeof(info);
            ASSERT_TRUE(GetVersionExW(&info));
            EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
            EXPECT_EQ(info.dwMajorVersion, c.major);
            EXPECT_EQ(info.dwMinorVersion, c.minor);
        }
        OSVERSIONINFOW after{};
        after.dwOSVersionInfoSize = sizeof(after);
        ASSERT_TRUE(GetVersionExW(&after));
        EXPECT_EQ(after.dwMajorVersion, 10u);
    }
}

// Run only in the child of the test below, with the environment switch set.
TEST(SystemVersion, ChildReportsTheEnvironmentVersion) {
    const char* wanted = std::getenv("KILN_TEST_EXPECT_MAJOR");
    if (!wanted) GTEST_SKIP() << "runs in the child of EnvironmentSwitchSetsTheVersionAtStart";
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, std::strtoul(wanted, nullptr, 10));
}

TEST(SystemVersion, EnvironmentSwitchSetsTheVersionAtStart) {
    for (const char* version : {"5.0", "6.0"}) {
        SCOPED_TRACE(version);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setenv("KILN_WINDOWS_VERSION", version, 1);
            setenv("KILN_TEST_EXPECT_MAJOR", version[0] == '5' ? "5" : "6", 1);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            execl("/proc/self/exe", "test",
                  "--gtest_filter=SystemVersion.ChildReportsTheEnvironmentVersion",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

TEST(SystemTime, SystemTimeIsUnixTimeOnTheWindowsEpoch) {
    time_t before = time(nullptr);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    time_t after = time(nullptr);
    ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const ULONGLONG epoch = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601
    ASSERT_GT(ticks, epoch);
    ULONGLONG seconds = (ticks - epoch) / 10000000ull;
    EXPECT_GE(seconds, static_cast<ULONGLONG>(before));
    EXPECT_LE(seconds, static_cast<ULONGLONG>(after));
}

TEST(SystemTime, PerformanceCounterCountsNanosecondsForward) {
    LARGE_INTEGER frequency, first, second;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 1000000000);
    ASSERT_TRUE(QueryPerformanceCounter(&first));
    ULONGLONG tickBefore = GetTickCount64();
    Sleep(20);
    ASSERT_TRUE(QueryPerformanceCounter(&second));
    EXPECT_GE(second.QuadPart - first.QuadPart, 20 * 1000000LL);
    EXPECT_GE(GetTickCount64() - tickBefore, 20u);
    SetLastError(0);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
}

TEST(SystemProcess, ProcessIdIsThePid) {
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

// A debugger on Linux is a tracer; a child that asks its parent to trace it
// sees one, the test itself (normally run without a debugger) does not.
TEST(SystemProcess, DebuggerIsATracer) {
    if (IsDebuggerPresent()) GTEST_SKIP() << "the tests run under a debugger";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(3);
        _exit(IsDebuggerPresent() ? 1 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(SystemProcess, MessageBoxWritesCaptionAndTextToStandardError) {
    ::testing::internal::CaptureStderr();
    int answer = MessageBoxW(nullptr, u"Failed to load cryptographic provider 'ZuProv.dll'.",
                             u"Failed to load cryptographic provider", MB_OK);
    std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(written,
              "Failed to load cryptographic provider: Failed to load cryptographic provider "
              "'ZuProv.dll'.\n");

    ::testing::internal::CaptureStderr();
    MessageBoxW(nullptr, u"\u00e9t\u00e9", nullptr, MB_OK);  // UTF-8 out, default caption
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: \xc3\xa9t\xc3\xa9\n");
}

TEST(SystemProcess, DebugOutputIsDroppedWithoutADebugger) {
    if (IsDebuggerPresent()) GTEST_SKIP() << "the tests run under a debugger";
    ::testing::internal::CaptureStderr();
    OutputDebugStringW(u"nobody listens\r\n");
    OutputDebugStringA("nobody listens\r\n");
    OutputDebugStringW(nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
