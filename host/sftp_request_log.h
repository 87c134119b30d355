// The INFO lines that record what a client asked for, in the words of
// OpenSSH's sftp-server ("open \"/srv/f\" flags READ mode 0666"), so that
// log parsing written for that server keeps working.
//
// Paths are Linux paths, not the client's: the lines of many sessions with
// different roots meet in one log, and the close lines, which come from the
// provider's transfer notes, name the file on disk as well.
#pragma once

#include <string>
#include <string_view>

#include "host/sftp_session.h"

namespace kiln::sftp {

// The Linux path of a canonical client path below the session's root,
// escaped for a log line.
std::string LogPath(const SftpSession& s, std::string_view clientPath);

// OpenSSH's words for an open's access and disposition:
// "READ,WRITE,CREATE,TRUNCATE" (SFS access mask and open flags).
std::string OpenFlagsText(uint32_t access, uint32_t flags);

// One INFO line, made only when the log level takes it: most servers run
// with errors only, and the line of each open, close or remove would be
// built for nothing.
template <class MakeLine>
void LogInfo(SftpSession& s, MakeLine&& makeLine) {
    if (s.Log().Enabled(LogLevel::Info)) s.Log().Log(LogLevel::Info, makeLine());
}

// "sent status No such file": a failure at INFO, success and end of file
// only when debugging, as OpenSSH's server logs its statuses.
void LogSentStatus(Logger& log, uint32_t clientCode);

// One "set" line for each of size, permissions, modification time and
// owner that a SETSTAT, FSETSTAT or lsetstat asks for.
void LogSetAttrs(SftpSession& s, std::string_view clientPath, const QtSfsAttrs& attrs);

}  // namespace kiln::sftp
