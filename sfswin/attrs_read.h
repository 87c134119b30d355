// Reading attributes: the conversions from the three Windows information
// records into QtSfsAttrs, file times, the symbolic-link probe and the
// text-hint classifier. The Stat/FStat handler (KilnSfsWin::Stat) builds on
// them; the listing and real-path handlers use them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/win32.h"
#include "sfs/sfs_attrs.h"

namespace kiln::KilnSfsWin {

struct SfsTime {
    uint64_t seconds = 0;      // since 1970-01-01 00:00:00 UTC
    uint32_t nanoseconds = 0;  // multiples of 100
    bool ok = false;           // false before 1970 or when it does not fit
};

SfsTime FileTimeToSfs(const FILETIME& time);

// Whether file names are told apart regardless of letter case where the
// conversions below cannot ask (listings): always on Windows; on Linux, where
// the usual file systems keep case apart, only for what the Stat handler
// finds out about a path.
#ifdef _WIN32
inline constexpr bool kCaseInsensitiveByDefault = true;
#else
inline constexpr bool kCaseInsensitiveByDefault = false;
#endif

// Type, size, times, attribute bits (attrBitsValid 0xFF) and link count.
// `caseInsensitive` decides the CaseInsensitive bit.
RefPtr<QtSfsAttrs> AttrsFromHandleInfo(const BY_HANDLE_FILE_INFORMATION& info, bool isLink,
                                       bool caseInsensitive = kCaseInsensitiveByDefault);
// The same without a link count.
RefPtr<QtSfsAttrs> AttrsFromAttributeData(const WIN32_FILE_ATTRIBUTE_DATA& data, bool isLink,
                                          bool caseInsensitive = kCaseInsensitiveByDefault);
// A listing entry: a link is recognised by its reparse tag.
RefPtr<QtSfsAttrs> AttrsFromFindData(const WIN32_FIND_DATAW& data,
                                     bool caseInsensitive = kCaseInsensitiveByDefault);

// Whether the path names a symbolic link (not a junction or other reparse
// point). `attributes` may give the path's attributes when already known.
// Raises SystemError ("GetFileAttributes()", "CreateFile()",
// "GetFileInformationByHandleEx()").
bool IsSymlink(std::u16string_view path, const DWORD* attributes = nullptr);

struct PathInfo {
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD openFlags = 0;  // FILE_FLAG_BACKUP_SEMANTICS / FILE_FLAG_OPEN_REPARSE_POINT used
};

// The information of the path, or of the link itself when not following and
// the path is a symbolic link. Raises SystemError ("GetFileAttributes()",
// "CreateFile()", "GetFileInformationByHandle()").
PathInfo GetInfoByPath(std::u16string_view path, bool follow);

// POSIX permissions that a DACL grants the owner, the group and everyone,
// with setuid, setgid and sticky where the file system keeps a mode
// (platform/file_modes.h); 0777 for a null DACL. Raises SystemError
// ("GetEffectiveRightsFromAcl(owner)", "(group)", "(world)").
uint32_t PermissionsFromDacl(PACL dacl, PSID owner, PSID group);

// KnownText, GuessedText, KnownBinary or GuessedBinary for the first bytes of
// a file.
uint8_t GuessTextHint(const uint8_t* data, size_t count);

// Whether the file system holding `path` finds names regardless of letter
// case: the path's last name, looked up with the case of its letters
// swapped, leads to the same file. Where the name has no letter to swap or
// the probe fails, kCaseInsensitiveByDefault.
bool PathFoldsCase(std::u16string_view path);

}  // namespace kiln::KilnSfsWin
