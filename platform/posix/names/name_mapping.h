// The private-use stand-ins of the name mapping (platform/disk_names.h;
// name_mapping.cpp tells the rules).
#pragma once

#include "platform/disk_names.h"

namespace kiln::platform {

// The characters that Windows names cannot carry as themselves:
// \ : * ? " < > | and the control characters.
inline bool IsReservedInWindowsNames(char16_t c) {
    return c < 0x20 || c == u'"' || c == u'*' || c == u':' || c == u'<' || c == u'>' || c == u'?' ||
           c == u'|' || c == u'\\';
}

// Where the stand-ins of those characters begin: U+F000 + the character.
inline constexpr char16_t kPrivateUseBase = 0xF000;

}  // namespace kiln::platform
