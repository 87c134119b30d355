// Windows paths on Linux taken apart (plain and long forms), without touching
// the disk: the drive table translates what they name and confinement.h
// resolves it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_base.h"

namespace kiln::platform {

// A Windows path taken apart. Components are on-disk (UTF-8) names, already
// folded (plain form) or checked (long form).
struct ParsedPath {
    bool unc = false;
    char16_t drive = 0;  // upper case, for drive paths
    std::u16string server, share;
    std::vector<std::string> components;
    bool trailingSeparator = false;
    bool longForm = false;
};

// Parses a Windows path. allowWildcards admits * and ? in the final
// component (FindFirstFileW). False with the Windows last error.
bool ParseWindowsPath(LPCWSTR path, bool allowWildcards, ParsedPath* parsed);

// Splits a Linux path on '/', dropping empty and "." components.
std::vector<std::string> SplitLinuxPath(std::string_view path);

}  // namespace kiln::platform
