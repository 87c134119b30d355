// kiln-sftp-server: an SFTP server (protocol versions 3 to 6) for one session
// on standard input and output, serving the file system through the
// KilnSfsWin provider module. Without arguments it stands in for OpenSSH's
// sftp-server: the whole file system, starting in the user's home.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/sftp_handlers.h"
#include "host/sftp_log.h"
#include "host/sftp_options.h"
#include "host/sftp_paths.h"
#include "host/sftp_session.h"
#include "platform/config_files.h"
#include "platform/disk_names.h"
#include "sfs/kiln_sfs_provider.h"

namespace {

using namespace kiln;
using namespace kiln::sftp;

// A pipe's default 64 KiB is half of one large READ reply or WRITE request,
// so each side would wake the other several times per packet. With 1 MiB
// (the largest an unprivileged process may ask for) a whole window of
// packets moves per wake-up. On anything but a pipe this fails harmlessly.
void EnlargePipe(int fd) {
    (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}

constexpr const char* kModuleName = "libKilnSfsWin.so";

std::string ExecutableDir() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    buffer[n] = 0;
    return ParentPath(buffer);
}

void* LoadModule(const std::string& explicitPath, Logger& log) {
    std::vector<std::string> candidates;
    if (!explicitPath.empty()) {
        candidates.push_back(explicitPath);
    } else {
        std::string dir = ExecutableDir();
        candidates.push_back(JoinPath(dir, kModuleName));
        // Where the package puts it, beside the libraries the program uses.
        candidates.push_back(
            JoinPath(ParentPath(dir), std::string("lib/kiln-sftp-server/") + kModuleName));
        // The build tree.
        candidates.push_back(JoinPath(ParentPath(dir), std::string("sfswin/") + kModuleName));
        candidates.push_back(kModuleName);  // the ordinary search path
    }
    std::string errors;
    for (const std::string& c : candidates) {
        if (c.find('/') != std::string::npos && access(c.c_str(), F_OK) != 0) {
            errors += " " + c + ": not found;";
            continue;
        }
        if (void* h = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
        errors += std::string(" ") + dlerror() + ";";
    }
    log.Log(LogLevel::Error, "cannot load the provider module " +
                                 (explicitPath.empty() ? std::string(kModuleName) : explicitPath) +
                                 ":" + errors);
    return nullptr;
}

struct User {
    std::string name;
    std::string home;
};

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

// The client's address, as sshd passes it on; OpenSSH's servers name it in
// the session's first and last log lines.
std::string ClientAddress() {
    const char* connection = getenv("SSH_CONNECTION");
    if (!connection) return "UNKNOWN";
    std::string text = connection;
    return text.substr(0, text.find(' '));
}

// Why this process is not serving an SFTP subsystem, or empty when it may
// be. Under ForceCommand sshd runs the server for every session of the user
// and names what the client asked for in SSH_ORIGINAL_COMMAND: for the sftp
// subsystem that is the Subsystem line's program (internal-sftp, OpenSSH's
// sftp-server, this server), for anything else the user's command. An
// interactive login gives the server a terminal. A session that gets past
// both is still refused when its first packet is not INIT.
std::string NotSftpReason() {
    if (const char* command = getenv("SSH_ORIGINAL_COMMAND")) {
        std::string_view text = command;
        const size_t begin = text.find_first_not_of(" \t");
        text = begin == std::string_view::npos ? std::string_view() : text.substr(begin);
        std::string_view program = text.substr(0, text.find_first_of(" \t"));
        program = program.substr(program.rfind('/') + 1);
        if (program.find("sftp") == std::string_view::npos)
            return "command \"" + EscapeForLog(command) + "\" requested";
    }
    if (isatty(STDIN_FILENO)) return "standard input is a terminal";
    return {};
}

// The start directory, or why it cannot be (an errno value).
int StartDirectoryError(const std::string& root, const std::string& clientPath) {
    const int fd = OpenBelowRoot(root, clientPath, O_PATH | O_DIRECTORY);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

// OpenSSH's server stays where sshd left it (the home directory) when -d
// names a directory that is missing, and says so; a session that started in
// a missing directory would fail every relative request. A missing home
// directory is sshd's to report, so it is only noted.
std::string StartDirectory(const std::string& root, const std::string& wanted,
                           const std::string& home, Logger& log) {
    for (const std::string* candidate : {&wanted, &home}) {
        const std::string& dir = *candidate;
        if (dir.empty()) continue;
        const std::string canonical = CanonicalPath("/", dir).value_or("/");
        const int error = StartDirectoryError(root, canonical);
        if (error == 0) return canonical;
        log.Log(candidate == &wanted ? LogLevel::Error : LogLevel::Verbose,
                "chdir to \"" + EscapeForLog(canonical) + "\" failed: " + std::strerror(error));
    }
    return "/";
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions opts;
    if (std::string why = ParseServerOptions(argc, argv, opts); !why.empty()) {
        std::fprintf(stderr, "kiln-sftp-server: %s (--help lists the options)\n", why.c_str());
        return 2;
    }
    switch (opts.action) {
        case ServerOptions::Action::Help:
            PrintUsage(stdout);
            return 0;
        case ServerOptions::Action::Version:
            std::printf("kiln-sftp-server 5.23 (SFTP protocol versions 3 to 6)\n");
            return 0;
        case ServerOptions::Action::ListRequests:
            for (std::string_view name : RequestNames())
                std::printf("%.*s\n", static_cast<int>(name.size()), name.data());
            return 0;
        case ServerOptions::Action::Serve:
            break;
    }
    const User user = CurrentUser();
    Logger log(opts.logToStderr ? Logger::Sink::Stderr : Logger::Sink::Syslog, opts.level,
               opts.facility);
    if (std::string why = NotSftpReason(); !why.empty()) {
        RefuseNonSftpSession(
            log, why + " by local user " + user.name + " from [" + ClientAddress() + "]");
        return 1;
    }
    std::string home;
    if (!opts.home.empty()) {
        auto expanded = ExpandHomeTokens(opts.home, user.name, user.home);
        if (!expanded) {
            std::fprintf(stderr,
                         "kiln-sftp-server: bad %%-token in start directory %s "
                         "(%%d, %%h, %%u and %%%% are known)\n",
                         opts.home.c_str());
            return 2;
        }
        home = *expanded;
    }
    if (opts.umask) umask(*opts.umask);
    std::string root = opts.root;
    // Every WRITE of an upload arrives in a buffer of its own, freed once
    // the data is on disk. With glibc's own thresholds the heap's top was
    // given back and taken again every few packets, and each page taken
    // again came zeroed through a page fault (up to 30,000 per 512 MiB).
    // The session gives free memory back when it has been idle instead.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);

    // A client that goes away must end the session, not kill it mid-write;
    // a file size limit (ulimit -f) must refuse the write that crosses it
    // (EFBIG), not end every session of the process.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    for (const auto& [letter, dir] : opts.drives) {
        if (!platform::SetDrive(letter, dir)) {
            log.Log(LogLevel::Error,
                    "bad drive mapping " + std::string(1, char(letter)) + "=" + dir);
            return 1;
        }
    }
    char resolved[PATH_MAX];
    struct stat st {};
    if (!realpath(root.c_str(), resolved) || stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
        log.Log(LogLevel::Error, "root " + root + " is not a directory");
        return 1;
    }
    root = resolved;
    std::u16string rootPath;
    if (!platform::DiskPathToWindows(root, &rootPath)) {
        log.Log(LogLevel::Error, "root " + root + " lies on no drive; map one with --drive");
        return 1;
    }

    void* module = LoadModule(opts.modulePath, log);
    if (!module) return 1;
    using CreateFn = KilnSfsProvider* (*)();
    auto create = reinterpret_cast<CreateFn>(dlsym(module, "CreateSfsProvider"));
    if (!create) {
        log.Log(LogLevel::Error, "the provider module has no CreateSfsProvider");
        return 1;
    }
    std::unique_ptr<KilnSfsProvider> provider(create());
    if (!provider) {
        log.Log(LogLevel::Error, "the provider could not be created");
        return 1;
    }

    SessionOptions options;
    options.root = root;
    options.rootPath = rootPath;
    options.readOnly = opts.readOnly;
    options.allowedRequests = opts.allowedRequests;
    options.deniedRequests = opts.deniedRequests;
    if (opts.maxInFlight) options.maxInFlightBytes = opts.maxInFlight;
    if (opts.maxHandles) options.maxHandles = opts.maxHandles;
    for (const auto& [name, value] : opts.switches)
        options.parameters.emplace_back(std::u16string(Widen(name).sv()),
                                        std::u16string(Widen(value).sv()));
    ProviderLink link{provider.get(), &provider->InitPort(), &provider->RequestPort(),
                      &provider->EofPort(), provider->GetProviderInfo()};
    if (!link.info) {
        log.Log(LogLevel::Error, "the provider gave no description of itself");
        return 1;
    }
    const std::string who = user.name + " from [" + ClientAddress() + "]";
    log.Log(LogLevel::Info, "session opened for local user " + who);
    options.home = StartDirectory(root, home, HomeBelowRoot(root, user.home), log);
    log.Log(LogLevel::Debug, "serving " + root + " as /, starting in " + options.home);
    int status;
#ifndef _WIN32
    // A file system on which share modes cannot reach other sessions.
    platform::SetFileSystemNoticeHandler(
        [&log](const std::string& text) { log.Log(LogLevel::Info, text); });
#endif
    {
        SftpSession session(std::move(link), std::move(options), log);
        EnlargePipe(STDIN_FILENO);
        EnlargePipe(STDOUT_FILENO);
        status = session.Serve(STDIN_FILENO, STDOUT_FILENO);
    }
#ifndef _WIN32
    platform::SetFileSystemNoticeHandler(nullptr);
#endif
    log.Log(LogLevel::Info, "session closed for local user " + who);
    provider.reset();
    // The module stays loaded: objects it made may be released as the
    // process ends.
    return status;
}
