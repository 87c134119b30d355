// The Windows API subset for files, directories, I/O, locks, volumes, links and the drive table.
#pragma once

#include "platform/win32_base.h"
