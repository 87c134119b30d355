#include "platform/handle_waits.h"

#include <vector>

namespace kiln::platform {

// One watcher thread per watched set, waiting on our own duplicates of the
// handles together with a stop event. The system's thread pool was tried
// first: its wait call-backs could still run after UnregisterWaitEx had
// returned (seen under Wine), into a waiter that no longer existed. A thread
// of our own is joined before the set goes, so no Notify outlives it; a wait
// on handles is rare enough (a component waiting for its workers) for the
// thread to cost nothing that matters.
namespace {

struct Watched {
    // Duplicates: the owner of a handle may close it while we still wait.
    std::vector<HANDLE> handles;
    SignalWaiter* waiter = nullptr;
    HANDLE stop = nullptr;
    HANDLE watcher = nullptr;
};

DWORD WINAPI WatchThread(LPVOID context) {
    auto* state = static_cast<Watched*>(context);
    std::vector<HANDLE> all{state->stop};
    all.insert(all.end(), state->handles.begin(), state->handles.end());
    const DWORD result =
        WaitForMultipleObjects(static_cast<DWORD>(all.size()), all.data(), FALSE, INFINITE);
    // Once is enough: the waiter wakes and looks for itself (a wait that
    // failed wakes it too, so that it finds the fault instead of sleeping).
    if (result != WAIT_OBJECT_0) state->waiter->Notify();
    return 0;
}

void StopWatching(Watched& state) {
    if (!state.watcher) return;
    SetEvent(state.stop);
    WaitForSingleObject(state.watcher, INFINITE);
    CloseHandle(state.watcher);
    state.watcher = nullptr;
    ResetEvent(state.stop);
}

void StartWatching(Watched& state) {
    if (state.handles.empty()) return;
    // One wait covers the stop event and at most 63 handles.
    if (state.handles.size() >= MAXIMUM_WAIT_OBJECTS ||
        (!state.stop && !(state.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr))) ||
        !(state.watcher = CreateThread(nullptr, 64 * 1024, WatchThread, &state,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)))
        state.waiter->Notify();
}

}  // namespace

struct HandleWaits::State : Watched {};

HandleWaits::HandleWaits() : state_(std::make_unique<State>()) {}

HandleWaits::~HandleWaits() {
    StopWatching(*state_);
    if (state_->stop) CloseHandle(state_->stop);
    for (HANDLE handle : state_->handles) CloseHandle(handle);
}

bool HandleWaits::Add(HANDLE handle) {
    HANDLE own = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, handle, process, &own, SYNCHRONIZE, FALSE, 0)) return false;
    StopWatching(*state_);
    state_->handles.push_back(own);
    if (state_->waiter) StartWatching(*state_);
    return true;
}

bool HandleWaits::Empty() const {
    return state_->handles.empty();
}

bool HandleWaits::AnySignalled() const {
    for (HANDLE handle : state_->handles)
        if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) return true;
    return false;
}

void HandleWaits::Watch(SignalWaiter* waiter) {
    StopWatching(*state_);
    state_->waiter = waiter;
    StartWatching(*state_);
}

}  // namespace kiln::platform
