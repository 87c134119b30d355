// FindFirstFileW / FindNextFileW: a directory listing filtered by a pattern
// of * and ?, with the attributes and times of every entry read relative to
// the directory's descriptor (no path walk per entry).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/caches.h"
#include "platform/posix/files/attribute_store.h"
#include "platform/posix/files/file_security.h"
#include "platform/posix/files/found_entry.h"
#include "platform/posix/names/confinement.h"
#include "platform/posix/names/name_mapping.h"
#include "platform/posix/names/path_parsing.h"
#include "platform/posix/security/internal.h"
#include "platform/posix/security/posix_acl.h"
#include "platform/posix/system/ascii_case.h"
#include "platform/posix/system/errors.h"
#include "platform/posix/system/handle_table.h"
#include "platform/win32_files.h"
#include "platform/win32_security.h"
#include "platform/win32_system.h"

namespace kiln::platform {
namespace {

bool Match(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0, n = 0, starP = std::u16string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() &&
            (pattern[p] == u'?' || AsciiLower(pattern[p]) == AsciiLower(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

// Windows' own quirks: "*.*" matches every name, and "name.*" also matches
// "name" without an extension.
bool MatchesPattern(std::u16string_view pattern, std::u16string_view name) {
    if (pattern == u"*.*" || pattern == u"*") return true;
    if (Match(pattern, name)) return true;
    return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*" &&
           Match(pattern.substr(0, pattern.size() - 2), name);
}

// A directory's entries as getdents64 hands them out. They are read into a
// small buffer that exists only while entries wait in it: a search that has
// found its first entry and waits for its client (a listing opened and not
// yet read) holds nothing but its descriptor. A DIR stream kept 32 KiB for
// the search's whole life, and a client may open many listings at once.
class DirectoryStream {
  public:
    explicit DirectoryStream(int fd) : m_fd(fd) {}
    ~DirectoryStream() { ::close(m_fd); }
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;
    int Fd() const { return m_fd; }

    // The next entry, valid until the next call; null at the end (errno 0)
    // or on a failure (errno set).
    const struct dirent64* Next() {
        if (m_at == m_size) {
            if (!m_buffer) m_buffer.reset(new char[kBufferSize]);
            const ssize_t n = ::getdents64(m_fd, m_buffer.get(), kBufferSize);
            if (n <= 0) {
                if (n == 0) errno = 0;
                m_buffer.reset();
                m_at = m_size = 0;
                return nullptr;
            }
            m_at = 0;
            m_size = static_cast<size_t>(n);
        }
        const auto* entry = reinterpret_cast<const struct dirent64*>(m_buffer.get() + m_at);
        m_at += entry->d_reclen;
        m_resume = entry->d_off;
        return entry;
    }

    // Frees the buffer; reading goes on with the entry after the last one
    // handed out. Where the directory cannot seek, the buffer stays.
    void Release() {
        if (m_at < m_size && ::lseek(m_fd, m_resume, SEEK_SET) < 0) return;
        m_buffer.reset();
        m_at = m_size = 0;
    }

  private:
    // About a hundred entries of ordinary names: a listing reads a batch of
    // them per system call, and a paused listing costs little.
    static constexpr size_t kBufferSize = 4096;
    int m_fd;
    std::unique_ptr<char[]> m_buffer;
    size_t m_at = 0;
    size_t m_size = 0;
    off_t m_resume = 0;  // where the entry after the last one handed out is
};

class FindObject;

// The entry this thread found last: the search that found it (not kept alive
// by this), the path the caller would name it by, its name on disk, and what
// the search read of it.
struct FoundEntry {
    std::weak_ptr<FindObject> find;
    std::u16string path;
    std::string name;
    struct statx st {};
    bool withoutAcl = false;  // known to have no POSIX ACL of either kind
    bool valid = false;
    std::chrono::steady_clock::time_point foundAt;
};
thread_local FoundEntry t_found;

// The entry that may answer for `path` now, taken out of the thread's memory;
// null when there is none.
std::shared_ptr<FindObject> TakeFoundEntry(LPCWSTR path) {
    if (!t_found.valid || !path || t_found.path != std::u16string_view(path)) return nullptr;
    t_found.valid = false;
    // The caller asks at once, so anything later goes the long way and sees
    // the file as it is then.
    if (caches::CoarseNow() - t_found.foundAt > caches::kFoundEntryLifetime) return nullptr;
    return t_found.find.lock();
}

class FindObject final : public KernelObject, public std::enable_shared_from_this<FindObject> {
  public:
    std::mutex lock;
    std::unique_ptr<DirectoryStream> dir;
    std::u16string pattern;
    bool atBoundary = false;
    bool single = false;  // a plain name: one entry, already delivered
    Location location;    // the directory's boundary, for links among the entries
    std::vector<std::string> directoryRelative;
    std::u16string directoryPrefix;  // the caller's spelling, up to the last separator

    // The next matching entry; false with ERROR_NO_MORE_FILES at the end.
    bool Next(WIN32_FIND_DATAW* data) {
        std::lock_guard guard(lock);
        if (!dir) {
            SetLastError(ERROR_NO_MORE_FILES);
            return false;
        }
        for (;;) {
            const struct dirent64* entry = dir->Next();
            if (!entry) {
                t_found.valid = false;
                SetLastError(errno ? WindowsErrorFromErrno(errno) : ERROR_NO_MORE_FILES);
                return false;
            }
            std::string_view name(entry->d_name);
            const bool dots = name == "." || name == "..";
            if (dots && atBoundary) continue;  // nothing above the boundary is shown
            std::u16string wide = DiskNameToWindows(name);
            if (wide.size() >= MAX_PATH || !MatchesPattern(pattern, wide)) continue;
            // ".." of a directory is described by the directory itself, so
            // that a listing never reads past what it may see.
            const char* statName = name == ".." ? "." : entry->d_name;
            if (Fill(dir->Fd(), statName, name, wide, data)) return true;
        }
    }

    bool Fill(int dirFd, const char* statName, std::string_view name, const std::u16string& wide,
              WIN32_FIND_DATAW* data) {
        struct statx st;
        if (!StatAt(dirFd, statName, &st)) return false;  // vanished meanwhile
        // One listing of the entry's attribute names tells whether it has a
        // record to read and whether a POSIX ACL needs reading later.
        StoredAttributes stored = ReadStoredAttributes(dirFd, statName, st);
        bool linkToDirectory = false;
        if (S_ISLNK(st.stx_mode)) {
            std::vector<std::string> relative = directoryRelative;
            relative.emplace_back(name);
            linkToDirectory = LinkLeadsToDirectory(location, std::move(relative));
        }
        std::memset(data, 0, sizeof *data);
        data->dwFileAttributes = ComposeAttributes(st, name, stored, linkToDirectory);
        data->ftCreationTime = CreationTimeOf(st, stored);
        data->ftLastAccessTime = ToFileTime(st.stx_atime);
        data->ftLastWriteTime = ToFileTime(st.stx_mtime);
        ULONGLONG size = ReportedSize(st);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size);
        if (S_ISLNK(st.stx_mode)) data->dwReserved0 = IO_REPARSE_TAG_SYMLINK;
        std::memcpy(data->cFileName, wide.data(), wide.size() * sizeof(char16_t));
        Remember(st, name, wide, !S_ISLNK(st.stx_mode) && KnownWithoutPosixAcls(st));
        return true;
    }

    // Only entries of a real listing, and never "." and ".." (which name
    // this directory and its parent, not an entry) or links.
    void Remember(const struct statx& st, std::string_view name, const std::u16string& wide,
                  bool withoutAcl) {
        t_found.valid = false;
        if (!dir || S_ISLNK(st.stx_mode) || name == "." || name == "..") return;
        t_found.find = weak_from_this();
        t_found.path.assign(directoryPrefix);
        t_found.path.append(wide);
        t_found.name.assign(name);
        t_found.st = st;
        t_found.withoutAcl = withoutAcl;
        t_found.foundAt = caches::CoarseNow();
        t_found.valid = true;
    }
};

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

bool FoundEntrySecurity(LPCWSTR path, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                        PACL* dacl, PSECURITY_DESCRIPTOR* descriptor, DWORD* result) {
    constexpr SECURITY_INFORMATION kAnswered =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (!t_found.withoutAcl || (info & ~kAnswered) || !descriptor) return false;
    if (!TakeFoundEntry(path)) return false;
    const struct statx& st = t_found.st;
    PSECURITY_DESCRIPTOR sd = nullptr;
    *descriptor = nullptr;
    if (owner) *owner = nullptr;
    if (group) *group = nullptr;
    if (dacl) *dacl = nullptr;
    if (DWORD error = security::ModeOnlyDescriptor(st.stx_uid, st.stx_gid, st.stx_mode,
                                                   S_ISDIR(st.stx_mode), info, &sd)) {
        *result = error;
        return true;
    }
    BOOL present, defaulted;
    if (owner) GetSecurityDescriptorOwner(sd, owner, &defaulted);
    if (group) GetSecurityDescriptorGroup(sd, group, &defaulted);
    if (dacl) GetSecurityDescriptorDacl(sd, &present, dacl, &defaulted);
    *descriptor = sd;
    *result = ERROR_SUCCESS;
    return true;
}

int OpenFoundEntry(LPCWSTR path) {
    std::shared_ptr<FindObject> find = TakeFoundEntry(path);
    if (!find) return -1;
    std::lock_guard guard(find->lock);
    if (!find->dir) return -1;
    // One component, never following a link: whatever the name is now, it
    // lies in the directory the search verified.
    return ::openat(find->dir->Fd(), t_found.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace kiln::platform

using namespace kiln::platform;

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    if (!lpFindFileData) return Fail(ERROR_INVALID_PARAMETER);
    ParsedPath parsed;
    auto find = std::make_shared<FindObject>();
    if (!ParseWindowsPath(lpFileName, true, &parsed)) return INVALID_HANDLE_VALUE;
    if (parsed.components.empty() || parsed.trailingSeparator) return Fail(ERROR_FILE_NOT_FOUND);
    if (!ResolveParent(parsed, &find->location)) return INVALID_HANDLE_VALUE;
    Location& location = find->location;
    if (location.name.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    find->directoryRelative.assign(location.relative.begin(), location.relative.end() - 1);
    find->atBoundary = find->directoryRelative.empty();
    const std::string& patternName = location.name;
    // The pattern as the caller spelled it: on disk a literal '*' (stand-in
    // U+F02A) and a wildcard '*' are the same byte.
    std::u16string_view given(lpFileName);
    const size_t nameStart = given.find_last_of(u"\\/") + 1;
    find->directoryPrefix.assign(given.substr(0, nameStart));
    given.remove_prefix(nameStart);
    const bool wildcard = given.find_first_of(u"*?") != std::u16string_view::npos;

    if (!wildcard) {
        // A plain name finds at most that one entry.
        find->single = true;
        std::u16string wide = DiskNameToWindows(patternName);
        if (!find->Fill(location.parentFd, patternName.c_str(), patternName, wide, lpFindFileData))
            return Fail(GetLastError() == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND
                                                               : ERROR_FILE_NOT_FOUND);
    } else {
        int dirFd = ::openat(location.parentFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) return Fail(WindowsErrorFromErrno(errno));
        find->dir = std::make_unique<DirectoryStream>(dirFd);
        // The entries are read through the directory's own descriptor from
        // now on; a second one for its path would only count against the
        // descriptor limit while the search stays open.
        location.ownedParent.reset();
        location.parentFd = -1;
        find->pattern = std::u16string(given);
        if (!find->Next(lpFindFileData))
            return Fail(GetLastError() == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND
                                                              : GetLastError());
        find->dir->Release();
    }
    HANDLE handle = RegisterHandle(find);
    if (!handle) return INVALID_HANDLE_VALUE;
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    auto find = LookupHandleAs<FindObject>(hFindFile);
    if (!find) return FALSE;
    if (!lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (find->single) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return find->Next(lpFindFileData) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (!LookupHandleAs<FindObject>(hFindFile)) return FALSE;
    return UnregisterHandle(hFindFile) ? TRUE : FALSE;
}
