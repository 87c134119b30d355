// What the fatal assertion stop needs to know about the session it runs in.
// On Windows this is the visibility of the process's window station; on
// Linux a process counts as interactive when its standard input and output
// are both terminals.
#pragma once

namespace kiln::platform {

bool IsInteractiveSession();

// Stops in the attached debugger, as a breakpoint would.
void BreakIntoDebugger();

// How many 100 ms checks the fatal stop makes for a debugger before it goes
// on (300 by default); tests lower it.
unsigned DebuggerWaitChecks();
void SetDebuggerWaitChecks(unsigned checks);

}  // namespace kiln::platform
