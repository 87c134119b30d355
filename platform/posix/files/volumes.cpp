// Volumes and drives: the mount point that holds a path, free space through
// statvfs, the drive table as a bit mask. Encryption does not exist here.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/posix/names/confinement.h"
#include "platform/posix/names/drive_table.h"
#include "platform/posix/names/name_mapping.h"
#include "platform/posix/names/path_parsing.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/errors.h"
#include "platform/win32_files.h"

namespace kiln::platform {
namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Mount points as /proc/self/mountinfo spells them (octal escapes undone).
std::vector<std::string> MountPoints() {
    std::vector<std::string> points;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point)) continue;
        std::string decoded;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                int value =
                    (point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0');
                decoded += static_cast<char>(value);
                i += 3;
            } else {
                decoded += point[i];
            }
        }
        points.push_back(decoded);
    }
    return points;
}

bool ComponentsStartWith(const std::vector<std::string>& path,
                         const std::vector<std::string>& prefix) {
    if (prefix.size() > path.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (path[i] != prefix[i]) return false;
    return true;
}

// Volume queries may name the confinement root's ancestors (the volume root
// of the root usually lies above it): those are answered for the root itself.
// Anything else must lie inside the confinement.
int OpenForVolumeQuery(LPCWSTR path) {
    ParsedPath parsed;
    if (!ParseWindowsPath(path, false, &parsed)) return -1;
    std::shared_ptr<const FileConfig> config = CurrentFileConfig();
    if (config->hasRoot && parsed.unc == config->rootPath.unc &&
        parsed.drive == config->rootPath.drive &&
        parsed.components.size() < config->rootPath.components.size() &&
        ComponentsStartWith(config->rootPath.components, parsed.components))
        return ::fcntl(config->root->fd.Get(), F_DUPFD_CLOEXEC, 0);
    return OpenPathConfined(path, true);
}

}  // namespace
}  // namespace kiln::platform

using namespace kiln::platform;

BOOL GetVolumePathNameW(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName, DWORD cchBufferLength) {
    if (!lpszVolumePathName) return Fail(ERROR_INVALID_PARAMETER);
    ParsedPath parsed;
    std::string linuxPath;
    if (!ParseWindowsPath(lpszFileName, false, &parsed) ||
        !WindowsPathToDisk(lpszFileName, &linuxPath))
        return FALSE;
    std::string volumeDir;
    if (!VolumeDirectoryOf(parsed, &volumeDir)) return FALSE;

    // The deepest mount point that holds the path, but never above the
    // directory of its drive or share: that is the volume Windows paths see.
    std::vector<std::string> pathParts = SplitLinuxPath(linuxPath);
    size_t depth = SplitLinuxPath(volumeDir).size();
    for (const std::string& point : MountPoints()) {
        std::vector<std::string> parts = SplitLinuxPath(point);
        if (parts.size() > depth && ComponentsStartWith(pathParts, parts)) depth = parts.size();
    }
    std::u16string result;
    if (parsed.unc) {
        result = u"\\\\" + parsed.server + u"\\" + parsed.share;
    } else {
        result = std::u16string{parsed.drive, u':'};
    }
    const size_t volumeDepth = SplitLinuxPath(volumeDir).size();
    for (size_t i = volumeDepth; i < depth; ++i) result += u"\\" + DiskNameToWindows(pathParts[i]);
    result += u'\\';
    if (parsed.longForm)
        result = (parsed.unc ? u"\\\\?\\UNC\\" + result.substr(2) : u"\\\\?\\" + result);
    if (cchBufferLength <= result.size()) return Fail(ERROR_FILENAME_EXCED_RANGE);
    std::memcpy(lpszVolumePathName, result.c_str(), (result.size() + 1) * sizeof(char16_t));
    return TRUE;
}

BOOL GetDiskFreeSpaceW(LPCWSTR lpRootPathName, LPDWORD lpSectorsPerCluster,
                       LPDWORD lpBytesPerSector, LPDWORD lpNumberOfFreeClusters,
                       LPDWORD lpTotalNumberOfClusters) {
    UniqueFd fd(OpenForVolumeQuery(lpRootPathName ? lpRootPathName : u"C:\\"));
    if (!fd) return FALSE;
    struct statvfs vfs;
    if (::fstatvfs(fd.Get(), &vfs) != 0) return Fail(WindowsErrorFromErrno(errno));
    constexpr DWORD kSector = 512;
    const unsigned long cluster = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    auto clamp = [](fsblkcnt_t value) {
        return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(value);
    };
    if (lpSectorsPerCluster) *lpSectorsPerCluster = cluster >= kSector ? cluster / kSector : 1;
    if (lpBytesPerSector) *lpBytesPerSector = cluster >= kSector ? kSector : cluster;
    if (lpNumberOfFreeClusters) *lpNumberOfFreeClusters = clamp(vfs.f_bavail);
    if (lpTotalNumberOfClusters) *lpTotalNumberOfClusters = clamp(vfs.f_blocks);
    return TRUE;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                         PULARGE_INTEGER lpTotalNumberOfBytes,
                         PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
    UniqueFd fd(OpenForVolumeQuery(lpDirectoryName ? lpDirectoryName : u"C:\\"));
    if (!fd) return FALSE;
    struct statvfs vfs;
    if (::fstatvfs(fd.Get(), &vfs) != 0) return Fail(WindowsErrorFromErrno(errno));
    const ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = vfs.f_bavail * unit;
    if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = vfs.f_blocks * unit;
    if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = vfs.f_bfree * unit;
    return TRUE;
}

DWORD GetLogicalDrives() {
    std::shared_ptr<const FileConfig> config = CurrentFileConfig();
    DWORD mask = 0;
    for (int i = 0; i < 26; ++i)
        if (config->drives[i]) mask |= 1u << i;
    SetLastError(ERROR_SUCCESS);
    return mask;
}

BOOL EncryptFileW(LPCWSTR /*lpFileName*/) {
    return Fail(ERROR_NOT_SUPPORTED);
}

BOOL DecryptFileW(LPCWSTR /*lpFileName*/, DWORD /*dwReserved*/) {
    return Fail(ERROR_NOT_SUPPORTED);
}
