// The kept directories of a thread, their watches and the notifications that
// drop them (watched_directories.h says what keeping one allows). Each thread
// has its own inotify instance: a provider runs its requests on one thread,
// and nothing here needs a lock.
#include "platform/posix/names/watched_directories.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/caches.h"
#include "platform/posix/names/resolution_scope.h"

namespace kiln::platform {
namespace {

// Each kept directory holds a descriptor beside the session's handles, and
// watches count against the user's fs.inotify.max_user_watches.
constexpr size_t kMaxDirectories = 64;
constexpr size_t kMaxWatches = 256;
constexpr uint32_t kSelfEvents = IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB | IN_UNMOUNT;
// Of a watched directory's entries only subdirectories matter (files are
// never part of a chain): one removed or moved away, or one moved over
// another (whose inode, kept open, would not report its own end).
constexpr uint32_t kChildEvents = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

struct Entry {
    const BoundaryDir* boundary = nullptr;
    std::string directory;  // components below the boundary, joined with '/'
    SharedFd fd;
    enum class DefaultAcl { Unknown, None, Some } defaultAcl = DefaultAcl::Unknown;
};

// The directory a watch stands for; one inode reached by two names (a bind
// mount inside the tree) gets a record for each.
struct Watch {
    int wd = -1;
    const BoundaryDir* boundary = nullptr;
    std::string prefix;  // "" for the boundary itself
};

std::atomic<uint64_t> g_forks{0};

struct State {
    bool off = false;           // no inotify instance to be had on this thread
    bool checked = false;       // since the request began or its last own change
    bool mustRead = true;       // an own change, or nothing read yet
    uint64_t readsAtCheck = 0;  // caches::RequestsRead() when notifications were last read
    uint64_t configVersion = 0;
    uint64_t privileges = 0;
    uid_t uid = 0;  // whose search permissions the walks had
    gid_t gid = 0;
    uint64_t forks = 0;
    std::shared_ptr<const FileConfig> config;  // keeps the boundaries alive
    UniqueFd inotify;
    UniqueFd mounts;             // /proc/self/mountinfo: POLLPRI when mounts change
    std::vector<Entry> entries;  // most recently used first
    std::vector<Watch> watches;
    // Where a walk could not keep what it reached (a link, a file system the
    // kernel does not report on, a directory that refuses a watch): paths
    // through these are resolved the usual way without trying again.
    std::vector<std::pair<const BoundaryDir*, std::string>> unkept;
};

thread_local State t_state;

bool Beneath(const std::string& directory, const std::string& prefix) {
    if (prefix.empty()) return true;
    return directory.size() >= prefix.size() &&
           std::memcmp(directory.data(), prefix.data(), prefix.size()) == 0 &&
           (directory.size() == prefix.size() || directory[prefix.size()] == '/');
}

// Forgets the directories at or below `prefix`, and the watches that stood
// for them: what is there now is another inode, watched afresh when kept.
void DropBeneath(State& s, const BoundaryDir* boundary, const std::string& prefix) {
    std::erase_if(s.entries, [&](const Entry& e) {
        return e.boundary == boundary && Beneath(e.directory, prefix);
    });
    std::erase_if(s.unkept,
                  [&](const auto& u) { return u.first == boundary && Beneath(u.second, prefix); });
    std::vector<int> dropped;
    std::erase_if(s.watches, [&](const Watch& w) {
        const bool drop = w.boundary == boundary && Beneath(w.prefix, prefix);
        if (drop) dropped.push_back(w.wd);
        return drop;
    });
    // A watch no name stands for any more would only use up the user's share.
    for (int wd : dropped)
        if (std::none_of(s.watches.begin(), s.watches.end(),
                         [wd](const Watch& w) { return w.wd == wd; }))
            ::inotify_rm_watch(s.inotify.Get(), wd);
}

// Everything, watches included (closing the instance removes them).
void Reset(State& s) {
    s.entries.clear();
    s.watches.clear();
    s.unkept.clear();
    s.inotify.Reset();
    s.config.reset();
}

// Descriptor numbers from which a kept directory would take what the
// session's handles may need: the last quarter of the table.
int DescriptorsToSpare() {
    static const int limit = [] {
        rlimit r{};
        if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return 1 << 20;
        return static_cast<int>(std::min<rlim_t>(r.rlim_cur, 1 << 20) * 3 / 4);
    }();
    return limit;
}

bool WatchedFileSystem(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case EXT4_SUPER_MAGIC:  // ext2 and ext3 share it
        case TMPFS_MAGIC:
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

void ReadNotifications(State& s) {
    pollfd fds[2] = {{s.inotify.Get(), POLLIN, 0}, {s.mounts.Get(), POLLPRI, 0}};
    if (::poll(fds, 2, 0) < 0) return Reset(s);
    if ((fds[1].revents & (POLLPRI | POLLERR))) {
        // A mount on a chain changes where its names lead, to inodes that
        // no watch stands for: everything goes, watches included.
        return Reset(s);
    }
    if (!(fds[0].revents & POLLIN)) return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(s.inotify.Get(), buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR) Reset(s);
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) return Reset(s);  // events were lost
            // A named event is about an entry of the watched directory: its
            // files' changes (their attributes) come with the watch too.
            const bool self = event->len == 0 && (event->mask & (kSelfEvents | IN_IGNORED));
            const bool child =
                event->len != 0 && (event->mask & kChildEvents) && (event->mask & IN_ISDIR);
            if (!self && !child) continue;
            std::vector<std::pair<const BoundaryDir*, std::string>> gone;
            for (const Watch& w : s.watches) {
                if (w.wd != event->wd) continue;
                if (self) {
                    gone.emplace_back(w.boundary, w.prefix);
                } else {
                    const std::string name(event->name, strnlen(event->name, event->len));
                    gone.emplace_back(w.boundary, w.prefix.empty() ? name : w.prefix + "/" + name);
                }
            }
            for (const auto& [boundary, prefix] : gone) DropBeneath(s, boundary, prefix);
        }
    }
}

