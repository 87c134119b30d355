// The clock and the settable lifetime of the registry of memos.
#include "platform/caches.h"

#include <time.h>

#include <atomic>
#include <cstdint>

namespace kiln::platform::caches {
namespace {
std::atomic<int64_t> g_accountLifetimeMs{5000};
std::atomic<uint64_t> g_privilegesGeneration{0};
std::atomic<uint64_t> g_requestsRead{0};
std::atomic<bool> g_directoryWatching{true};
}  // namespace

std::chrono::steady_clock::time_point CoarseNow() {
    // CLOCK_MONOTONIC_COARSE counts from the origin of the steady clock and
    // costs no counter read.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::chrono::steady_clock::time_point(std::chrono::seconds(now.tv_sec) +
                                                 std::chrono::nanoseconds(now.tv_nsec));
}

std::chrono::steady_clock::duration AccountLifetime() {
    return std::chrono::milliseconds(g_accountLifetimeMs.load(std::memory_order_relaxed));
}

void SetAccountLifetime(std::chrono::milliseconds lifetime) {
    g_accountLifetimeMs.store(lifetime.count(), std::memory_order_relaxed);
}

void SetDirectoryWatching(bool on) {
    g_directoryWatching.store(on, std::memory_order_relaxed);
}

bool DirectoryWatching() {
    return g_directoryWatching.load(std::memory_order_relaxed);
}

void NoteRequestsRead() {
    g_requestsRead.fetch_add(1, std::memory_order_acq_rel);
}

uint64_t RequestsRead() {
    return g_requestsRead.load(std::memory_order_acquire);
}

uint64_t PrivilegesGeneration() {
    return g_privilegesGeneration.load(std::memory_order_acquire);
}

void NotePrivilegesChanged() {
    g_privilegesGeneration.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace kiln::platform::caches
