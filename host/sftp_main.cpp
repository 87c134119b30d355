// kiln-sftp-server: an SFTP server (protocol versions 3 to 6) for one session
// on standard input and output, serving the file system through the
// KilnSfsWin provider module. Without arguments it stands in for OpenSSH's
// sftp-server: the whole file system, starting in the user's home.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/host_os.h"
#include "host/sftp_handlers.h"
#include "host/sftp_log.h"
#include "host/sftp_options.h"
#include "host/sftp_paths.h"
#include "host/sftp_session.h"
#include "platform/caches.h"
#include "platform/config_files.h"
#include "platform/disk_names.h"
#include "sfs/kiln_sfs_provider.h"

namespace {

using namespace kiln;
using namespace kiln::sftp;

void* LoadModule(const std::string& explicitPath, Logger& log) {
    std::vector<std::string> candidates;
    if (!explicitPath.empty())
        candidates.push_back(explicitPath);
    else
        candidates = os::ModuleCandidates();
    std::string errors;
    for (const std::string& c : candidates) {
        std::string error;
        if (void* module = os::LoadModule(c, error)) return module;
        errors += " " + error + ";";
    }
    log.Log(LogLevel::Error, "cannot load the provider module " +
                                 (explicitPath.empty() ? candidates.back() : explicitPath) + ":" +
                                 errors);
    return nullptr;
}

// The client's address, as sshd passes it on; OpenSSH's servers name it in
// the session's first and last log lines.
std::string ClientAddress() {
    const auto connection = os::Environment("SSH_CONNECTION");
    if (!connection) return "UNKNOWN";
    return connection->substr(0, connection->find(' '));
}

// Why this process is not serving an SFTP subsystem, or empty when it may
// be. Under ForceCommand sshd runs the server for every session of the user
// and names what the client asked for in SSH_ORIGINAL_COMMAND: for the sftp
// subsystem that is the Subsystem line's program (internal-sftp, OpenSSH's
// sftp-server, this server), for anything else the user's command. An
// interactive login gives the server a terminal. A session that gets past
// both is still refused when its first packet is not INIT.
std::string NotSftpReason() {
    if (const auto command = os::Environment("SSH_ORIGINAL_COMMAND")) {
        std::string_view text = *command;
        const size_t begin = text.find_first_not_of(" \t");
        text = begin == std::string_view::npos ? std::string_view() : text.substr(begin);
        std::string_view program = text.substr(0, text.find_first_of(" \t"));
        program = program.substr(program.rfind('/') + 1);
        if (program.find("sftp") == std::string_view::npos)
            return "command \"" + EscapeForLog(*command) + "\" requested";
    }
    if (os::InputIsTerminal()) return "standard input is a terminal";
    return {};
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
        const int error = os::StartDirectoryError(root, canonical);
        if (error == 0) return canonical;
        log.Log(candidate == &wanted ? LogLevel::Error : LogLevel::Verbose,
                "chdir to \"" + EscapeForLog(canonical) + "\" failed: " + std::strerror(error));
    }
    return "/";
}

}  // namespace

// The program's entry (host/posix/program.cpp, host/windows/program.cpp)
// gives the arguments in UTF-8.
int kiln::sftp::RunServer(int argc, char** argv) {
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
    const os::User user = os::CurrentUser();
    Logger log(opts.logToStderr       ? Logger::Sink::Stderr
               : opts.logFile.empty() ? Logger::Sink::Syslog
                                      : Logger::Sink::File,
               opts.level, opts.facility, opts.logFile);
    if (log.Destination() == Logger::Sink::File && !log.FileOpen()) {
        std::fprintf(stderr, "kiln-sftp-server: cannot open the log file %s\n",
                     opts.logFile.c_str());
        return 2;
    }
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
    os::PrepareProcess(opts.umask);
    kiln::platform::caches::SetDirectoryWatching(opts.watchDirectories);
    std::string root = opts.root;

    for (const auto& [letter, dir] : opts.drives) {
        if (std::string why = os::MapDrive(letter, dir); !why.empty()) {
            log.Log(LogLevel::Error, why + ": " + std::string(1, char(letter)) + "=" + dir);
            return 1;
        }
    }
    if (auto resolved = os::RealDirectory(root)) {
        root = *resolved;
    } else {
        log.Log(LogLevel::Error, "root " + root + " is not a directory");
        return 1;
    }
    std::u16string rootPath;
    if (!platform::DiskPathToWindows(root, &rootPath)) {
        log.Log(LogLevel::Error, "root " + root + " lies on no drive; map one with --drive");
        return 1;
    }

    void* module = LoadModule(opts.modulePath, log);
    if (!module) return 1;
    using CreateFn = KilnSfsProvider* (*)();
    auto create = reinterpret_cast<CreateFn>(os::ModuleExport(module, "CreateSfsProvider"));
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
    // A file system on which share modes cannot reach other sessions, or
    // whose storage has failed.
    platform::SetFileSystemNoticeHandler(
        [&log](platform::FileSystemNotice kind, const std::string& text) {
            log.Log(kind == platform::FileSystemNotice::Failure ? LogLevel::Error : LogLevel::Info,
                    text);
        });
#endif
    {
        SftpSession session(std::move(link), std::move(options), log);
        status = session.Serve(os::StandardInput(), os::StandardOutput());
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
