// Names as the host's file system spells them, for the front end: it takes
// names and paths from clients in the disk's spelling (UTF-8 bytes) and hands
// the provider Windows paths. On Linux a name maps one to one between its
// bytes on disk and its UTF-16 spelling, with private-use stand-ins for what
// Windows names cannot carry; paths go through the drive and share tables.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32_base.h"

namespace kiln::platform {

// One file name (no separators). DiskNameToWindows is total;
// WindowsNameToDisk fails with ERROR_INVALID_NAME for a name that no name on
// disk lists as. The two are a bijection, so every name on disk lists as a
// name of its own that opens it again.
std::u16string DiskNameToWindows(std::string_view name);
bool WindowsNameToDisk(std::u16string_view name, std::string* diskName);

// Whether a client's name (UTF-8 bytes, one component) can be a file of
// this system. Always on Linux, where the mapping carries every name; on
// Windows not for malformed UTF-8, the characters \ : * ? " < > |, control
// characters, device names (CON, NUL, COM1, ...) and trailing dots or spaces,
// which Windows would take as a stream, a device or another name.
bool DiskNameFits(std::string_view name);

// Lexical translation of a whole Windows path (drive, UNC, long or plain
// form) into the disk path that the drive or share table gives, without
// touching the disk and without confinement. False with the Windows last
// error (ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH,
// ERROR_FILENAME_EXCED_RANGE) when the path cannot be mapped.
bool WindowsPathToDisk(const char16_t* windowsPath, std::string* diskPath);

// The Windows path (plain form, e.g. C:\dir\f or \\srv\share\f) of an
// absolute disk path, through the drive and share tables: the entry with the
// longest matching directory wins, drives before shares. False
// (ERROR_PATH_NOT_FOUND) when no entry holds the path.
bool DiskPathToWindows(std::string_view diskPath, std::u16string* windowsPath);

}  // namespace kiln::platform
