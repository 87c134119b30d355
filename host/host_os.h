// What the front end asks of the operating system itself, apart from the
// session's byte streams (sftp_packet.h): one declaration here, one
// implementation per system in host/posix/ and host/windows/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/sftp_packet.h"

namespace kiln::sftp {
enum class LogLevel;
// The server's whole run, with the arguments in UTF-8 (sftp_main.cpp); the
// program's entry of each system calls it.
int RunServer(int argc, char** argv);
}  // namespace kiln::sftp

namespace kiln::sftp::os {

// Log records: standard error (one write per record, so that records of
// several threads stay whole) and the system's log (syslog on Linux, the
// event log on Windows, where facilities mean nothing).
void WriteStandardError(std::string_view text);
void OpenSystemLog(int facility);
void CloseSystemLog();
void WriteSystemLog(LogLevel level, const std::string& line);
// A facility by OpenSSH's name (AUTH, LOCAL0, ...); nullopt for an unknown
// name. The default is AUTH.
std::optional<int> FacilityByName(std::string_view name);
int DefaultFacility();
// A log file opened for appending, named in UTF-8; null on failure.
FILE* OpenLogFile(const std::string& path);

// The allocator is tuned for sessions that take and free large buffers, and
// gives memory back when the client pauses.
void TuneAllocator();
void ReturnFreeMemory();

// The wake-up of the reader: set once from any thread, seen by the wait of
// PacketInput until the session ends.
class WakeSignal {
  public:
    WakeSignal() = default;
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;
    bool Open();
    void Set();
    NativeStream WaitOn() const { return m_wait; }

  private:
    NativeStream m_wait = kNoStream;
    NativeStream m_set = kNoStream;
};

// Whether the reader of the session's output has gone (a pipe nobody reads,
// a socket closed both ways), asked without writing.
bool OutputHungUp(NativeStream out);

// Facts of a canonical client path below the root directory, for what the
// server asks of the operating system itself; the provider serves the files.
// The start directory: 0, or an errno value for why it cannot be.
int StartDirectoryError(const std::string& root, std::string_view clientPath);
// Inode counts: total, free, free to unprivileged users; zeros where the
// file system has none.
struct InodeCounts {
    uint64_t files = 0, free = 0, available = 0;
};
InodeCounts InodeCountsOf(const std::string& root, std::string_view clientPath);
// The identity of the file a client path leads to (device and file number).
std::optional<std::pair<uint64_t, uint64_t>> FileIdentity(const std::string& root,
                                                          std::string_view clientPath);

unsigned long ProcessId();
// Local time, thread-safe.
bool LocalTime(time_t t, tm& out);

}  // namespace kiln::sftp::os

namespace kiln::sftp::os {

// The program's own surroundings.
struct User {
    std::string name;
    std::string home;  // a disk path
};
User CurrentUser();
// Another user's home directory (a disk path); nullopt when unknown.
std::optional<std::string> HomeOfUser(const std::string& name);
// Where the provider module may be, in the order tried.
std::vector<std::string> ModuleCandidates();
// The module loaded, or null with why in `error`; its export by name.
void* LoadModule(const std::string& path, std::string& error);
void* ModuleExport(void* module, const char* name);
// A drive letter for a directory (--drive); empty, or why not.
std::string MapDrive(char16_t letter, const std::string& dir);
// The absolute, resolved disk path of a directory; nullopt when it is none.
std::optional<std::string> RealDirectory(const std::string& path);
// Signals, the umask where the system has one, the allocator and the pipes.
void PrepareProcess(std::optional<uint32_t> umask);
// The permission bits that new files lose (the umask; none on Windows).
uint32_t CreateMask();
bool InputIsTerminal();
std::optional<std::string> Environment(const char* name);
NativeStream StandardInput();
NativeStream StandardOutput();

}  // namespace kiln::sftp::os
