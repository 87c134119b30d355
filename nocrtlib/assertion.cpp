#include "nocrtlib/assertion.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <cstring>
#include <thread>

#include "nocrtlib/exceptions.h"
#include "nocrtlib/ncstring.h"
#include "platform/session.h"
#include "platform/win32.h"

namespace kiln {

namespace {

// The main module's file name, cut to 299 characters, in UTF-8.
std::string ModuleName() {
    char16_t wide[300];
    DWORD n = GetModuleFileNameW(nullptr, wide, 300);
    if (n == 0) return std::string();
    if (n > 299) n = 299;
    return Narrow(std::u16string_view(wide, n));
}

}  // namespace

void FormatAssertionReport(char* out, size_t outSize, const char* prefix, const char* suffix,
                           const char* sourceFile, unsigned line, const char* condition) {
    std::string module = ModuleName();
    std::snprintf(out, outSize,
                  "%sAssertion failed in module '%s', PID %u, source file '%s', line %u:\r\n%s%s",
                  prefix, module.c_str(), static_cast<unsigned>(GetCurrentProcessId()), sourceFile,
                  line, condition, suffix);
}

void AssertionFailure(const char* sourceFile, unsigned line, const char* condition) {
    char report[1024];
    FormatAssertionReport(report, sizeof report, "", "", sourceFile, line, condition);
    WString wide;
    if (!Utf8ToWide(report, wide))
        throw StrAssertionFailed(
            u"Assertion failed. Additionally, converting assertion description to wide string "
            u"also failed.");
    throw StrAssertionFailed(std::move(wide));
}

void FatalAssertionStop(const char* sourceFile, unsigned line, const char* condition) {
    const bool interactive = platform::IsInteractiveSession();
    if (!interactive) {
        // A service has nobody to read the report: give an administrator the
        // chance to attach a debugger first.
        for (unsigned i = 0, n = platform::DebuggerWaitChecks(); i < n; ++i) {
            if (IsDebuggerPresent()) {
                platform::BreakIntoDebugger();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    char report[1024];
    FormatAssertionReport(report, sizeof report, "\r\n",
                          "\r\nThe asserting thread will be terminated.\r\n", sourceFile, line,
                          condition);
    WString wide = Widen(report);
    OutputDebugStringW(wide.c_str());
    bool written = std::fputs(report, stdout) >= 0 && std::fflush(stdout) == 0;
    if (interactive && written) {
        std::fputs("\r\nPress any key to continue.\r\n", stdout);
        std::fflush(stdout);
        std::fgetc(stdin);
    } else if (interactive) {
        MessageBoxW(nullptr, wide.c_str(),
                    u"Assertion failed", 0);
    }
    std::_Exit(kFatalAssertionExitCode);
}

}  // namespace kiln
