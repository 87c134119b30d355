// kiln-sftp-server: an SFTP server (protocol versions 3 to 6) for one session
// on standard input and output, serving the file system through the
// KilnSfsWin provider module. Without arguments it stands in for OpenSSH's
// sftp-server: the whole file system, starting in the user's home.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/sftp_log.h"
#include "host/sftp_paths.h"
#include "host/sftp_session.h"
#include "platform/config_files.h"
#include "platform/posix/paths.h"
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

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: kiln-sftp-server [options]\n"
                 "Serves one SFTP session (protocol versions 3 to 6) on standard input and\n"
                 "output, for use as an sshd 'Subsystem sftp' or with 'sftp -D'.\n"
                 "\n"
                 "  --root DIR        serve DIR as \"/\" (default: the whole file system)\n"
                 "  --home DIR, -d DIR  start directory, a path as the client sees it\n"
                 "                    (default: the user's home when it lies below the root)\n"
                 "  -R                read-only: every modifying request is refused\n"
                 "  -l LEVEL          log level: QUIET, ERROR, INFO, VERBOSE, DEBUG\n"
                 "                    (default ERROR)\n"
                 "  -e                log to standard error instead of syslog\n"
                 "  -f FACILITY       accepted for compatibility; syslog uses AUTH\n"
                 "  -u UMASK          umask for new files and directories (octal)\n"
                 "  --drive X=DIR     map drive letter X to the Linux directory DIR\n"
                 "  --module PATH     the provider module (default: %s found next to\n"
                 "                    this program, in ../sfswin, then on the search path)\n"
                 "  -o NAME=VALUE     provider switch: PosixPermissions (default Yes),\n"
                 "                    OwnerGroup, FileShare, ShowHidden (default Yes)\n"
                 "  --max-in-flight BYTES  memory that requests in flight may hold\n"
                 "                    (default 4 MiB)\n"
                 "  --help, --version\n",
                 kModuleName);
}

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

std::string UserHome() {
    std::vector<char> buffer(16384);
    passwd pw{}, *result = nullptr;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
        pw.pw_dir)
        return pw.pw_dir;
    const char* home = getenv("HOME");
    return home ? home : "/";
}

bool KnownSwitch(const std::string& name) {
    return name == "PosixPermissions" || name == "OwnerGroup" || name == "FileShare" ||
           name == "ShowHidden";
}

}  // namespace

int main(int argc, char** argv) {
    std::string root = "/", home, modulePath, levelText = "ERROR";
    bool toStderr = false, readOnly = false;
    uint64_t maxInFlight = kDefaultMaxInFlightBytes;
    std::vector<std::pair<char16_t, std::string>> drives;
    std::vector<std::pair<std::string, std::string>> switches = {{"PosixPermissions", "Yes"}};

    auto fail = [](const std::string& text) {
        std::fprintf(stderr, "kiln-sftp-server: %s\n", text.c_str());
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--version" || a == "-V") {
            std::printf("kiln-sftp-server 5.23 (SFTP protocol versions 3 to 6)\n");
            return 0;
        } else if (a == "--root") {
            if (!value(root)) return fail("--root needs a directory");
        } else if (a == "--home" || a == "-d") {
            if (!value(home)) return fail(a + " needs a directory");
        } else if (a == "-R") {
            readOnly = true;
        } else if (a == "-e") {
            toStderr = true;
        } else if (a == "-l") {
            if (!value(levelText)) return fail("-l needs a level");
        } else if (a == "-f") {
            if (!value(v)) return fail("-f needs a facility");
        } else if (a == "-u") {
            if (!value(v)) return fail("-u needs an octal umask");
            char* end = nullptr;
            long mask = std::strtol(v.c_str(), &end, 8);
            if (!end || *end || mask < 0 || mask > 0777) return fail("bad umask " + v);
            umask(static_cast<mode_t>(mask));
        } else if (a == "--module") {
            if (!value(modulePath)) return fail("--module needs a path");
        } else if (a == "--max-in-flight") {
            if (!value(v)) return fail("--max-in-flight needs a number");
            maxInFlight = std::strtoull(v.c_str(), nullptr, 10);
            if (maxInFlight == 0) return fail("bad --max-in-flight " + v);
        } else if (a == "--drive") {
            if (!value(v) || v.size() < 3 || v[1] != '=' ||
                !std::isalpha(static_cast<unsigned char>(v[0])))
                return fail("--drive needs X=DIR");
            drives.emplace_back(static_cast<char16_t>(std::toupper(v[0])), v.substr(2));
        } else if (a == "-o") {
            if (!value(v) || v.find('=') == std::string::npos) return fail("-o needs NAME=VALUE");
            std::string name = v.substr(0, v.find('='));
            if (!KnownSwitch(name)) return fail("unknown provider switch " + name);
            bool replaced = false;
            for (auto& [n, val] : switches)
                if (n == name) {
                    val = v.substr(v.find('=') + 1);
                    replaced = true;
                }
            if (!replaced) switches.emplace_back(name, v.substr(v.find('=') + 1));
        } else {
            std::fprintf(stderr, "kiln-sftp-server: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }

    LogLevel level;
    if (!ParseLogLevel(levelText, level)) return fail("unknown log level " + levelText);
    Logger log(toStderr ? Logger::Sink::Stderr : Logger::Sink::Syslog, level);
    // A client that goes away must end the session, not kill it mid-write;
    // a file size limit (ulimit -f) must refuse the write that crosses it
    // (EFBIG), not end every session of the process.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    for (const auto& [letter, dir] : drives) {
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
    if (!platform::LinuxPathToWindows(root, &rootPath)) {
        log.Log(LogLevel::Error, "root " + root + " lies on no drive; map one with --drive");
        return 1;
    }

    void* module = LoadModule(modulePath, log);
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
    options.home = home.empty() ? HomeBelowRoot(root, UserHome()) : home;
    options.readOnly = readOnly;
    options.maxInFlightBytes = maxInFlight;
    for (const auto& [name, value] : switches)
        options.parameters.emplace_back(std::u16string(Widen(name).sv()),
                                        std::u16string(Widen(value).sv()));
    ProviderLink link{provider.get(), &provider->InitPort(), &provider->RequestPort(),
                      &provider->EofPort(), provider->GetProviderInfo()};
    if (!link.info) {
        log.Log(LogLevel::Error, "the provider gave no description of itself");
        return 1;
    }
    log.Log(LogLevel::Verbose, "serving " + root + " as /, starting in " + options.home);
    int status;
    {
        SftpSession session(std::move(link), std::move(options), log);
        EnlargePipe(STDIN_FILENO);
        EnlargePipe(STDOUT_FILENO);
        status = session.Serve(STDIN_FILENO, STDOUT_FILENO);
    }
    provider.reset();
    // The module stays loaded: objects it made may be released as the
    // process ends.
    return status;
}
