// Wine is a second implementation of Win32 for the Windows flavour's tests.
// Where its answer differs from Windows', the test says so and skips there.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

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

#ifdef _WIN32
// Wine's CreateSymbolicLinkW makes nothing and reports success; the links
// Wine follows are the host's own. Wine runs host programs, so the tests
// make and remove links with the host's ln and rm.

// The host's name of a Windows path; empty where Wine has none for it.
inline std::u16string HostName(const std::filesystem::path& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    const std::u16string wide = path.u16string();
    char* name = unixName ? unixName(platform::win::W(wide.c_str())) : nullptr;
    if (!name) return {};
    std::u16string out = std::filesystem::path(name).u16string();
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Wine neither waits for a host program nor passes on its exit status: the
// caller says what shows that it has done its work.
inline bool RunHost(const char16_t* program, std::u16string commandLine,
                    const std::function<bool()>& done) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(platform::win::W(program), platform::win::W(commandLine.data()), nullptr,
                          nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; waited < 10000; waited += 10) {
        if (done()) return true;
        Sleep(10);
    }
    return false;
}

// A host symbolic link; `target` is the link's text, a host path or one
// relative to the link. Wine shows no link that leads nowhere, so the same
// host command leaves a directory beside it to say that it has run.
inline bool MakeHostLink(const std::filesystem::path& link, const std::u16string& target) {
    const std::u16string host = HostName(link);
    const std::u16string made = link.u16string() + u".made";
    const bool ran = RunHost(
        u"Z:\\bin\\sh",
        u"sh -c \"ln -s -- '" + target + u"' '" + host + u"' && mkdir '" + host + u".made'\"", [&] {
            return ::GetFileAttributesW(platform::win::W(made.c_str())) != INVALID_FILE_ATTRIBUTES;
        });
    return ran && ::RemoveDirectoryW(platform::win::W(made.c_str()));
}

// Removes a tree with the host's rm, which follows none of its links; Wine's
// own calls would act on where they lead.
inline void RemoveHostTree(const std::filesystem::path& dir) {
    const std::u16string wide = dir.u16string();
    const auto gone = [&] {
        return ::GetFileAttributesW(platform::win::W(wide.c_str())) == INVALID_FILE_ATTRIBUTES;
    };
    if (gone()) return;
    RunHost(u"Z:\\bin\\rm", u"rm -rf -- \"" + HostName(dir) + u"\"", gone);
}
#endif

// Why tests of links made by request or of a link itself skip under Wine 8.
inline constexpr const char* kWineMakesNoLinks =
    "its CreateSymbolicLinkW makes nothing and reports success";
inline constexpr const char* kWineShowsNoLinks =
    "it shows a host link as what it leads to: no FILE_ATTRIBUTE_REPARSE_POINT, no link text "
    "through FSCTL_GET_REPARSE_POINT, and FILE_FLAG_OPEN_REPARSE_POINT opens the target";

// A log text up to the system's own text of the error it quotes, which
// Wine words differently for some codes ("File not found." for Windows'
// "The system cannot find the file specified.").
inline std::u16string BeforeErrorText(const std::u16string& text) {
    const size_t at = text.find(u"Windows error ");
    const size_t colon = at == std::u16string::npos ? at : text.find(u": ", at);
    return colon == std::u16string::npos ? text : text.substr(0, colon + 2);
}

}  // namespace kiln::test

// Skips the rest of a test under Wine, giving the reason.
#define KILN_SKIP_UNDER_WINE(reason) \
    if (::kiln::test::RunningUnderWine()) GTEST_SKIP() << "Wine differs from Windows: " << reason
