// The drive table, the share table and the confinement root.

#include "platform/posix/names/drive_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/config_files.h"
#include "platform/posix/names/name_mapping.h"
#include "platform/posix/system/ascii_case.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/errors.h"

namespace kiln::platform {
namespace {

std::mutex g_configLock;

std::shared_ptr<const FileConfig>& ConfigSlot() {
    // Never destroyed: calls may run during process exit.
    static auto* slot = new std::shared_ptr<const FileConfig>;
    return *slot;
}

std::string NormaliseLinuxDirectory(const std::string& dir) {
    std::string out = "/";
    for (const std::string& part : SplitLinuxPath(dir)) {
        if (out.size() > 1) out += '/';
        out += part;
    }
    return out;
}

// Opens a configured directory. A directory that cannot be opened yet keeps
// descriptor -1; paths on it then fail with ERROR_PATH_NOT_FOUND.
std::shared_ptr<BoundaryDir> OpenBoundary(const std::string& linuxDir) {
    auto dir = std::make_shared<BoundaryDir>();
    dir->linuxPath = NormaliseLinuxDirectory(linuxDir);
    dir->realPath = dir->linuxPath;
    dir->fd.Reset(::open(dir->linuxPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir->fd) {
        char buffer[PATH_MAX];
        ssize_t n = ::readlink(ProcFdPath(dir->fd.Get()).c_str(), buffer, sizeof buffer - 1);
        if (n > 0) dir->realPath.assign(buffer, static_cast<size_t>(n));
    }
    return dir;
}

std::shared_ptr<FileConfig> DefaultConfig() {
    auto config = std::make_shared<FileConfig>();
    config->drives['C' - 'A'] = OpenBoundary("/");
    return config;
}

// Copy of the current configuration for modification, under g_configLock.
std::shared_ptr<FileConfig> MutableCopy() {
    std::shared_ptr<const FileConfig>& slot = ConfigSlot();
    if (!slot) return DefaultConfig();
    return std::make_shared<FileConfig>(*slot);
}

std::atomic<uint64_t> g_configVersion{0};

void Publish(std::shared_ptr<FileConfig> config) {
    ConfigSlot() = std::move(config);
    g_configVersion.fetch_add(1, std::memory_order_release);
}

int DriveIndex(char16_t letter) {
    if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 32);
    if (letter < u'A' || letter > u'Z') return -1;
    return letter - u'A';
}

std::atomic<bool> g_pendingForTests{false};

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

}  // namespace

uint64_t FileConfigVersion() {
    return g_configVersion.load(std::memory_order_acquire);
}

std::shared_ptr<const FileConfig> CurrentFileConfig() {
    std::lock_guard guard(g_configLock);
    std::shared_ptr<const FileConfig>& slot = ConfigSlot();
    if (!slot) slot = DefaultConfig();
    return slot;
}

const UncShare* FindShare(const FileConfig& config, const ParsedPath& parsed) {
    for (const UncShare& share : config.shares) {
        if (SameIgnoringAsciiCase(share.server, parsed.server) &&
            SameIgnoringAsciiCase(share.share, parsed.share))
            return &share;
    }
    return nullptr;
}

bool VolumeDirectoryOf(const ParsedPath& parsed, std::string* linuxDirectory) {
    std::shared_ptr<const FileConfig> config = CurrentFileConfig();
    if (parsed.unc) {
        const UncShare* share = FindShare(*config, parsed);
        if (!share) {
            SetLastError(ERROR_BAD_NETPATH);
            return false;
        }
        *linuxDirectory = share->dir->linuxPath;
        return true;
    }
    const auto& drive = config->drives[parsed.drive - u'A'];
    if (!drive) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    *linuxDirectory = drive->linuxPath;
    return true;
}

bool SetDrive(char16_t letter, const std::string& linuxDirectory) {
    int index = DriveIndex(letter);
    if (index < 0 || linuxDirectory.empty() || linuxDirectory[0] != '/') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto dir = OpenBoundary(linuxDirectory);
    std::lock_guard guard(g_configLock);
    auto config = MutableCopy();
    config->drives[index] = std::move(dir);
    Publish(std::move(config));
    return true;
}

bool RemoveDrive(char16_t letter) {
    int index = DriveIndex(letter);
    if (index < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard guard(g_configLock);
    auto config = MutableCopy();
    config->drives[index].reset();
    Publish(std::move(config));
    return true;
}

void ResetDriveTable() {
    auto fresh = DefaultConfig();
    std::lock_guard guard(g_configLock);
    auto config = MutableCopy();
    config->drives = fresh->drives;
    Publish(std::move(config));
}

bool SetShare(std::u16string_view server, std::u16string_view share,
              const std::string& linuxDirectory) {
    if (server.empty() || share.empty() || linuxDirectory.empty() || linuxDirectory[0] != '/') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto dir = OpenBoundary(linuxDirectory);
    std::lock_guard guard(g_configLock);
    auto config = MutableCopy();
    std::erase_if(config->shares, [&](const UncShare& entry) {
        return SameIgnoringAsciiCase(entry.server, server) &&
               SameIgnoringAsciiCase(entry.share, share);
    });
    config->shares.push_back(UncShare{std::u16string(server), std::u16string(share), dir});
    Publish(std::move(config));
    return true;
}

void ClearShares() {
    std::lock_guard guard(g_configLock);
    auto config = MutableCopy();
    config->shares.clear();
    Publish(std::move(config));
}

bool SetConfinementRoot(LPCWSTR windowsRoot) {
    if (windowsRoot == nullptr || windowsRoot[0] == 0) {
        std::lock_guard guard(g_configLock);
        auto config = MutableCopy();
        config->hasRoot = false;
        config->rootPath = ParsedPath();
        config->root.reset();
        Publish(std::move(config));
        return true;
    }
    ParsedPath parsed;
    std::string linuxRoot;
    if (!ParseWindowsPath(windowsRoot, false, &parsed) ||
        !WindowsPathToDisk(windowsRoot, &linuxRoot))
        return false;
    auto root = OpenBoundary(linuxRoot);
    if (!root->fd) {
        SetLastError(errno == ENOTDIR ? ERROR_DIRECTORY : WindowsErrorFromErrno(errno));
        return false;
    }
    std::lock_guard guard(g_configLock);
    auto config = MutableCopy();
    config->hasRoot = true;
    config->rootPath = std::move(parsed);
    config->rootPath.trailingSeparator = false;
    config->root = std::move(root);
    Publish(std::move(config));
    return true;
}

void SetOverlappedPendingForTests(bool pending) {
    g_pendingForTests.store(pending);
}
bool OverlappedPendingForTests() {
    return g_pendingForTests.load(std::memory_order_relaxed);
}

bool WindowsPathToDisk(LPCWSTR windowsPath, std::string* linuxPath) {
    ParsedPath parsed;
    if (!ParseWindowsPath(windowsPath, false, &parsed)) return false;
    std::string base;
    if (!VolumeDirectoryOf(parsed, &base)) return false;
    std::string result = base;
    for (const std::string& name : parsed.components) {
        if (result.empty() || result.back() != '/') result += '/';
        result += name;
    }
    if (result.size() >= PATH_MAX) return Fail(ERROR_FILENAME_EXCED_RANGE);
    *linuxPath = std::move(result);
    return true;
}

namespace {

// Length of the directory prefix when `path` lies in `dir`, else npos.
size_t MatchDirectory(std::string_view path, std::string_view dir) {
    if (dir.empty()) return std::string_view::npos;
    if (dir == "/") return 0;
    if (path.size() < dir.size() || path.compare(0, dir.size(), dir) != 0)
        return std::string_view::npos;
    if (path.size() > dir.size() && path[dir.size()] != '/') return std::string_view::npos;
    return dir.size();
}

}  // namespace

bool DiskPathToWindows(std::string_view linuxPath, std::u16string* windowsPath) {
    if (linuxPath.empty() || linuxPath[0] != '/') return Fail(ERROR_PATH_NOT_FOUND);
    std::shared_ptr<const FileConfig> config = CurrentFileConfig();
    size_t best = std::string_view::npos;
    std::u16string volume;
    auto consider = [&](const BoundaryDir& dir, std::u16string name) {
        for (const std::string* candidate : {&dir.linuxPath, &dir.realPath}) {
            size_t length = MatchDirectory(linuxPath, *candidate);
            if (length == std::string_view::npos) continue;
            if (best == std::string_view::npos || length > best) {
                best = length;
                volume = name;
            }
        }
    };
    for (int i = 0; i < 26; ++i) {
        if (config->drives[i])
            consider(*config->drives[i], std::u16string{char16_t(u'A' + i), u':'});
    }
    for (const UncShare& share : config->shares)
        consider(*share.dir, u"\\\\" + share.server + u"\\" + share.share);
    if (best == std::string_view::npos) return Fail(ERROR_PATH_NOT_FOUND);

    std::u16string result = volume;
    for (const std::string& name : SplitLinuxPath(linuxPath.substr(best))) {
        result += u'\\';
        result += DiskNameToWindows(name);
    }
    if (result.size() == volume.size()) result += u'\\';
    *windowsPath = std::move(result);
    return true;
}

}  // namespace kiln::platform
