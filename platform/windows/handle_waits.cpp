#include "platform/handle_waits.h"

#include <vector>

namespace kiln::platform {

struct HandleWaits::State {
    std::vector<HANDLE> handles;
    // One registered wait per handle, run by the system's thread pool.
    std::vector<HANDLE> registrations;
    SignalWaiter* waiter = nullptr;
};

namespace {
void CALLBACK Signalled(PVOID context, BOOLEAN /*timedOut*/) {
    static_cast<SignalWaiter*>(context)->Notify();
}

bool Register(HANDLE handle, SignalWaiter* waiter, std::vector<HANDLE>& registrations) {
    HANDLE registration = nullptr;
    // Once is enough: the waiter wakes and looks for itself; a manual-reset
    // event left set would otherwise call back without end.
    if (!RegisterWaitForSingleObject(&registration, handle, Signalled, waiter, INFINITE,
                                     WT_EXECUTEONLYONCE))
        return false;
    registrations.push_back(registration);
    return true;
}
}  // namespace

HandleWaits::HandleWaits() : state_(std::make_unique<State>()) {}

HandleWaits::~HandleWaits() {
    // INVALID_HANDLE_VALUE: wait for a call-back in progress to end.
    for (HANDLE registration : state_->registrations)
        UnregisterWaitEx(registration, INVALID_HANDLE_VALUE);
}

bool HandleWaits::Add(HANDLE handle) {
    if (WaitForSingleObject(handle, 0) == WAIT_FAILED) return false;
    if (state_->waiter && !Register(handle, state_->waiter, state_->registrations)) return false;
    state_->handles.push_back(handle);
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
    state_->waiter = waiter;
    for (HANDLE handle : state_->handles) {
        // A handle that cannot be watched is reported as signalled, so that
        // the waiter returns and finds the fault itself instead of sleeping.
        if (!Register(handle, waiter, state_->registrations)) waiter->Notify();
    }
}

}  // namespace kiln::platform
