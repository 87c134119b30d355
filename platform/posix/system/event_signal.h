// Signalling an event from inside the platform layer: the file functions
// complete overlapped I/O with it, possibly on a helper thread.
#pragma once

#include "platform/win32_base.h"

namespace kiln::platform {

// Sets the event behind the handle and wakes its waiters. False (last error
// ERROR_INVALID_HANDLE) when the handle is not an event.
bool SignalEventHandle(HANDLE event);

}  // namespace kiln::platform
