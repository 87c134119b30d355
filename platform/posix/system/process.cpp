// The process: its identity, its debugger, and the two ways in which it
// talks to a person (debug output and message boxes).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/win32_system.h"

namespace {

std::string ToUtf8(LPCWSTR text) {
    if (!text) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

// One write per message, so that lines of several threads do not interleave.
void WriteToStandardError(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;  // nobody to tell: a message box must not fail over it
        done += static_cast<size_t>(n);
    }
}

}  // namespace

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

BOOL IsDebuggerPresent() {
    // A debugger on Linux is a tracer: the kernel names it in TracerPid.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            return std::strtol(line.c_str() + 10, nullptr, 10) != 0 ? TRUE : FALSE;
        }
    }
    return FALSE;
}

void OutputDebugStringA(LPCSTR lpOutputString) {
    if (!lpOutputString || !IsDebuggerPresent()) return;
    WriteToStandardError(lpOutputString);
}

void OutputDebugStringW(LPCWSTR lpOutputString) {
    if (!lpOutputString || !IsDebuggerPresent()) return;
    WriteToStandardError(ToUtf8(lpOutputString));
}

int MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT) {
    // Windows shows "Error" when the caption is null.
    std::string message = lpCaption ? ToUtf8(lpCaption) : std::string("Error");
    message += ": ";
    message += ToUtf8(lpText);
    message += '\n';
    WriteToStandardError(message);
    return IDOK;
}
