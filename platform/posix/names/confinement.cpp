// Confined resolution. The fast path hands the whole directory part of a
// path to openat2 with RESOLVE_BENEATH relative to the boundary's descriptor:
// the kernel follows links that stay inside and refuses (EXDEV) anything that
// would leave, including a directory renamed away while it resolves. Absolute
// link targets are always refused by the kernel; for them, and for a final
// link that must be followed, the slow path walks link by link, rewriting
// absolute targets that lie inside the boundary into paths relative to it,
// and checks every step with openat2 again, so the result is only ever
// something the kernel verified to lie beneath the boundary.

#include <fcntl.h>
#include <linux/limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

#include "platform/posix/names/drive_table.h"
#include "platform/posix/names/path_parsing.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/names/watched_directories.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/errors.h"

namespace kiln::platform {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit
constexpr int kRetries = 8;

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

int OpenBeneath(int dirFd, const std::string& relative, int flags, uint64_t resolve) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.resolve = resolve | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
        long fd = ::syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
        // EAGAIN: a rename or mount raced with the walk; the kernel asks us to retry.
        if (fd >= 0 || errno != EAGAIN || attempt >= kRetries) return static_cast<int>(fd);
    }
}

std::string Join(const std::vector<std::string>& parts, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out;
}

bool SameVolume(const ParsedPath& a, const ParsedPath& b) {
    if (a.unc != b.unc) return false;
    if (!a.unc) return a.drive == b.drive;
    auto fold = [](std::u16string s) {
        for (char16_t& c : s)
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        return s;
    };
    return fold(a.server) == fold(b.server) && fold(a.share) == fold(b.share);
}

// The boundary a path resolves below and how many of its components name
// the boundary itself.
bool SelectBoundary(const FileConfig& config, const ParsedPath& parsed,
                    const BoundaryDir** boundary, size_t* skip) {
    *skip = 0;
    if (config.hasRoot) {
        const ParsedPath& root = config.rootPath;
        if (!SameVolume(root, parsed) || parsed.components.size() < root.components.size())
            return Fail(ERROR_PATH_NOT_FOUND);
        for (size_t i = 0; i < root.components.size(); ++i)
            if (parsed.components[i] != root.components[i]) return Fail(ERROR_PATH_NOT_FOUND);
        *skip = root.components.size();
        *boundary = config.root.get();
    } else if (parsed.unc) {
        const UncShare* share = FindShare(config, parsed);
        if (!share) return Fail(ERROR_BAD_NETPATH);
        *boundary = share->dir.get();
    } else {
        *boundary = config.drives[parsed.drive - u'A'].get();
        if (!*boundary) return Fail(ERROR_PATH_NOT_FOUND);
    }
    if (!(*boundary)->fd) return Fail(ERROR_PATH_NOT_FOUND);
    return true;
}

// An absolute link target rewritten relative to the boundary, or false when
// it lies outside.
bool RelativeToBoundary(const BoundaryDir& boundary, const std::string& target,
                        std::vector<std::string>* relative) {
    std::vector<std::string> parts = SplitLinuxPath(target);
    for (const std::string* base : {&boundary.linuxPath, &boundary.realPath}) {
        std::vector<std::string> prefix = SplitLinuxPath(*base);
        if (prefix.size() > parts.size()) continue;
        bool match = true;
        for (size_t i = 0; i < prefix.size() && match; ++i) match = parts[i] == prefix[i];
        if (!match) continue;
        relative->assign(parts.begin() + static_cast<long>(prefix.size()), parts.end());
        return true;
    }
    return false;
}

bool ReadLinkAt(int fd, std::string* target) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlinkat(fd, "", buffer, sizeof buffer);
    if (n < 0 || n >= static_cast<ssize_t>(sizeof buffer)) return false;
    target->assign(buffer, static_cast<size_t>(n));
    return true;
}