// Reads the notifications unless this request has, or the front end has read
// nothing since they were last read. The count is taken before the reading:
// a read counted in it finished before, and so did every change the requests
// it brought could have followed.
// `now`: whatever this request has done or the front end has read.
void CheckNotifications(State& s, bool now = false) {
    if (s.checked && !now) return;
    const uint64_t reads = caches::RequestsRead();
    if (now || s.mustRead || reads == 0 || reads != s.readsAtCheck) {
        ReadNotifications(s);
        s.readsAtCheck = reads;
        s.mustRead = false;
    }
    s.checked = true;
}

// Forgets what the thread keeps unless it is the same process with the same
// configuration, identity and privileges.
void ForgetIfChanged(State& s) {
    const uint64_t forks = g_forks.load(std::memory_order_relaxed);
    if (s.forks != forks) {
        // The instance is shared with the parent: reading it here would take
        // the parent's notifications. The child's copy is closed, not read.
        Reset(s);
        s.mounts.Reset();
        s.forks = forks;
    }
    const uint64_t version = FileConfigVersion();
    const uint64_t privileges = caches::PrivilegesGeneration();
    const CallerIdentity identity = ScopeCallerIdentity();
    if (s.configVersion != version || s.privileges != privileges || s.uid != identity.uid ||
        s.gid != identity.gid) {
        Reset(s);
        s.configVersion = version;
        s.privileges = privileges;
        s.uid = identity.uid;
        s.gid = identity.gid;
    }
}

bool Ready(State& s) {
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    if (s.off || !caches::DirectoryWatching()) return false;
    ForgetIfChanged(s);
    if (!s.mounts) s.mounts.Reset(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    if (!s.inotify) s.inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!s.mounts || !s.inotify) {
        Reset(s);
        s.off = true;
        return false;
    }
    return true;
}

// Watches the directory open as `fd` for `prefix`, unless a watch already
// stands for that name (any change to what it watched would be pending).
// Whether the path of the first `count` components of `relative` passes
// through `prefix` (components joined with '/'; "" is the boundary).
bool LeadsThrough(const std::string& prefix, const std::vector<std::string>& relative,
                  size_t count) {
    size_t at = 0;
    for (size_t i = 0; i < count && at < prefix.size(); ++i) {
        if (i != 0) {
            if (prefix[at] != '/') return false;
            ++at;
        }
        const std::string& part = relative[i];
        if (prefix.compare(at, part.size(), part) != 0) return false;
        at += part.size();
    }
    return at == prefix.size();
}

bool WatchFd(State& s, int fd, const BoundaryDir* boundary, const std::string& prefix) {
    for (const Watch& w : s.watches)
        if (w.boundary == boundary && w.prefix == prefix) return true;
    if (!WatchedFileSystem(fd)) return false;
    const int wd = ::inotify_add_watch(s.inotify.Get(), ProcFdPath(fd).c_str(),
                                       kSelfEvents | kChildEvents | IN_ONLYDIR);
    if (wd < 0) return false;
    s.watches.push_back({wd, boundary, prefix});
    return true;
}

