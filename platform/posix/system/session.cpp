#include "platform/session.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace kiln::platform {

namespace {
std::atomic<unsigned> g_debuggerWaitChecks{300};
}

bool IsInteractiveSession() {
    return isatty(0) == 1 && isatty(1) == 1;
}
unsigned DebuggerWaitChecks() {
    return g_debuggerWaitChecks.load();
}
void SetDebuggerWaitChecks(unsigned checks) {
    g_debuggerWaitChecks.store(checks);
}
void BreakIntoDebugger() {
    std::raise(SIGTRAP);
}

}  // namespace kiln::platform