// Link by link. On success the location's parent is the directory holding
// the final name; with followFinal a final link is replaced by its target.
bool SlowResolve(Location* location, bool followFinal) {
    const BoundaryDir& boundary = *location->boundary;
    const int boundaryFd = boundary.fd.Get();
    std::vector<std::string> canon;
    std::deque<std::string> queue(location->relative.begin(), location->relative.end());
    std::string name;
    int links = 0;
    while (!queue.empty()) {
        std::string part = std::move(queue.front());
        queue.pop_front();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            // Climbing out of the boundary: the link leads outside.
            if (canon.empty())
                return Fail(queue.empty() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
            canon.pop_back();
            continue;
        }
        const bool last = queue.empty();
        canon.push_back(part);
        if (last && !followFinal) break;
        std::string path = Join(canon, canon.size());
        if (path.size() >= PATH_MAX) return Fail(ERROR_FILENAME_EXCED_RANGE);
        UniqueFd fd(OpenBeneath(boundaryFd, path, O_PATH | O_NOFOLLOW, RESOLVE_NO_SYMLINKS));
        if (!fd) {
            if (errno == ENOENT && last) break;  // missing final object: its parent is known
            if (errno == ENOENT || errno == ENOTDIR || errno == EXDEV)
                return Fail(ERROR_PATH_NOT_FOUND);
            return Fail(WindowsErrorFromErrno(errno));
        }
        struct stat st;
        if (::fstat(fd.Get(), &st) != 0) return Fail(WindowsErrorFromErrno(errno));
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks) return Fail(ERROR_CANT_RESOLVE_FILENAME);
            std::string target;
            if (!ReadLinkAt(fd.Get(), &target)) return Fail(ERROR_CANT_RESOLVE_FILENAME);
            canon.pop_back();
            std::vector<std::string> replacement;
            if (!target.empty() && target[0] == '/') {
                if (!RelativeToBoundary(boundary, target, &replacement))
                    return Fail(last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
                canon.clear();
            } else {
                size_t pos = 0;
                while (pos <= target.size()) {
                    size_t end = target.find('/', pos);
                    if (end == std::string::npos) end = target.size();
                    replacement.push_back(target.substr(pos, end - pos));
                    pos = end + 1;
                }
            }
            // A target that reduces to nothing names the directory it is in.
            queue.insert(queue.begin(), replacement.begin(), replacement.end());
            if (queue.empty()) queue.push_back(".");
            continue;
        }
        if (!last && !S_ISDIR(st.st_mode)) return Fail(ERROR_PATH_NOT_FOUND);
    }
    if (!canon.empty()) {
        name = canon.back();
        canon.pop_back();
    }
    location->ownedParent.reset();
    location->parentFd = boundaryFd;
    if (!canon.empty()) {
        UniqueFd parent(OpenBeneath(boundaryFd, Join(canon, canon.size()), O_PATH | O_DIRECTORY,
                                    RESOLVE_NO_SYMLINKS));
        if (!parent)
            return Fail(errno == ELOOP ? ERROR_CANT_RESOLVE_FILENAME : ERROR_PATH_NOT_FOUND);
        location->parentFd = parent.Get();
        location->ownedParent = std::make_shared<const UniqueFd>(std::move(parent));
    }
    location->name = std::move(name);
    location->relativeKnown = true;
    location->parentComponents = std::move(canon);
    return true;
}

// Whether a link with `text` in the parent directory of `place` leads inside.
bool LinkTextStaysInside(const Location& place, std::string_view text) {
    const BoundaryDir& boundary = *place.boundary;
    std::vector<std::string> at;
    if (!text.empty() && text[0] == '/') {
        // As the kernel takes it: ".." at the top of the tree stays there.
        std::string folded;
        for (const std::string& part : SplitLinuxPath(text)) {
            if (part != "..")
                folded += "/" + part;
            else
                folded.resize(folded.empty() ? 0 : folded.rfind('/'));
        }
        return RelativeToBoundary(boundary, folded.empty() ? "/" : folded, &at);
    }
    if (place.parentFd != boundary.fd.Get()) {
        char real[PATH_MAX];
        const ssize_t n = ::readlink(ProcFdPath(place.parentFd).c_str(), real, sizeof real - 1);
        if (n <= 0 || !RelativeToBoundary(boundary, std::string(real, size_t(n)), &at))
            return false;
    }
    for (std::string& part : SplitLinuxPath(text)) {
        if (part != "..") {
            at.push_back(std::move(part));
        } else if (at.empty()) {
            return false;
        } else {
            at.pop_back();
        }
    }
    return true;
}

}  // namespace

