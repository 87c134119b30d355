// What the front end asks of Linux itself (host/host_os.h).
#include "host/host_os.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <malloc.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

#include "host/sftp_log.h"
#include "host/sftp_paths.h"
#include "platform/config_files.h"

namespace kiln::sftp::os {

void WriteStandardError(std::string_view text) {
    ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}

void OpenSystemLog(int facility) {
    openlog("kiln-sftp-server", LOG_PID, facility);
}

void CloseSystemLog() {
    closelog();
}

void WriteSystemLog(LogLevel level, const std::string& line) {
    // As OpenSSH's servers: VERBOSE is a finer INFO, not a kind of
    // debugging, and a syslog that keeps INFO must keep it too.
    int priority = level == LogLevel::Error   ? LOG_ERR
                   : level == LogLevel::Debug ? LOG_DEBUG
                                              : LOG_INFO;
    syslog(priority, "%s", line.c_str());
}

std::optional<int> FacilityByName(std::string_view name) {
    struct Facility {
        const char* name;
        int value;
    };
    // OpenSSH's names for its -f option.
    static constexpr Facility kFacilities[] = {
        {"DAEMON", LOG_DAEMON},     {"USER", LOG_USER},     {"AUTH", LOG_AUTH},
        {"AUTHPRIV", LOG_AUTHPRIV}, {"LOCAL0", LOG_LOCAL0}, {"LOCAL1", LOG_LOCAL1},
        {"LOCAL2", LOG_LOCAL2},     {"LOCAL3", LOG_LOCAL3}, {"LOCAL4", LOG_LOCAL4},
        {"LOCAL5", LOG_LOCAL5},     {"LOCAL6", LOG_LOCAL6}, {"LOCAL7", LOG_LOCAL7},
    };
    const std::string text(name);
    for (const Facility& f : kFacilities)
        if (strcasecmp(f.name, text.c_str()) == 0) return f.value;
    return std::nullopt;
}

int DefaultFacility() {
    return LOG_AUTH;
}

FILE* OpenLogFile(const std::string& path) {
    return std::fopen(path.c_str(), "ae");
}

void TuneAllocator() {
    // Every WRITE of an upload arrives in a buffer of its own, freed once
    // the data is on disk. With glibc's own thresholds the heap's top was
    // given back and taken again every few packets, and each page taken
    // again came zeroed through a page fault (up to 30,000 per 512 MiB).
    // The session gives free memory back when it has been idle instead.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
}

void ReturnFreeMemory() {
    malloc_trim(0);
}

WakeSignal::~WakeSignal() {
    for (int fd : {m_wait, m_set})
        if (fd >= 0) close(fd);
}

bool WakeSignal::Open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    m_wait = fds[0];
    m_set = fds[1];
    return true;
}

void WakeSignal::Set() {
    if (m_set < 0) return;
    char b = 1;
    ssize_t ignored = write(m_set, &b, 1);
    (void)ignored;
}

