// Internal to the file functions: parsed Windows paths, the process-wide
// drive/share/confinement configuration and the confined resolution of a
// path to (parent directory descriptor, final name).
#pragma once

#include <linux/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_base.h"

namespace kiln::platform {

// A descriptor that closes itself.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ~UniqueFd() { Reset(); }
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// A descriptor with more than one holder: a directory resolved in a request
// is held by the request's resolution scope and by handles opened in it.
using SharedFd = std::shared_ptr<const UniqueFd>;

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

// One directory that paths are confined to, with its descriptor and the
// Linux spellings of its location (as configured and as resolved) against
// which absolute link targets are compared.
struct BoundaryDir {
    std::string linuxPath;
    std::string realPath;
    UniqueFd fd;
};

class FileConfig;

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

// The boundary of the confinement root and the Linux path of the drive or
// share directory a parsed path lies on (for the volume functions).
bool VolumeDirectoryOf(const ParsedPath& parsed, std::string* linuxDirectory);

// The Windows path, plain form, of a location's final object as seen through
// the descriptor (resolved links, current name after renames).
bool WindowsPathOfFd(int fd, std::u16string* windowsPath);

// The directories kept by the thread's resolution scope
// (platform/resolution_scope.h). Null, and nothing kept, outside a scope.
SharedFd FindResolvedDirectory(const BoundaryDir* boundary,
                               const std::vector<std::string>& relative, size_t count);
void KeepResolvedDirectory(const std::shared_ptr<const FileConfig>& config,
                           const BoundaryDir* boundary, std::string directory, const SharedFd& fd);
// The last path the thread's scope resolved (ResolvePath) and where it led,
// for the next call of the request on the same path; `configVersion` is the
// configuration's version (FileConfigVersion) read before resolving.
bool FindResolvedPath(LPCWSTR path, uint64_t configVersion, ParsedPath* parsed, Location* out);
void KeepResolvedPath(LPCWSTR path, uint64_t configVersion, const ParsedPath& parsed,
                      const Location& location);
// Every call that makes, removes or renames a name forgets what the scope
// kept, so that the rest of the request resolves its paths afresh.
void ForgetResolvedDirectories();

// The object that a request which changes nothing asks about: the stat of
// what the final name led to (never following a final link), taken by name
// at `taken`. No descriptor: a handle opened on it for attributes only takes
// one when it needs one (FileObject::EnsureFd).
struct KeptObject {
    struct statx st;
    std::chrono::steady_clock::time_point taken;
};
// Whether the thread's scope keeps an object (a request that changes nothing).
bool ScopeKeepsObjects();
// The kept object that `name` in the directory `parentFd` led to; null when
// there is none.
const KeptObject* FindKeptObject(int parentFd, const std::string& name);
// Looks at `name` in the location's directory and keeps what it saw for the
// scope. Null when the scope keeps no objects or the name is empty (nothing
// done), or with the Windows last error when the name cannot be looked at.
const KeptObject* StatAndKeepObject(const Location& location);
// A handle opened without a descriptor in the thread's scope: the scope's end
// gives it one (EnsureFd) if it is still open then, so that no handle leaves
// the request without its descriptor. Outside a scope, does nothing.
class FileObject;
void KeepUntilScopeEnd(const std::shared_ptr<FileObject>& file);

// Forgets the scope's directories when the calling function returns.
struct ChangesNames {
    ChangesNames() = default;
    ChangesNames(const ChangesNames&) = delete;
    ChangesNames& operator=(const ChangesNames&) = delete;
    ~ChangesNames() { ForgetResolvedDirectories(); }
};

// Splits a Linux path on '/', dropping empty and "." components.
std::vector<std::string> SplitLinuxPath(std::string_view path);

}  // namespace kiln::platform