bool ResolveParent(const ParsedPath& parsed, Location* out) {
    out->config = CurrentFileConfig();
    size_t skip = 0;
    if (!SelectBoundary(*out->config, parsed, &out->boundary, &skip)) return false;
    out->relative.assign(parsed.components.begin() + static_cast<long>(skip),
                         parsed.components.end());
    const std::vector<std::string>& relative = out->relative;
    const int boundaryFd = out->boundary->fd.Get();
    out->ownedParent.reset();
    out->parentFd = boundaryFd;
    out->parentComponents.clear();
    out->relativeKnown = relative.size() <= 1;
    out->name = relative.empty() ? std::string() : relative.back();
    if (relative.size() <= 1) return true;

    size_t length = relative.size() - 1;
    for (const std::string& part : relative) length += part.size();
    if (length >= PATH_MAX) return Fail(ERROR_FILENAME_EXCED_RANGE);
    if (SharedFd kept = FindResolvedDirectory(out->boundary, relative, relative.size() - 1)) {
        out->parentFd = kept->Get();
        out->ownedParent = std::move(kept);
        return true;
    }
    std::string directory = Join(relative, relative.size() - 1);
    SharedFd watched = FindWatchedDirectory(out->boundary, relative, relative.size() - 1);
    if (!watched)
        watched = WatchDirectory(out->config, out->boundary, relative, relative.size() - 1);
    if (watched) {
        out->parentFd = watched->Get();
        out->ownedParent = watched;
        KeepResolvedDirectory(out->config, out->boundary, std::move(directory), std::move(watched));
        return true;
    }
    UniqueFd parent(OpenBeneath(boundaryFd, directory, O_PATH | O_DIRECTORY, 0));
    if (parent) {
        out->parentFd = parent.Get();
        out->ownedParent = std::make_shared<const UniqueFd>(std::move(parent));
        KeepResolvedDirectory(out->config, out->boundary, std::move(directory), out->ownedParent);
        return true;
    }
    switch (errno) {
        case EXDEV:  // an absolute link, or one leading outside: walk it ourselves
            return SlowResolve(out, false);
        case ENOENT:
        case ENOTDIR:
            return Fail(ERROR_PATH_NOT_FOUND);
        default:
            return Fail(WindowsErrorFromErrno(errno));
    }
}

bool FollowFinalLink(Location* location) {
    return SlowResolve(location, true);
}

// The calls of one request on one path resolve it once: the scope keeps it
// until the request ends or anything changes names, as it keeps directories.
bool ResolvePath(LPCWSTR path, ParsedPath* parsed, Location* out) {
    const uint64_t version = FileConfigVersion();
    if (FindResolvedPath(path, version, parsed, out)) return true;
    if (!ParseWindowsPath(path, false, parsed) || !ResolveParent(*parsed, out)) return false;
    KeepResolvedPath(path, version, *parsed, *out);
    return true;
}

bool MovedLinkStaysInside(const Location& link, const Location& place) {
    char text[PATH_MAX];
    const ssize_t n = ::readlinkat(link.parentFd, link.name.c_str(), text, sizeof text);
    // No longer a link: the rename or link call acts on what is there now.
    if (n < 0) return true;
    if (LinkTextStaysInside(place, std::string_view(text, size_t(n)))) return true;
    return Fail(ERROR_CANT_ACCESS_FILE);
}

bool LinkLeadsToDirectory(const Location& base, std::vector<std::string> relative) {
    Location target;
    target.config = base.config;
    target.boundary = base.boundary;
    target.relative = std::move(relative);
    DWORD saved = GetLastError();
    bool directory = false;
    if (SlowResolve(&target, true)) {
        struct stat st;
        int flags = target.name.empty() ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
        directory =
            ::fstatat(target.parentFd, target.name.c_str(), &st, flags) == 0 && S_ISDIR(st.st_mode);
    }
    SetLastError(saved);
    return directory;
}

int OpenAtLocation(const Location& location, int flags) {
    if (location.name.empty()) return ::openat(location.parentFd, ".", flags | O_CLOEXEC);
    return ::openat(location.parentFd, location.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}

int OpenPathConfined(LPCWSTR windowsPath, bool followFinalLink) {
    Location location;
    return OpenConfined(windowsPath, followFinalLink, &location);
}

int OpenConfined(LPCWSTR windowsPath, bool followFinalLink, Location* out) {
    ParsedPath parsed;
    Location& location = *out;
    if (!ResolvePath(windowsPath, &parsed, &location)) return -1;
    for (int attempt = 0; attempt < kMaxLinks; ++attempt) {
        UniqueFd fd(OpenAtLocation(location, O_PATH));
        if (!fd) {
            SetLastError(WindowsErrorFromErrno(errno));
            return -1;
        }
        if (!followFinalLink || location.name.empty()) return fd.Release();
        struct stat st;
        if (::fstat(fd.Get(), &st) != 0) {
            SetLastError(WindowsErrorFromErrno(errno));
            return -1;
        }
        if (!S_ISLNK(st.st_mode)) return fd.Release();
        if (!FollowFinalLink(&location)) return -1;
    }
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return -1;
}

bool WindowsPathOfFd(int fd, std::u16string* windowsPath) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(ProcFdPath(fd).c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) return Fail(ERROR_INVALID_HANDLE);
    std::string_view path(buffer, static_cast<size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted)
        return Fail(ERROR_FILE_NOT_FOUND);
    return DiskPathToWindows(path, windowsPath);
}

}  // namespace kiln::platform
