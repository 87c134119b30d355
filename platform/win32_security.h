// The Windows API subset for SIDs, ACLs, security descriptors, tokens, privileges, accounts and file security.
#pragma once

#include "platform/win32_base.h"
