#include "platform/session.h"

#include <atomic>

#include "platform/win32_base.h"

namespace kiln::platform {

namespace {
std::atomic<unsigned> g_debuggerWaitChecks{300};
}

// A service runs on an invisible window station; a person at the desktop
// sees a visible one.
bool IsInteractiveSession() {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}
unsigned DebuggerWaitChecks() {
    return g_debuggerWaitChecks.load();
}
void SetDebuggerWaitChecks(unsigned checks) {
    g_debuggerWaitChecks.store(checks);
}
void BreakIntoDebugger() {
    DebugBreak();
}

}  // namespace kiln::platform
