// The Windows API subset that the system calls. Code above the platform layer
// includes this header and nothing from Linux.
#pragma once

#include "platform/win32_base.h"
#include "platform/win32_files.h"
#include "platform/win32_security.h"
#include "platform/win32_system.h"
