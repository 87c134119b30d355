// The Windows API subset that the system calls. Code above the platform layer
// includes this header and nothing from Linux.
#pragma once

#include "platform/win32_base.h"
