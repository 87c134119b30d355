// The system-library loader, the version record and its gates.
#include <gtest/gtest.h>

#include <string>

#include "nocrtlib/dll_loader.h"
#include "nocrtlib/exceptions.h"
#include "platform/config_system.h"

namespace {

using kiln::DllLoader;
using kiln::SystemError;
using kiln::WindowsVersion;
using kiln::platform::ReportedWindowsVersion;
using kiln::platform::ScopedReportedWindowsVersion;

std::u16string CallName(const SystemError& e) {
    return std::u16string(e.CallName().sv());
}

TEST(DllLoader, SystemLibrariesLoadFromTheSystemDirectory) {
    kiln::Kernel32Dll kernel32;
    ASSERT_TRUE(kernel32.IsLoaded());
    EXPECT_EQ(kernel32.Handle(), GetModuleHandleA("kernel32.dll"));
    char16_t file[MAX_PATH];
    DWORD n = GetModuleFileNameW(kernel32.Handle(), file, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::u16string(file, n), u"C:\\Windows\\System32\\kernel32.dll");
    EXPECT_EQ(kernel32.EntryPoint("CreateEventW"), reinterpret_cast<FARPROC>(&CreateEventW));

    kiln::Advapi32Dll advapi32;
    ASSERT_TRUE(advapi32.IsLoaded());
    EXPECT_EQ(advapi32.Handle(), GetModuleHandleA("advapi32.dll"));
    EXPECT_EQ(&kiln::TheKernel32Dll(), &kiln::TheKernel32Dll());
    EXPECT_EQ(kiln::TheKernel32Dll().Handle(), kernel32.Handle());
    EXPECT_EQ(kiln::TheAdvapi32Dll().Handle(), advapi32.Handle());
}

TEST(DllLoader, AbsentEntryPointRaisesWithItsName) {
    try {
        kiln::TheKernel32Dll().EntryPoint("GetSystemWow64DirectoryW");
        FAIL() << "no exception";
    } catch (const SystemError& e) {
        EXPECT_EQ(CallName(e), u"GetProcAddress(GetSystemWow64DirectoryW)");
        EXPECT_EQ(e.Code(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    }
}

// This is a 32-bit system as far as the module can tell: no
// 64-bit-compatibility directory, and the caller's last error survives the
// look-up only to be replaced by the "not implemented" answer.
TEST(DllLoader, NoWow64Directory) {
    char16_t buffer[263] = {u'#'};
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(kiln::GetSystemWow64Directory(buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(buffer[0], u'#');
}

TEST(DllLoader, LoadFailuresRaiseUnlessQuiet) {
    struct Case {
        DWORD flags;
        const char16_t* callName;
    };
    const Case cases[] = {
        {0, u"LoadLibraryEx(KilnNoSuchLibrary.dll)"},
        {kiln::kDllLoadSystem, u"LoadLibraryEx(C:\\Windows\\System32\\KilnNoSuchLibrary.dll)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        DllLoader loader;
        try {
            loader.Load(u"KilnNoSuchLibrary.dll", c.flags);
            FAIL() << "no exception";
        } catch (const SystemError& e) {
            EXPECT_EQ(CallName(e), c.callName);
            EXPECT_EQ(e.Code(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
            EXPECT_NE(std::string(e.what()).find("LoadLibraryEx("), std::string::npos);
        }
        EXPECT_FALSE(loader.IsLoaded());

        SetLastError(0);
        EXPECT_FALSE(loader.Load(u"KilnNoSuchLibrary.dll", c.flags | kiln::kDllLoadQuiet));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        EXPECT_FALSE(loader.IsLoaded());
        // An empty loader has no entry points (and does not search the executable).
        try {
            loader.EntryPoint("CreateEventW");
            FAIL() << "no exception";
        } catch (const SystemError& e) {
            EXPECT_EQ(CallName(e), u"GetProcAddress(CreateEventW)");
            EXPECT_EQ(e.Code(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        }
    }
}

TEST(DllLoader, LoadingTwiceIsAnAssertion) {
    DllLoader loader(u"Kernel32.dll", kiln::kDllLoadSystem);
    ASSERT_TRUE(loader.IsLoaded());
    EXPECT_THROW(loader.Load(u"Advapi32.dll", kiln::kDllLoadSystem), kiln::AssertionFailed);
    EXPECT_EQ(loader.Handle(), GetModuleHandleA("kernel32.dll"));
}

// A library loaded quietly by name (as the cryptographic provider is) is freed
// with its loader.
TEST(DllLoader, LoaderFreesItsLibrary) {
    HMODULE handle;
    {
        DllLoader zlib(u"z.dll", kiln::kDllLoadQuiet);
        ASSERT_TRUE(zlib.IsLoaded()) << GetLastError();
        handle = zlib.Handle();
        EXPECT_NE(zlib.EntryPoint("zlibVersion"), nullptr);
    }
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(WindowsVersionGate, ThresholdsCompareInOrder) {
    struct Case {
        WindowsVersion version;
        bool passes2000;
        bool passesVista;
    };
    const Case cases[] = {
        {{2, 5, 0}, true, false}, {{2, 5, 1}, true, false},   {{2, 6, 0}, true, true},
        {{2, 10, 0}, true, true}, {{2, 4, 90}, false, false}, {{1, 10, 0}, false, false},
        {{3, 0, 0}, true, true},  {{0, 0, 0}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.version.platformId << "." << c.version.major << "." << c.version.minor);
        EXPECT_EQ(c.version.Passes(kiln::kWindows2000Threshold), c.passes2000);
        EXPECT_EQ(c.version.Passes(kiln::kWindowsVistaThreshold), c.passesVista);
    }
}

class WindowsVersionSwitch : public testing::Test {
  protected:
    void TearDown() override {
        kiln::ResetWindowsVersionRecord();
        kiln::StartSystemLibraries();
    }
};

TEST_F(WindowsVersionSwitch, GatesFollowTheReportedVersion) {
    struct Case {
        ReportedWindowsVersion reported;
        bool windows2000;
        bool vista;
    };
    const Case cases[] = {
        {{4, 0, 1381}, false, false},  // NT 4.0
        {kiln::platform::kWindows2000, true, false},
        {kiln::platform::kWindowsVista, true, true},
        {kiln::platform::kWindows10, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported.major);
        ScopedReportedWindowsVersion scoped(c.reported);
        kiln::ResetWindowsVersionRecord();
        kiln::StartSystemLibraries();
        WindowsVersion version = kiln::GetWindowsVersion();
        EXPECT_EQ(version.platformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
        EXPECT_EQ(version.major, c.reported.major);
        EXPECT_EQ(version.minor, c.reported.minor);
        EXPECT_EQ(kiln::SymbolicLinkSupport(), c.vista);
        EXPECT_EQ(kiln::sysentry::HasSetFileInformationByHandle(), c.vista);
        EXPECT_EQ(kiln::sysentry::HasGetFileInformationByHandleEx(), c.vista);
        EXPECT_EQ(kiln::sysentry::HasGetFinalPathNameByHandle(), c.vista);
        EXPECT_EQ(kiln::sysentry::HasCreateSymbolicLink(), c.vista);
        EXPECT_EQ(kiln::sysentry::HasCreateHardLink(), c.windows2000);
        EXPECT_EQ(kiln::sysentry::HasGetVolumePathName(), c.windows2000);
        EXPECT_EQ(kiln::sysentry::HasSetSecurityDescriptorControl(), c.windows2000);
    }
}

TEST_F(WindowsVersionSwitch, RecordIsReadOnceAndKept) {
    kiln::ResetWindowsVersionRecord();
    EXPECT_EQ(kiln::GetWindowsVersion().major, 10u);
    {
        ScopedReportedWindowsVersion scoped(kiln::platform::kWindows2000);
        EXPECT_EQ(kiln::GetWindowsVersion().major, 10u);  // not asked again
        EXPECT_TRUE(kiln::SymbolicLinkSupport());
        kiln::ResetWindowsVersionRecord();
        EXPECT_EQ(kiln::GetWindowsVersion().major, 5u);
        EXPECT_FALSE(kiln::SymbolicLinkSupport());
    }
}

TEST_F(WindowsVersionSwitch, SecurityDescriptorControlIsSkippedBelowWindows2000) {
    alignas(8) unsigned char descriptor[64] = {};
    ASSERT_TRUE(InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    {
        ScopedReportedWindowsVersion scoped({4, 0, 1381});
        kiln::ResetWindowsVersionRecord();
        EXPECT_TRUE(kiln::sysentry::SetSecurityDescriptorControl(descriptor, SE_DACL_PROTECTED,
                                                                 SE_DACL_PROTECTED));
        ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
        EXPECT_EQ(control & SE_DACL_PROTECTED, 0);  // the call did nothing
    }
    kiln::ResetWindowsVersionRecord();
    EXPECT_TRUE(kiln::sysentry::SetSecurityDescriptorControl(descriptor, SE_DACL_PROTECTED,
                                                             SE_DACL_PROTECTED));
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_EQ(control & SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

}  // namespace
