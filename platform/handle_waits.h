// What the port hub needs to sleep on events and threads together with its
// own queues: a set of handles that tells a waiter when one of them may have
// become signalled. Not part of the Windows API.
#pragma once

#include <memory>

#include "platform/win32_base.h"

namespace kiln::platform {

// Someone who sleeps until one of several objects becomes signalled. Notify
// may be called from any thread and must not block; it may come spuriously,
// so the waiter checks again itself.
class SignalWaiter {
  public:
    virtual void Notify() = 0;

  protected:
    ~SignalWaiter() = default;
};

class HandleWaits {
  public:
    HandleWaits();
    // Stops watching: no Notify runs any more once this returns.
    ~HandleWaits();
    HandleWaits(const HandleWaits&) = delete;
    HandleWaits& operator=(const HandleWaits&) = delete;

    // False when the handle names nothing that can be waited on.
    bool Add(HANDLE handle);
    bool Empty() const;
    // Whether a wait on one of the handles would be satisfied now. On
    // Windows the check is a wait, so it takes the signal of an auto-reset
    // event as any wait does.
    bool AnySignalled() const;
    // From now on, tells `waiter` of each change to one of the handles.
    void Watch(SignalWaiter* waiter);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kiln::platform
