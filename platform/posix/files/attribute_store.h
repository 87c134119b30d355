// Internal to the file functions: Windows attributes and times of Linux
// files. The attributes that Linux has no place for (SYSTEM, ARCHIVE,
// TEMPORARY, OFFLINE, NOT_CONTENT_INDEXED, SPARSE_FILE, HIDDEN for names not
// starting with '.', READONLY of a directory), an explicitly set creation
// time and the choice to show a dot name (HIDDEN cleared on it) live in one
// small user.* extended attribute.
#pragma once

#include <fcntl.h>
#include <linux/stat.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string_view>

#include "platform/posix/system/descriptors.h"
#include "platform/win32_files.h"

namespace kiln::platform {

// The attributes kept in the extended attribute.
constexpr DWORD kStoredAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_SPARSE_FILE;

// The attributes SetFileAttributesW accepts.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

struct StoredAttributes {
    DWORD attributes = 0;  // within kStoredAttributes
    bool hasCreationTime = false;
    ULONGLONG creationTime = 0;  // FILETIME value
    bool supported = true;       // false when the file system refuses user.* attributes
    // HIDDEN was cleared on purpose: a dot name then reads as not hidden.
    bool dotNameShown = false;
};

// Whether a name begins with '.' and so is hidden unless shown on purpose.
bool IsDotName(std::string_view name);

// Reads the record of dirFd/name (name empty: dirFd itself, which may be an
// O_PATH descriptor). A missing record reads as empty.
StoredAttributes ReadStoredAttributes(int dirFd, const char* name, const struct statx& st);
StoredAttributes ReadStoredAttributesOfFd(int fd, bool pathOnly, const struct statx& st);

// getxattr and listxattr of dirFd/name without following a final link,
// through the kernel's *xattrat calls where it has them (no path walk through
// /proc). -1 with errno.
ssize_t GetXattrAt(int dirFd, const char* name, const char* attribute, void* buffer, size_t size);
ssize_t ListXattrAt(int dirFd, const char* name, char* buffer, size_t size);

// Whether this thread's last read of the record, made while the object had
// exactly this inode and change time, found no POSIX ACL on it (so that a
// security query need not ask again). Every change of an ACL moves the
// change time.
bool KnownWithoutPosixAcls(const struct statx& st);

// Writes (or removes, when empty) the record of the object behind fd. False
// with ERROR_NOT_SUPPORTED where user.* attributes are refused.
bool WriteStoredAttributes(int fd, const StoredAttributes& stored);

// The Windows attributes of an object. `name` decides HIDDEN for dot files;
// `linkToDirectory` gives a symbolic link DIRECTORY as Windows does for
// directory links.
DWORD ComposeAttributes(const struct statx& st, std::string_view name,
                        const StoredAttributes& stored, bool linkToDirectory);

FILETIME ToFileTime(const struct statx_timestamp& time);
FILETIME ToFileTime(ULONGLONG value);
ULONGLONG FileTimeValue(const FILETIME& time);
FILETIME CreationTimeOf(const struct statx& st, const StoredAttributes& stored);

// The size Windows calls report: a file's length, and a link's the length of
// its text, as lstat gives it (clients such as git through sshfs read the
// text with that length). Directories and devices report none, as on Windows.
ULONGLONG ReportedSize(const struct statx& st);

// Applies a SetFileAttributesW value to the object behind fd (any kind of
// descriptor): READONLY as the owner's write permission of a file, the rest
// in the record.
bool ApplyAttributes(int fd, const struct statx& st, std::string_view name, DWORD attributes);

}  // namespace kiln::platform
