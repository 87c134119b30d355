#include "host/sftp_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string>

namespace kiln::sftp {

bool ParseLogLevel(std::string_view text, LogLevel& level) {
    std::string t;
    for (char c : text) t += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (t == "QUIET" || t == "FATAL")
        level = LogLevel::Quiet;
    else if (t == "ERROR")
        level = LogLevel::Error;
    else if (t == "INFO")
        level = LogLevel::Info;
    else if (t == "VERBOSE")
        level = LogLevel::Verbose;
    else if (t == "DEBUG" || t == "DEBUG1" || t == "DEBUG2" || t == "DEBUG3")
        level = LogLevel::Debug;
    else
        return false;
    return true;
}

LogLevel LevelOfProviderLog(SfsLogType type) {
    // A provider record is about one client request: a failed request (a
    // missing file the client probes for) is the client's business, not a
    // fault of the server. At INFO the line "sent status ..." tells of it in
    // OpenSSH's words; the provider's own account, in Windows terms, comes
    // from VERBOSE on. The provider warns about the ends of files and
    // listings, which are part of every transfer: they belong with the
    // per-request records.
    switch (type) {
        case SfsLogType::Error:
            return LogLevel::Verbose;
        case SfsLogType::Warning:
            return LogLevel::Verbose;
        case SfsLogType::Info:
            return LogLevel::Verbose;
        default:
            return LogLevel::Debug;
    }
}

std::string EscapeForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

Logger::Logger(Sink sink, LogLevel level, int facility) : m_sink(sink), m_level(level) {
    if (m_sink == Sink::Syslog) openlog("kiln-sftp-server", LOG_PID, facility);
}

Logger::~Logger() {
    if (m_sink == Sink::Syslog) closelog();
}

void Logger::Log(LogLevel level, std::string_view text) {
    if (!Enabled(level)) return;
    std::lock_guard<std::mutex> guard(m_lock);
    switch (m_sink) {
        case Sink::Stderr: {
            std::string line = "kiln-sftp-server: ";
            line.append(text);
            line += '\n';
            // One write per record keeps lines whole when threads log at once.
            ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
            (void)ignored;
            break;
        }
        case Sink::Syslog: {
            // As OpenSSH's servers: VERBOSE is a finer INFO, not a kind of
            // debugging, and a syslog that keeps INFO must keep it too.
            int priority = level == LogLevel::Error   ? LOG_ERR
                           : level == LogLevel::Debug ? LOG_DEBUG
                                                      : LOG_INFO;
            std::string line(text);
            syslog(priority, "%s", line.c_str());
            break;
        }
        case Sink::Memory:
            m_lines.emplace_back(text);
            break;
    }
}

void RefuseNonSftpSession(Logger& log, std::string_view why) {
    log.Log(LogLevel::Error,
            "refusing non-sftp session (" + std::string(why) + "): " + std::string(kSftpOnly));
    // Whatever the level, the user is told; a log on standard error told
    // them already, and a log kept in memory has no user.
    const Logger::Sink sink = log.Destination();
    if (sink == Logger::Sink::Syslog ||
        (sink == Logger::Sink::Stderr && !log.Enabled(LogLevel::Error))) {
        const std::string line = std::string(kSftpOnly) + "\n";
        ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
        (void)ignored;
    }
}

std::vector<std::string> Logger::Lines() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

}  // namespace kiln::sftp
