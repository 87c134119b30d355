// The directories one request resolved beneath the root. Each was verified
// beneath the boundary by the kernel (openat2 with RESOLVE_BENEATH) when it
// was resolved; what keeping it allows is stated in
// platform/resolution_scope.h. A request names one or two paths, so a handful
// of entries is all a scope needs; the oldest goes first.
#include "platform/resolution_scope.h"

#include <array>
#include <cstring>

#include "platform/posix/confinement.h"

namespace kiln::platform {
namespace {

struct KeptDirectory {
    std::shared_ptr<const FileConfig> config;  // keeps the boundary alive
    const BoundaryDir* boundary = nullptr;
    std::string directory;  // below the boundary, components joined with '/'
    SharedFd fd;
};

struct ScopeState {
    int depth = 0;
    size_t next = 0;
    std::array<KeptDirectory, 4> kept;
};

thread_local ScopeState t_scope;

// Whether `joined` is the first `count` components joined with '/'.
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

}  // namespace

ResolutionScope::ResolutionScope() : outermost_(t_scope.depth++ == 0) {}

ResolutionScope::~ResolutionScope() {
    --t_scope.depth;
    if (outermost_) ForgetResolvedDirectories();
}

SharedFd FindResolvedDirectory(const BoundaryDir* boundary, const std::vector<std::string>& relative,
                               size_t count) {
    if (t_scope.depth == 0) return nullptr;
    for (const KeptDirectory& entry : t_scope.kept)
        if (entry.fd && entry.boundary == boundary && SameDirectory(entry.directory, relative, count))
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

void ForgetResolvedDirectories() {
    ScopeState& scope = t_scope;
    for (KeptDirectory& entry : scope.kept) {
        if (!entry.fd) continue;
        entry.fd.reset();
        entry.config.reset();
        entry.boundary = nullptr;
    }
}

}  // namespace kiln::platform
