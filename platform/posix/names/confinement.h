// Confinement: a path is resolved below its boundary directory (the
// confinement root when one is set, otherwise the directory of its drive or
// share). Symbolic links that stay inside keep working, whether their target
// is relative or absolute; a link that leads outside behaves as a path that
// does not exist. Resolution is done by the kernel (openat2 with
// RESOLVE_BENEATH) relative to a descriptor of the boundary, so a rename that
// races with a call cannot lead it outside either.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/names/drive_table.h"
#include "platform/win32_base.h"

namespace kiln::platform {

// Where a path leads: the parent directory and the final name. An empty name
// means the path names the boundary directory itself.
struct Location {
    std::shared_ptr<const FileConfig> config;  // keeps the boundary open
    const BoundaryDir* boundary = nullptr;
    SharedFd ownedParent;  // null when the parent is the boundary itself
    int parentFd = -1;
    std::string name;
    // The parent's path relative to the boundary; known only after a
    // link-by-link resolution (empty otherwise, with relativeKnown false).
    bool relativeKnown = false;
    std::vector<std::string> parentComponents;
    // The path's components below the boundary, as given.
    std::vector<std::string> relative;
};

// Resolves all but the final component, following links inside the
// boundary. False with the Windows last error.
bool ResolveParent(const ParsedPath& parsed, Location* out);

// Replaces a location whose final name is a symbolic link by the location
// that the link leads to (link by link, each step verified inside the
// boundary). False with ERROR_FILE_NOT_FOUND when the link leads outside or
// to a missing directory, ERROR_CANT_RESOLVE_FILENAME for a loop.
bool FollowFinalLink(Location* location);

// Opens the object a path names (O_PATH, or the given flags) inside the
// confinement, following a final link when asked; the location then names the
// object that was opened. -1 with the Windows last error.
int OpenConfined(LPCWSTR path, bool followFinalLink, Location* location);

// The O_PATH | O_CLOEXEC descriptor of the object that the Windows path names,
// resolved inside the confinement. With followFinalLink false a final
// symbolic link is opened itself. The caller closes the descriptor.
// -1 with the Windows last error on failure: ERROR_FILE_NOT_FOUND (the object
// is missing, or a link leads outside), ERROR_PATH_NOT_FOUND (a directory on
// the way is missing or the path lies outside the confinement root),
// ERROR_INVALID_NAME, ERROR_BAD_NETPATH, ERROR_FILENAME_EXCED_RANGE,
// ERROR_ACCESS_DENIED, ERROR_CANT_RESOLVE_FILENAME (too many links).
int OpenPathConfined(LPCWSTR windowsPath, bool followFinalLink);

// Convenience: parse and resolve the parent in one step.
bool ResolvePath(LPCWSTR path, ParsedPath* parsed, Location* out);

// Whether the path `relative` below the boundary of `base`, followed through
// its final link inside the confinement, is a directory (Windows reports a
// link to a directory as a directory).
bool LinkLeadsToDirectory(const Location& base, std::vector<std::string> relative);

// Whether the symbolic link at `link`, renamed or linked to `place`, would
// still lead inside the boundary there: its text taken lexically from where
// the new parent directory really lies, as the text of a new link is judged.
// False with ERROR_CANT_ACCESS_FILE when it would lead outside: the server
// never follows such a link, but backups and other programs that follow
// links in the tree would.
bool MovedLinkStaysInside(const Location& link, const Location& place);

// Opens the final object of a location with openat (O_NOFOLLOW added); for
// an empty name the boundary itself is reopened with the flags.
int OpenAtLocation(const Location& location, int flags);

// The Windows path, plain form, of a location's final object as seen through
// the descriptor (resolved links, current name after renames).
bool WindowsPathOfFd(int fd, std::u16string* windowsPath);

}  // namespace kiln::platform
