// The clock and the settable lifetime of the registry of memos, on Windows.
#include "platform/caches.h"

#include <atomic>
#include <cstdint>

namespace kiln::platform::caches {
namespace {
std::atomic<int64_t> g_accountLifetimeMs{5000};
}

// The steady clock of the Windows runtime already reads the performance
// counter cheaply; there is no coarser one to prefer.
std::chrono::steady_clock::time_point CoarseNow() {
    return std::chrono::steady_clock::now();
}

std::chrono::steady_clock::duration AccountLifetime() {
    return std::chrono::milliseconds(g_accountLifetimeMs.load(std::memory_order_relaxed));
}

void SetAccountLifetime(std::chrono::milliseconds lifetime) {
    g_accountLifetimeMs.store(lifetime.count(), std::memory_order_relaxed);
}

// Nothing on Windows keeps what these would tell to forget.
void SetDirectoryWatching(bool) {}
bool DirectoryWatching() {
    return false;
}
void NoteRequestsRead() {}
uint64_t RequestsRead() {
    return 0;
}
uint64_t PrivilegesGeneration() {
    return 0;
}
void NotePrivilegesChanged() {}

}  // namespace kiln::platform::caches
