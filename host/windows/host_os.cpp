// What the front end asks of Windows itself (host/host_os.h). Disk paths
// here are Windows paths in UTF-8 with '/' between names ("C:/srv/data"),
// as platform/disk_names.h gives them.
#include "host/host_os.h"

#include <cerrno>
#include <cstdlib>

#include "host/sftp_log.h"
#include "host/sftp_paths.h"
#include "platform/disk_names.h"
#include "platform/win32.h"

namespace kiln::sftp::os {

namespace {

HANDLE g_eventLog = nullptr;

std::u16string Wide(std::string_view utf8) {
    return platform::DiskNameToWindows(utf8);
}

std::string Utf8(std::u16string_view wide) {
    std::string out;
    if (!platform::WindowsNameToDisk(wide, &out)) out.clear();
    return out;
}

LPCWSTR W(const std::u16string& s) {
    return platform::win::W(s.c_str());
}
using platform::win::W;

// A disk path below the root as Windows spells it.
std::u16string BelowRoot(const std::string& root, std::string_view clientPath) {
    std::u16string path;
    platform::DiskPathToWindows(root + std::string(clientPath == "/" ? "" : clientPath), &path);
    return path;
}

}  // namespace

void WriteStandardError(std::string_view text) {
    DWORD wrote = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &wrote,
              nullptr);
}

void OpenSystemLog(int) {
    g_eventLog = RegisterEventSourceW(nullptr, W(u"kiln-sftp-server"));
}

void CloseSystemLog() {
    if (g_eventLog) DeregisterEventSource(g_eventLog);
    g_eventLog = nullptr;
}

void WriteSystemLog(LogLevel level, const std::string& line) {
    if (!g_eventLog) return;
    const WORD type = level == LogLevel::Error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE;
    const std::u16string text = Wide(line);
    LPCWSTR strings[] = {W(text)};
    ReportEventW(g_eventLog, type, 0, 0, nullptr, 1, 0, strings, nullptr);
}

// Facilities are syslog's: a command line written for another system keeps
// working, and the name means nothing here.
std::optional<int> FacilityByName(std::string_view) {
    return 0;
}

int DefaultFacility() {
    return 0;
}

FILE* OpenLogFile(const std::string& path) {
    // Named in UTF-16, so that a path outside the code page opens too.
    const std::u16string wide = Wide(path);
    return _wfopen(W(wide), W(u"a"));
}

void TuneAllocator() {}

void ReturnFreeMemory() {
    HeapCompact(GetProcessHeap(), 0);
}

WakeSignal::~WakeSignal() {
    if (m_wait) CloseHandle(m_wait);
}

bool WakeSignal::Open() {
    m_wait = m_set = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return m_wait != nullptr;
}

void WakeSignal::Set() {
    if (m_set) SetEvent(m_set);
}

bool OutputHungUp(NativeStream out) {
    // A pipe whose reader has gone says so when peeked at; anything else
    // (a file, a console) is taken as open, and a write tells the rest.
    if (PeekNamedPipe(out, nullptr, 0, nullptr, nullptr, nullptr)) return false;
    const DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

int StartDirectoryError(const std::string& root, std::string_view clientPath) {
    // Only where the session starts: the provider confines every request.
    const DWORD attributes = GetFileAttributesW(BelowRoot(root, clientPath).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ENOENT;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ENOTDIR;
}

InodeCounts InodeCountsOf(const std::string&, std::string_view) {
    return {};  // Windows volumes count no inodes
}

std::optional<std::pair<uint64_t, uint64_t>> FileIdentity(const std::string& root,
                                                          std::string_view clientPath) {
    HANDLE h = CreateFileW(BelowRoot(root, clientPath).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return std::nullopt;
    return std::pair<uint64_t, uint64_t>{
        info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

unsigned long ProcessId() {
    return GetCurrentProcessId();
}

bool LocalTime(time_t t, tm& out) {
    return localtime_s(&out, &t) == 0;
}

User CurrentUser() {
    User user;
    char16_t name[257];
    DWORD size = 257;
    if (GetUserNameW(W(name), &size) && size > 0)
        user.name = Utf8(std::u16string_view(name, size - 1));
    // The profile's directory, as Windows' OpenSSH server starts sessions.
    if (auto profile = Environment("USERPROFILE")) user.home = *profile;
    if (user.name.empty()) user.name = Environment("USERNAME").value_or("?");
    for (char& c : user.home)
        if (c == '\\') c = '/';
    // As an absolute path of the front end ("/C:/Users/x"), which it places
    // below the root like a Linux home.
    if (!user.home.empty()) user.home.insert(0, "/");
    return user;
}

std::optional<std::string> HomeOfUser(const std::string&) {
    return std::nullopt;  // other users' profiles are not ours to name
}

std::vector<std::string> ModuleCandidates() {
    constexpr const char* kModuleName = "KilnSfsWin.dll";
    char16_t path[32768];
    const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
    std::string dir = n ? Utf8(std::u16string_view(path, n)) : std::string(".");
    for (char& c : dir)
        if (c == '\\') c = '/';
    // Beside the program, as the package lays the files out; then the
    // system's search path.
    return {dir.substr(0, dir.rfind('/')) + "/" + kModuleName, kModuleName};
}

void* LoadModule(const std::string& path, std::string& error) {
    std::u16string wide = Wide(path);
    for (char16_t& c : wide)
        if (c == u'/') c = u'\\';
    // The module's own directory is searched for what it loads (ZuProv.dll).
    HMODULE module =
        LoadLibraryExW(wide.c_str(), nullptr,
                       path.find('/') != std::string::npos ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    if (!module) error = path + ": error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}

void* ModuleExport(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string MapDrive(char16_t, const std::string&) {
    return "drive letters are the system's own on Windows; no mapping";
}

std::optional<std::string> RealDirectory(const std::string& path) {
    std::u16string wide = Wide(path);
    char16_t full[32768];
    const DWORD n = GetFullPathNameW(W(wide), 32768, W(full), nullptr);
    if (n == 0 || n >= 32768) return std::nullopt;
    const DWORD attributes = GetFileAttributesW(full);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    std::string out;
    if (!platform::WindowsPathToDisk(full, &out)) return std::nullopt;
    // "C:/" for a drive's root; no trailing '/' otherwise.
    while (out.size() > 3 && out.back() == '/') out.pop_back();
    return out;
}

void PrepareProcess(std::optional<uint32_t>) {
    // Binary streams: the CRT must not turn the protocol's bytes into text.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

uint32_t CreateMask() {
    return 0;  // new files take their directory's inherited security
}

bool InputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::optional<std::string> Environment(const char* name) {
    const std::u16string wideName = Wide(name);
    char16_t value[32768];
    const DWORD n = GetEnvironmentVariableW(W(wideName), W(value), 32768);
    if (n == 0 || n >= 32768) return std::nullopt;
    return Utf8(std::u16string_view(value, n));
}

NativeStream StandardInput() {
    return GetStdHandle(STD_INPUT_HANDLE);
}

NativeStream StandardOutput() {
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

}  // namespace kiln::sftp::os
