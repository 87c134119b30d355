#include "platform/handle_waits.h"

#include <vector>

#include "platform/posix/system/handle_table.h"

namespace kiln::platform {

struct HandleWaits::State {
    std::vector<std::shared_ptr<KernelObject>> objects;
    SignalWaiter* waiter = nullptr;
};

HandleWaits::HandleWaits() : state_(std::make_unique<State>()) {}

HandleWaits::~HandleWaits() {
    // Removing takes each object's waiter lock, so a Notify in progress ends
    // before this returns.
    if (state_->waiter)
        for (auto& object : state_->objects) object->RemoveWaiter(state_->waiter);
}

bool HandleWaits::Add(HANDLE handle) {
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object) return false;
    if (state_->waiter) object->AddWaiter(state_->waiter);
    state_->objects.push_back(std::move(object));
    return true;
}

bool HandleWaits::Empty() const {
    return state_->objects.empty();
}

bool HandleWaits::AnySignalled() const {
    for (auto& object : state_->objects)
        if (object->IsSignalled()) return true;
    return false;
}

void HandleWaits::Watch(SignalWaiter* waiter) {
    state_->waiter = waiter;
    for (auto& object : state_->objects) object->AddWaiter(waiter);
}

}  // namespace kiln::platform
