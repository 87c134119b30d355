// The directories one request resolved beneath the root. Each was verified
// beneath the boundary by the kernel (openat2 with RESOLVE_BENEATH) when it
// was resolved; what keeping it allows is stated in
// platform/resolution_scope.h. A request names one or two paths, so a handful
// of entries is all a scope needs; the oldest goes first.
#include "platform/resolution_scope.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/names/watched_directories.h"

namespace kiln::platform {
namespace {

struct KeptDirectory {
    std::shared_ptr<const FileConfig> config;  // keeps the boundary alive
    const BoundaryDir* boundary = nullptr;
    std::string directory;  // below the boundary, components joined with '/'
    SharedFd fd;
};

// The object of a request that changes nothing, with what keeps its
// directory's descriptor number from meaning another directory meanwhile.
struct KeptEntry {
    bool valid = false;
    std::shared_ptr<const FileConfig> config;
    SharedFd parent;
    int parentFd = -1;
    std::string name;
    KeptObject object;
};

// The last path resolved, with where it led.
struct KeptPath {
    bool valid = false;
    uint64_t configVersion = 0;
    std::u16string text;
    ParsedPath parsed;
    Location location;
};

struct ScopeState {
    int depth = 0;
    bool changesNothing = false;
    size_t next = 0;
    std::array<KeptDirectory, 4> kept;
    KeptEntry object;
    KeptPath path;
    std::vector<std::weak_ptr<ScopeEndWork>> withoutFd;
    bool identityKnown = false;
    CallerIdentity identity{};
};

thread_local ScopeState t_scope;

}  // namespace

bool SameDirectory(const std::string& joined, const std::vector<std::string>& relative,
                   size_t count) {
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const std::string& part = relative[i];
        if (i != 0) {
            if (at >= joined.size() || joined[at] != '/') return false;
            ++at;
        }
        if (joined.size() - at < part.size() ||
            std::memcmp(joined.data() + at, part.data(), part.size()) != 0)
            return false;
        at += part.size();
    }
    return at == joined.size();
}

ResolutionScope::ResolutionScope(RequestKind kind) : outermost_(t_scope.depth++ == 0) {
    if (outermost_) t_scope.changesNothing = kind == RequestKind::ChangesNothing;
}

ResolutionScope::~ResolutionScope() {
    ScopeState& scope = t_scope;
    --scope.depth;
    if (outermost_) {
        // A handle the request opened without a descriptor and left open is
        // given one now, while the name it was opened by has led to its
        // object for no longer than the request has run; it then acts as
        // any handle does. One that cannot be (its name leads elsewhere by
        // now) acts as a handle of a file that is gone.
        for (const std::weak_ptr<ScopeEndWork>& kept : scope.withoutFd)
            if (auto work = kept.lock()) work->AtScopeEnd();
        scope.withoutFd.clear();
        ForgetRequestFacts();
        scope.changesNothing = false;
        scope.identityKnown = false;
    }
}

SharedFd FindResolvedDirectory(const BoundaryDir* boundary,
                               const std::vector<std::string>& relative, size_t count) {
    if (t_scope.depth == 0) return nullptr;
    for (const KeptDirectory& entry : t_scope.kept)
        if (entry.fd && entry.boundary == boundary &&
            SameDirectory(entry.directory, relative, count))
            return entry.fd;
    return nullptr;
}

void KeepResolvedDirectory(const std::shared_ptr<const FileConfig>& config,
                           const BoundaryDir* boundary, std::string directory, const SharedFd& fd) {
    if (t_scope.depth == 0) return;
    KeptDirectory& entry = t_scope.kept[t_scope.next];
    t_scope.next = (t_scope.next + 1) % t_scope.kept.size();
    entry.config = config;
    entry.boundary = boundary;
    entry.directory = std::move(directory);
    entry.fd = fd;
}

CallerIdentity ScopeCallerIdentity() {
    ScopeState& scope = t_scope;
    if (scope.identityKnown) return scope.identity;
    const CallerIdentity identity{::geteuid(), ::getegid()};
    if (scope.depth > 0) {
        scope.identity = identity;
        scope.identityKnown = true;
    }
    return identity;
}

void ForgetAfterOwnChange() {
    ForgetRequestFacts();
    ReadWatchesBeforeNextFind();
}

bool InResolutionScope() {
    return t_scope.depth > 0;
}

void ForgetRequestFacts() {
    ScopeState& scope = t_scope;
    CheckWatchesBeforeNextFind();
    for (KeptDirectory& entry : scope.kept) {
        if (!entry.fd) continue;
        entry.fd.reset();
        entry.config.reset();
        entry.boundary = nullptr;
    }
    if (scope.path.valid) {
        scope.path.valid = false;
        scope.path.location.ownedParent.reset();
        scope.path.location.config.reset();
    }
    if (scope.object.valid) {
        scope.object.valid = false;
        scope.object.parent.reset();
        scope.object.config.reset();
        scope.object.parentFd = -1;
    }
}

bool FindResolvedPath(LPCWSTR path, uint64_t configVersion, ParsedPath* parsed, Location* out) {
    const KeptPath& kept = t_scope.path;
    if (t_scope.depth == 0 || !kept.valid || kept.configVersion != configVersion || !path ||
        kept.text != path)
        return false;
    *parsed = kept.parsed;
    *out = kept.location;
    return true;
}

void KeepResolvedPath(LPCWSTR path, uint64_t configVersion, const ParsedPath& parsed,
                      const Location& location) {
    if (t_scope.depth == 0 || !path) return;
    KeptPath& kept = t_scope.path;
    kept.valid = true;
    kept.configVersion = configVersion;
    kept.text = path;
    kept.parsed = parsed;
    kept.location = location;
}

bool ScopeKeepsObjects() {
    return t_scope.depth != 0 && t_scope.changesNothing;
}

const KeptObject* FindKeptObject(int parentFd, const std::string& name) {
    const KeptEntry& entry = t_scope.object;
    if (t_scope.depth == 0 || !entry.valid || entry.parentFd != parentFd || entry.name != name)
        return nullptr;
    return &entry.object;
}

const KeptObject* StatAndKeepObject(const Location& location) {
    if (!ScopeKeepsObjects() || location.name.empty()) return nullptr;
    struct statx st;
    if (!StatAt(location.parentFd, location.name.c_str(), &st)) return nullptr;
    KeptEntry& entry = t_scope.object;
    entry.valid = true;
    entry.config = location.config;
    entry.parent = location.ownedParent;
    entry.parentFd = location.parentFd;
    entry.name = location.name;
    entry.object.st = st;
    entry.object.taken = std::chrono::steady_clock::now();
    return &entry.object;
}

void KeepUntilScopeEnd(std::weak_ptr<ScopeEndWork> work) {
    if (t_scope.depth != 0) t_scope.withoutFd.push_back(std::move(work));
}

}  // namespace kiln::platform
