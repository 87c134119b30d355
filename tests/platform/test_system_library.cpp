// Libraries: the two system libraries that the platform layer stands for,
// shared libraries by their Windows names, and module file names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/win32.h"

// The file and security families are built separately; referring to them
// weakly keeps this program linking while one of them is missing, and the
// test below then names what is missing.
__attribute__((weak)) decltype(GetFinalPathNameByHandleW) GetFinalPathNameByHandleW;
__attribute__((weak)) decltype(GetFileInformationByHandleEx) GetFileInformationByHandleEx;
__attribute__((weak)) decltype(SetFileInformationByHandle) SetFileInformationByHandle;
__attribute__((weak)) decltype(CreateSymbolicLinkW) CreateSymbolicLinkW;
__attribute__((weak)) decltype(CreateHardLinkW) CreateHardLinkW;
__attribute__((weak)) decltype(GetVolumePathNameW) GetVolumePathNameW;
__attribute__((weak)) decltype(SetSecurityDescriptorControl) SetSecurityDescriptorControl;

namespace {

std::u16string Widen(const std::string& text) {
    std::u16string out;
    for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

TEST(SystemLibrary, SystemLibrariesAreThePlatformItself) {
    HMODULE kernel32 = LoadLibraryExW(u"Kernel32.dll", nullptr, 0);
    ASSERT_NE(kernel32, nullptr);
    // Any spelling names the same module, as the loader asks for it by full path.
    for (const char16_t* name :
         {u"KERNEL32.DLL", u"kernel32", u"C:\\Windows\\System32\\kernel32.dll"}) {
        SCOPED_TRACE(::testing::PrintToString(std::u16string(name)));
        EXPECT_EQ(LoadLibraryExW(name, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH), kernel32);
    }
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), kernel32);
    EXPECT_EQ(GetProcAddress(kernel32, "CreateEventW"), reinterpret_cast<FARPROC>(&CreateEventW));
    EXPECT_EQ(GetProcAddress(kernel32, "FormatMessageW"),
              reinterpret_cast<FARPROC>(&FormatMessageW));

    HMODULE advapi32 = LoadLibraryExW(u"ADVAPI32.dll", nullptr, 0);
    ASSERT_NE(advapi32, nullptr);
    EXPECT_NE(advapi32, kernel32);
    EXPECT_EQ(GetModuleHandleA("Advapi32.DLL"), advapi32);
    // Each library has its own exports.
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(advapi32, "CreateEventW"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // System libraries never unload.
    EXPECT_TRUE(FreeLibrary(kernel32));
    EXPECT_TRUE(FreeLibrary(kernel32));
    EXPECT_EQ(GetProcAddress(kernel32, "SetEvent"), reinterpret_cast<FARPROC>(&SetEvent));
}

// The entry points that the system looks up at run time rather than importing.
TEST(SystemLibrary, RunTimeEntryPointsResolveToThePlatformFunctions) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    struct Case {
        HMODULE module;
        const char* name;
        FARPROC function;
    };
    HMODULE advapi32 = LoadLibraryExW(u"Advapi32.dll", nullptr, 0);
    ASSERT_NE(advapi32, nullptr);
    const Case cases[] = {
        {kernel32, "GetFinalPathNameByHandleW",
         reinterpret_cast<FARPROC>(&GetFinalPathNameByHandleW)},
        {kernel32, "GetFileInformationByHandleEx",
         reinterpret_cast<FARPROC>(&GetFileInformationByHandleEx)},
        {kernel32, "SetFileInformationByHandle",
         reinterpret_cast<FARPROC>(&SetFileInformationByHandle)},
        {kernel32, "CreateSymbolicLinkW", reinterpret_cast<FARPROC>(&CreateSymbolicLinkW)},
        {kernel32, "CreateHardLinkW", reinterpret_cast<FARPROC>(&CreateHardLinkW)},
        {kernel32, "GetVolumePathNameW", reinterpret_cast<FARPROC>(&GetVolumePathNameW)},
        {advapi32, "SetSecurityDescriptorControl",
         reinterpret_cast<FARPROC>(&SetSecurityDescriptorControl)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.function) {
            ADD_FAILURE() << c.name << " is not defined by the platform layer";
            continue;
        }
        EXPECT_EQ(GetProcAddress(c.module, c.name), c.function);
    }
}