// The thread's kept directories, up to date for this request; null when it
// keeps none.
State* KeptNow() {
    State& s = t_state;
    if (s.entries.empty() || !InResolutionScope() || !Ready(s)) return nullptr;
    CheckNotifications(s);
    return &s;
}

}  // namespace

SharedFd FindWatchedDirectory(const BoundaryDir* boundary, const std::vector<std::string>& relative,
                              size_t count) {
    State* kept = KeptNow();
    if (!kept) return nullptr;
    State& s = *kept;
    for (size_t i = 0; i < s.entries.size(); ++i) {
        Entry& e = s.entries[i];
        if (e.boundary != boundary || !SameDirectory(e.directory, relative, count)) continue;
        if (i != 0)
            std::rotate(s.entries.begin(), s.entries.begin() + i, s.entries.begin() + i + 1);
        return s.entries.front().fd;
    }
    return nullptr;
}

SharedFd WatchDirectory(const std::shared_ptr<const FileConfig>& config,
                        const BoundaryDir* boundary, const std::vector<std::string>& relative,
                        size_t count) {
    State& s = t_state;
    if (count == 0 || !InResolutionScope() || s.off || !caches::DirectoryWatching()) return nullptr;
    // A path through a place that could not be kept costs nothing more than
    // before: not even the look at the notifications.
    if (s.config == config)
        for (const auto& [where, prefix] : s.unkept)
            if (where == boundary && LeadsThrough(prefix, relative, count)) return nullptr;
    if (!Ready(s)) return nullptr;
    // What the walk relies on (the watches standing for their names) must
    // not have changed unseen.
    CheckNotifications(s, true);
    if (s.config != config || s.watches.size() + count + 1 > kMaxWatches) {
        Reset(s);
        if (!Ready(s)) return nullptr;
        s.config = config;
    }
    if (s.entries.size() >= kMaxDirectories) s.entries.pop_back();

    // Each directory is watched before its child is opened: a move of it
    // after that is reported, and one before is reported by its parent.
    std::string prefix;
    auto unkept = [&] {
        if (s.unkept.size() >= kMaxDirectories) s.unkept.erase(s.unkept.begin());
        s.unkept.emplace_back(boundary, prefix);
        return nullptr;
    };
    int parent = boundary->fd.Get();
    if (!WatchFd(s, parent, boundary, prefix)) return unkept();
    SharedFd current;
    for (size_t i = 0; i < count; ++i) {
        const std::string& part = relative[i];
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos)
            return nullptr;
        UniqueFd next(
            ::openat(parent, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const int openError = errno;
        if (i != 0) prefix += '/';
        prefix += part;
        if (!next) {
            // Missing: resolved the usual way, which says so. A link or a
            // directory that may not be searched: not kept, and not tried
            // again until something changes there.
            if (openError == ENOENT) return nullptr;
            return unkept();
        }
        if (next.Get() >= DescriptorsToSpare()) {
            // Descriptors are given lowest first: the session's handles are
            // filling the table, and they come before kept directories.
            s.entries.clear();
            return nullptr;
        }
        current = std::make_shared<const UniqueFd>(std::move(next));
        parent = current->Get();
        if (!WatchFd(s, parent, boundary, prefix)) return unkept();
    }
    s.entries.insert(s.entries.begin(), Entry{boundary, prefix, current});
    return current;
}

bool KeptDirectoryWithoutDefaultAcl(int fd) {
    State* kept = fd >= 0 ? KeptNow() : nullptr;
    if (!kept) return false;
    for (Entry& e : kept->entries) {
        if (e.fd->Get() != fd) continue;
        if (e.defaultAcl == Entry::DefaultAcl::Unknown) {
            // An O_PATH descriptor refuses fgetxattr; its /proc name does not.
            const ssize_t n =
                ::getxattr(ProcFdPath(fd).c_str(), "system.posix_acl_default", nullptr, 0);
            if (n > 4 || (n < 0 && errno != ENODATA && errno != ENOTSUP)) {
                e.defaultAcl = Entry::DefaultAcl::Some;
            } else {
                e.defaultAcl = Entry::DefaultAcl::None;
            }
        }
        return e.defaultAcl == Entry::DefaultAcl::None;
    }
    return false;
}

void CheckWatchesBeforeNextFind() {
    t_state.checked = false;
}

void ReadWatchesBeforeNextFind() {
    t_state.checked = false;
    t_state.mustRead = true;
}

}  // namespace kiln::platform
