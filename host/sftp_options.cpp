#include "host/sftp_options.h"

#include <getopt.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "host/host_os.h"
#include "host/sftp_session.h"

namespace kiln::sftp {
namespace {

constexpr const char* kSwitches[] = {"PosixPermissions", "OwnerGroup", "FileShare", "ShowHidden"};

// A comma-separated list of request names. A name that the server does not
// know is refused rather than ignored: a misspelt name in a deny list would
// otherwise leave that request allowed without a word.
std::string ParseRequestList(std::string_view text, std::vector<std::string>& out) {
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string_view name = text.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (name.empty()) return "empty request name in list \"" + std::string(text) + "\"";
        if (!IsRequestName(name))
            return "unknown request \"" + std::string(name) + "\" (-Q requests lists them)";
        out.emplace_back(name);
        if (comma == std::string_view::npos) return {};
        start = comma + 1;
    }
}

enum LongOption { kRoot = 256, kModule, kDrive, kMaxInFlight, kMaxHandles, kLogFile, kNoWatch };

}  // namespace

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: kiln-sftp-server [options]\n"
                 "       kiln-sftp-server -Q requests\n"
                 "Serves one SFTP session (protocol versions 3 to 6) on standard input and\n"
                 "output, for use as an sshd 'Subsystem sftp' or with 'sftp -D'.\n"
                 "\n"
                 "  --root DIR        serve DIR as \"/\" (default: the whole file system)\n"
                 "  -d DIR, --home DIR  start directory, a path as the client sees it; %%d and\n"
                 "                    %%h stand for the user's home, %%u for the user's name\n"
                 "                    (default: the user's home when it lies below the root)\n"
                 "  -R                read-only: every modifying request is refused\n"
                 "  -p LIST           allow only these requests (comma-separated names)\n"
                 "  -P LIST           deny these requests; applied before -p\n"
                 "  -Q requests       list the request names for -p and -P, and exit\n"
                 "  -u UMASK          umask for new files and directories (octal), applied\n"
                 "                    to the modes that clients ask for as well\n"
                 "  -l LEVEL          log level: QUIET, FATAL, ERROR, INFO, VERBOSE, DEBUG,\n"
                 "                    DEBUG1 to DEBUG3 (default ERROR; INFO logs requests)\n"
                 "  -f FACILITY       syslog facility: DAEMON, USER, AUTH, AUTHPRIV,\n"
                 "                    LOCAL0 to LOCAL7 (default AUTH)\n"
                 "  -e                log to standard error instead of syslog\n"
                 "  --log-file FILE   append log records to FILE instead of syslog (on\n"
                 "                    Windows: instead of the event log; -f means nothing)\n"
                 "  --drive X=DIR     map drive letter X to the Linux directory DIR\n"
                 "  --module PATH     the provider module (default: libKilnSfsWin.so found\n"
                 "                    next to this program, in ../lib/kiln-sftp-server,\n"
                 "                    in ../sfswin, then on the search path)\n"
                 "  -o NAME=VALUE     provider switch: PosixPermissions (default Yes),\n"
                 "                    OwnerGroup, FileShare, ShowHidden (default Yes)\n"
                 "  --max-in-flight BYTES  memory that requests in flight may hold\n"
                 "                    (default 4 MiB)\n"
                 "  --max-handles N   open files and directories a session may hold\n"
                 "                    (default 1024; an open beyond them fails)\n"
                 "  --no-watch        resolve every path afresh for each request instead of\n"
                 "                    keeping directories between requests, watched with\n"
                 "                    inotify (one inotify instance per session, counted\n"
                 "                    against fs.inotify.max_user_instances)\n"
                 "  -h, --help        this text\n"
                 "  -V, --version     the version\n"
                 "\n"
                 "A handle holds at most 1024 byte-range locks (block) and a session at\n"
                 "most 4096; one more is refused with QUOTA_EXCEEDED (Failure before\n"
                 "version 5). Only a handle with write access takes locks or denies others\n"
                 "reading or writing, only one with delete access denies delete.\n");
}

std::optional<std::string> ExpandHomeTokens(std::string_view text, std::string_view user,
                                            std::string_view home) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
            case '%':
                out += '%';
                break;
            case 'd':
            case 'h':
                out += home;
                break;
            case 'u':
                out += user;
                break;
            default:
                return std::nullopt;
        }
    }
    return out;
}

