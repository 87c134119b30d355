// The command line of kiln-sftp-server: OpenSSH's sftp-server options, so
// that an sshd_config written for that server keeps working, and our own
// long options for the root, the drive table and the provider.
#pragma once

#include <sys/types.h>
#ifndef _WIN32
#include <syslog.h>  // the values that `facility` holds
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/sftp_log.h"

namespace kiln::sftp {

struct ServerOptions {
    enum class Action { Serve, Help, Version, ListRequests };
    Action action = Action::Serve;

    std::string root = "/";
    // The start directory as given, before its %-tokens are expanded.
    std::string home;
    std::string modulePath;
    bool readOnly = false;
    std::optional<mode_t> umask;
    uint64_t maxInFlight = 0;  // 0: the session's default
    size_t maxHandles = 0;     // 0: the session's default
    bool watchDirectories = true;

    LogLevel level = LogLevel::Error;
    bool logToStderr = false;
    std::string logFile;  // records go to this file instead of the system's log
    int facility = 0;     // a syslog facility; set to AUTH by the parser

    // Requests by OpenSSH's names. No allow list means every request is
    // allowed that the deny list does not name.
    std::optional<std::vector<std::string>> allowedRequests;
    std::vector<std::string> deniedRequests;

    std::vector<std::pair<char16_t, std::string>> drives;
    std::vector<std::pair<std::string, std::string>> switches = {{"PosixPermissions", "Yes"}};
};

// Parses argv. An empty result means success; otherwise it is the reason,
// and the command line is a usage error.
std::string ParseServerOptions(int argc, char** argv, ServerOptions& out);

// The start directory with %d and %h (the user's home), %u (the user's
// name) and %% expanded, as OpenSSH's sshd_config tokens do; nullopt for any
// other %-token, which is a mistake in the configuration, not a path.
std::optional<std::string> ExpandHomeTokens(std::string_view text, std::string_view user,
                                            std::string_view home);

// The usage text of --help.
void PrintUsage(FILE* out);

}  // namespace kiln::sftp
