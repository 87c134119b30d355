// Log records of the server and of the provider, filtered by level, to
// standard error, the system's log or a file, one line each.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sfs/sfs_enums.h"

namespace kiln::sftp {

enum class LogLevel { Quiet = 0, Error = 1, Info = 2, Verbose = 3, Debug = 4 };

// "QUIET", "ERROR", "INFO", "VERBOSE", "DEBUG" (and OpenSSH's FATAL, DEBUG1
// to DEBUG3), any letter case; false for anything else.
bool ParseLogLevel(std::string_view text, LogLevel& level);
// The level at which a provider record of this type is shown.
LogLevel LevelOfProviderLog(SfsLogType type);
// A name from a client as a log line may carry it: control characters and
// the backslash as \ooo octal escapes, so that a file named with a newline
// cannot start a line of its own that looks like the server's.
std::string EscapeForLog(std::string_view text);

class Logger {
  public:
    enum class Sink { Stderr, Syslog, File, Memory };

    // `facility` is syslog's (LOG_AUTH, LOG_LOCAL0, ...; 0 for the default)
    // and means nothing on Windows; `file` names the log file of Sink::File.
    Logger(Sink sink, LogLevel level, int facility = 0, const std::string& file = {});
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void Log(LogLevel level, std::string_view text);
    Sink Destination() const { return m_sink; }
    bool FileOpen() const { return m_file != nullptr; }
    bool Enabled(LogLevel level) const { return level <= m_level && m_level != LogLevel::Quiet; }
    // What a Memory logger kept (tests).
    std::vector<std::string> Lines() const;

  private:
    Sink m_sink;
    LogLevel m_level;
    FILE* m_file = nullptr;
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// Ends a session that is not SFTP (a shell, a command, scp started through
// ForceCommand): the user reads why on their terminal, the administrator in
// the log, and the program exits non-zero instead of waiting for a packet
// that never comes.
inline constexpr std::string_view kSftpOnly = "This service allows sftp connections only.";
void RefuseNonSftpSession(Logger& log, std::string_view why);

}  // namespace kiln::sftp