bool OutputHungUp(NativeStream out) {
    // No events asked: poll reports an error (a pipe nobody reads) or a
    // hang-up (a socket closed both ways) anyway. A socket that the client
    // only half-closed reports neither, and is served on.
    pollfd fd{out, 0, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

namespace {

// Opens a canonical client path below `root` as the kernel resolves it,
// links included but never out of the root (openat2's RESOLVE_IN_ROOT).
int OpenBelowRoot(const std::string& root, std::string_view clientPath, int flags) {
    const int rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return -1;
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_IN_ROOT;
    const std::string relative =
        clientPath.size() <= 1 ? std::string(".") : std::string(clientPath.substr(1));
    const long fd = syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
    const int error = errno;
    close(rootFd);
    errno = error;
    return static_cast<int>(fd);
}

}  // namespace

int StartDirectoryError(const std::string& root, std::string_view clientPath) {
    const int fd = OpenBelowRoot(root, clientPath, O_PATH | O_DIRECTORY);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

InodeCounts InodeCountsOf(const std::string& root, std::string_view clientPath) {
    InodeCounts counts;
    const int fd = OpenBelowRoot(root, clientPath, O_PATH);
    if (fd < 0) return counts;
    struct statvfs vfs {};
    if (fstatvfs(fd, &vfs) == 0) counts = {vfs.f_files, vfs.f_ffree, vfs.f_favail};
    close(fd);
    return counts;
}

std::optional<std::pair<uint64_t, uint64_t>> FileIdentity(const std::string& root,
                                                          std::string_view clientPath) {
    struct stat st;
    const std::string path = root == "/" ? std::string(clientPath) : root + std::string(clientPath);
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::pair<uint64_t, uint64_t>{st.st_dev, st.st_ino};
}

unsigned long ProcessId() {
    return static_cast<unsigned long>(getpid());
}

bool LocalTime(time_t t, tm& out) {
    return localtime_r(&t, &out) != nullptr;
}

User CurrentUser() {
    std::vector<char> buffer(16384);
    passwd pw{}, *result = nullptr;
    User user;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result) {
        if (pw.pw_name) user.name = pw.pw_name;
        if (pw.pw_dir) user.home = pw.pw_dir;
    }
    if (user.name.empty()) user.name = std::to_string(getuid());
    if (user.home.empty()) {
        const char* home = getenv("HOME");
        user.home = home ? home : "/";
    }
    return user;
}

std::optional<std::string> HomeOfUser(const std::string& name) {
    std::vector<char> buffer(16384);
    passwd pw{}, *result = nullptr;
    if (getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &result) != 0 || !result ||
        !pw.pw_dir)
        return std::nullopt;
    return std::string(pw.pw_dir);
}

std::vector<std::string> ModuleCandidates() {
    constexpr const char* kModuleName = "libKilnSfsWin.so";
    std::string dir = ".";
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) {
        buffer[n] = 0;
        dir = ParentPath(buffer);
    }
    return {JoinPath(dir, kModuleName),
            // Where the package puts it, beside the libraries the program uses.
            JoinPath(ParentPath(dir), std::string("lib/kiln-sftp-server/") + kModuleName),
            // The build tree.
            JoinPath(ParentPath(dir), std::string("sfswin/") + kModuleName),
            kModuleName};  // the ordinary search path
}

void* LoadModule(const std::string& path, std::string& error) {
    if (path.find('/') != std::string::npos && access(path.c_str(), F_OK) != 0) {
        error = path + ": not found";
        return nullptr;
    }
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) error = dlerror();
    return module;
}

void* ModuleExport(void* module, const char* name) {
    return dlsym(module, name);
}

std::string MapDrive(char16_t letter, const std::string& dir) {
    return platform::SetDrive(letter, dir) ? std::string() : std::string("bad drive mapping");
}

std::optional<std::string> RealDirectory(const std::string& path) {
    char resolved[PATH_MAX];
    struct stat st {};
    if (!realpath(path.c_str(), resolved) || stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return std::string(resolved);
}

void PrepareProcess(std::optional<uint32_t> mask) {
    if (mask) umask(static_cast<mode_t>(*mask));
    TuneAllocator();
    // A client that goes away must end the session, not kill it mid-write;
    // a file size limit (ulimit -f) must refuse the write that crosses it
    // (EFBIG), not end every session of the process.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // A pipe's default 64 KiB is half of one large READ reply or WRITE
    // request, so each side would wake the other several times per packet.
    // With 1 MiB (the largest an unprivileged process may ask for) a whole
    // window of packets moves per wake-up. On anything but a pipe this fails
    // harmlessly.
    (void)fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);
    (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
}

uint32_t CreateMask() {
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

bool InputIsTerminal() {
    return isatty(STDIN_FILENO);
}

std::optional<std::string> Environment(const char* name) {
    const char* value = getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

NativeStream StandardInput() {
    return STDIN_FILENO;
}

NativeStream StandardOutput() {
    return STDOUT_FILENO;
}

}  // namespace kiln::sftp::os