std::string ParseServerOptions(int argc, char** argv, ServerOptions& o) {
    static const option kLong[] = {
        {"root", required_argument, nullptr, kRoot},
        {"log-file", required_argument, nullptr, kLogFile},
        {"home", required_argument, nullptr, 'd'},
        {"module", required_argument, nullptr, kModule},
        {"drive", required_argument, nullptr, kDrive},
        {"max-in-flight", required_argument, nullptr, kMaxInFlight},
        {"max-handles", required_argument, nullptr, kMaxHandles},
        {"no-watch", no_argument, nullptr, kNoWatch},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    o.facility = os::DefaultFacility();
    bool query = false;
    int given = 0;
    // getopt keeps its place in globals: start afresh on every call, and
    // report errors here, in this program's own words.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":d:ef:hl:o:p:P:Q:Ru:V", kLong, nullptr)) != -1) {
        const std::string v = optarg ? optarg : "";
        ++given;
        switch (c) {
            case 'h':
                o.action = ServerOptions::Action::Help;
                return {};
            case 'V':
                o.action = ServerOptions::Action::Version;
                return {};
            case kRoot:
                o.root = v;
                break;
            case 'd':
                o.home = v;
                break;
            case 'R':
                o.readOnly = true;
                break;
            case 'e':
                o.logToStderr = true;
                break;
            case 'l':
                if (!ParseLogLevel(v, o.level)) return "unknown log level " + v;
                break;
            case 'f': {
                auto facility = os::FacilityByName(v);
                if (!facility) return "unknown log facility " + v;
                o.facility = *facility;
                break;
            }
            case kLogFile:
                o.logFile = v;
                break;
            case 'u': {
                char* end = nullptr;
                long mask = std::strtol(v.c_str(), &end, 8);
                if (v.empty() || *end || mask < 0 || mask > 0777) return "bad umask " + v;
                o.umask = static_cast<mode_t>(mask);
                break;
            }
            case 'p': {
                std::vector<std::string> names;
                if (std::string why = ParseRequestList(v, names); !why.empty()) return why;
                if (!o.allowedRequests) o.allowedRequests.emplace();
                o.allowedRequests->insert(o.allowedRequests->end(), names.begin(), names.end());
                break;
            }
            case 'P':
                if (std::string why = ParseRequestList(v, o.deniedRequests); !why.empty())
                    return why;
                break;
            case 'Q':
                if (v != "requests") return "unknown query " + v + " (only \"requests\")";
                query = true;
                break;
            case kModule:
                o.modulePath = v;
                break;
            case kMaxInFlight: {
                char* end = nullptr;
                o.maxInFlight = std::strtoull(v.c_str(), &end, 10);
                if (v.empty() || *end || o.maxInFlight == 0) return "bad --max-in-flight " + v;
                break;
            }
            case kNoWatch:
                o.watchDirectories = false;
                break;
            case kMaxHandles: {
                char* end = nullptr;
                const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
                if (v.empty() || *end || n == 0 || n > (1u << 30)) return "bad --max-handles " + v;
                o.maxHandles = static_cast<size_t>(n);
                break;
            }
            case kDrive:
                if (v.size() < 3 || v[1] != '=' || !std::isalpha(static_cast<unsigned char>(v[0])))
                    return "--drive needs X=DIR";
                o.drives.emplace_back(static_cast<char16_t>(std::toupper(v[0])), v.substr(2));
                break;
            case 'o': {
                size_t eq = v.find('=');
                if (eq == std::string::npos) return "-o needs NAME=VALUE";
                std::string name = v.substr(0, eq), value = v.substr(eq + 1);
                bool known = false;
                for (const char* s : kSwitches) known |= name == s;
                if (!known) return "unknown provider switch " + name;
                bool replaced = false;
                for (auto& [n, val] : o.switches)
                    if (n == name) {
                        val = value;
                        replaced = true;
                    }
                if (!replaced) o.switches.emplace_back(name, value);
                break;
            }
            case ':':
                return std::string("option ") + argv[optind - 1] + " needs a value";
            default:
                if (optopt) return std::string("unknown option -") + static_cast<char>(optopt);
                return std::string("unknown option ") + argv[optind - 1];
        }
    }
    if (optind < argc) return std::string("unexpected argument ") + argv[optind];
    // OpenSSH's -Q answers the query and nothing else.
    if (query) {
        if (given != 1) return "-Q takes no other options";
        o.action = ServerOptions::Action::ListRequests;
    }
    return {};
}

}  // namespace kiln::sftp
