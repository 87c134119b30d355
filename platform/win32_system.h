// The Windows API subset for threads, events, waits, libraries, messages, memory, time and version.
#pragma once

#include "platform/win32_base.h"
