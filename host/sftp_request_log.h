// The INFO lines that record what a client asked for, in the words of
// OpenSSH's sftp-server ("open \"/srv/f\" flags READ mode 0666"), so that
// log parsing written for that server keeps working.
//
// Paths are the client's, as OpenSSH's server logs them inside a
// ChrootDirectory: under --root a line names "/f", not the file on disk, so
// that it reads the same as the client's own record of the session.
#pragma once

#include <string>
#include <string_view>

#include "host/sftp_session.h"

namespace kiln::sftp {

// A canonical client path escaped for a log line.
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
