#include "host/sftp_log.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <string>

#include "host/host_os.h"

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

Logger::Logger(Sink sink, LogLevel level, int facility, const std::string& file)
    : m_sink(sink), m_level(level) {
    if (m_sink == Sink::Syslog) os::OpenSystemLog(facility ? facility : os::DefaultFacility());
    if (m_sink == Sink::File) m_file = os::OpenLogFile(file);
}

Logger::~Logger() {
    if (m_sink == Sink::Syslog) os::CloseSystemLog();
    if (m_file) std::fclose(m_file);
}

void Logger::Log(LogLevel level, std::string_view text) {
    if (!Enabled(level)) return;
    std::lock_guard<std::mutex> guard(m_lock);
    switch (m_sink) {
        case Sink::Stderr: {
            std::string line = "kiln-sftp-server: ";
            line.append(text);
            line += '\n';
            os::WriteStandardError(line);
            break;
        }
        case Sink::Syslog:
            os::WriteSystemLog(level, std::string(text));
            break;
        case Sink::File:
            // One record per call with the lock held; flushed at once, so
            // that a session that ends abruptly loses no record.
            if (m_file) {
                char when[32] = "";
                tm local{};
                if (os::LocalTime(std::time(nullptr), local))
                    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
                std::fprintf(m_file, "%s kiln-sftp-server[%lu]: %.*s\n", when, os::ProcessId(),
                             static_cast<int>(text.size()), text.data());
                std::fflush(m_file);
            }
            break;
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
    if (sink == Logger::Sink::Syslog || sink == Logger::Sink::File ||
        (sink == Logger::Sink::Stderr && !log.Enabled(LogLevel::Error))) {
        os::WriteStandardError(std::string(kSftpOnly) + "\n");
    }
}

std::vector<std::string> Logger::Lines() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

}  // namespace kiln::sftp