TEST(SystemLibrary, AbsentEntryPointsAndBadModules) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    struct Case {
        HMODULE module;
        LPCSTR name;
        DWORD error;
    };
    const Case cases[] = {
        // A 32-bit system has no 64-bit-compatibility directory.
        {kernel32, "GetSystemWow64DirectoryW", ERROR_PROC_NOT_FOUND},
        {kernel32, "createeventw", ERROR_PROC_NOT_FOUND},  // names are case-sensitive
        {kernel32, reinterpret_cast<LPCSTR>(uintptr_t{1}), ERROR_PROC_NOT_FOUND},  // ordinal
        {reinterpret_cast<HMODULE>(uintptr_t{0x7FFFFC}), "CreateEventW", ERROR_MOD_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(reinterpret_cast<uintptr_t>(c.name) < 0x10000 ? "ordinal" : c.name);
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(c.module, c.name), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    // An event handle is not a module.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(event, "CreateEventW"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
}

TEST(SystemLibrary, LoadFailures) {
    struct Case {
        const char16_t* name;
        HANDLE file;
        DWORD flags;
        DWORD error;
    };
    const Case cases[] = {
        {u"KilnNoSuchLibrary.dll", nullptr, 0, ERROR_MOD_NOT_FOUND},
        {u"C:\\no\\such\\dir\\z.dll", nullptr, 0, ERROR_MOD_NOT_FOUND},
        {u"", nullptr, 0, ERROR_INVALID_PARAMETER},
        {u"z.dll", INVALID_HANDLE_VALUE, 0, ERROR_INVALID_PARAMETER},
        {u"z.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::u16string(c.name)));
        SetLastError(0);
        EXPECT_EQ(LoadLibraryExW(c.name, c.file, c.flags), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    SetLastError(0);
    EXPECT_EQ(LoadLibraryExW(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("KilnNoSuchLibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

using ZlibVersion = const char* (*)();

// "z.dll" is the shared library libz.so (zlib's development package is a
// build dependency); every spelling of it is one module with one handle.
TEST(SystemLibrary, WindowsNameLoadsTheSharedLibraryOnce) {
    HMODULE byName = LoadLibraryExW(u"z.dll", nullptr, 0);
    ASSERT_NE(byName, nullptr) << GetLastError();
    auto version = reinterpret_cast<ZlibVersion>(GetProcAddress(byName, "zlibVersion"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version()[0], '1');
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(byName, "KilnNoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // By Linux name and by directory (Linux and Windows form): the same file.
    HMODULE bySoname = LoadLibraryExW(u"libz.so.1", nullptr, 0);
    char resolved[PATH_MAX];
    ASSERT_NE(realpath("/usr/lib/x86_64-linux-gnu/libz.so", resolved), nullptr);
    std::string linuxPath = resolved;
    std::string windowsPath = "C:" + linuxPath;
    for (char& c : windowsPath) {
        if (c == '/') c = '\\';
    }
    HMODULE byLinuxPath = LoadLibraryExW(Widen(linuxPath).c_str(), nullptr, 0);
    HMODULE byWindowsPath = LoadLibraryExW(Widen(windowsPath).c_str(), nullptr, 0);
    EXPECT_EQ(bySoname, byName);
    EXPECT_EQ(byLinuxPath, byName);
    EXPECT_EQ(byWindowsPath, byName);
    EXPECT_EQ(GetModuleHandleA("z.dll"), byName);

    char16_t file[MAX_PATH];
    DWORD n = GetModuleFileNameW(byName, file, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::u16string(file, n), Widen(windowsPath));

    // Four loads, four frees; the handle goes with the last one.
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(FreeLibrary(byName)) << i;
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(byName));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Without a directory, the directory of the library holding the platform
// layer comes first: "kiln.dll" is that very library.
TEST(SystemLibrary, OwnDirectoryIsSearchedFirst) {
    HMODULE kiln = LoadLibraryExW(u"kiln.dll", nullptr, 0);
    ASSERT_NE(kiln, nullptr) << GetLastError();
    char16_t file[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(kiln, file, MAX_PATH * 4);
    ASSERT_GT(n, 0u);
    std::u16string name(file, n);
    EXPECT_EQ(name.substr(name.size() - 11), u"\\libkiln.so");
    EXPECT_EQ(name.substr(0, 3), u"C:\\");
    EXPECT_TRUE(FreeLibrary(kiln));
}

TEST(SystemLibrary, ModuleFileNameOfTheExecutableAndTruncation) {
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(length, 0);
    std::string expected = "C:" + std::string(exe, static_cast<size_t>(length));
    for (char& c : expected) {
        if (c == '/') c = '\\';
    }
    const std::u16string want = Widen(expected);
    const DWORD size = static_cast<DWORD>(want.size());

    std::u16string buffer(size + 8, u'#');
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), size + 1), size);
    EXPECT_EQ(std::u16string(buffer.c_str()), want);
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleA(nullptr), buffer.data(), size + 1), size);

    // Too small by one: cut, terminated, the buffer size returned.
    buffer.assign(size + 8, u'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), size), size);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(buffer.c_str()), want.substr(0, size - 1));
    EXPECT_EQ(buffer[size], u'#');  // nothing written past the buffer

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    char narrow[PATH_MAX];
    EXPECT_EQ(GetModuleFileNameA(nullptr, narrow, sizeof(narrow)), size);
    EXPECT_EQ(std::string(narrow), expected);
}

TEST(SystemLibrary, SystemDirectory) {
    char16_t buffer[MAX_PATH];
    const std::u16string want = u"C:\\Windows\\System32";
    EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), want.size());
    EXPECT_EQ(std::u16string(buffer), want);
    // Too small: the size needed, zero included.
    EXPECT_EQ(GetSystemDirectoryW(buffer, static_cast<UINT>(want.size())), want.size() + 1);
    EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), want.size() + 1);
}

}  // namespace
