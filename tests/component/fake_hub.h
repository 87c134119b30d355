// A PortHub that records what components and ports call on it, for tests of
// the component side without the host's hub.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "component/port_hub.h"

namespace kiln::test {

class RecordingHub final : public PortHub {
  public:
    struct WaitCall {
        std::vector<InPort*> ports;
        size_t count;
        uint32_t reserved1;
        uint32_t reserved2;
    };
    struct SendCall {
        OutPort* port;
        RefPtr<Quantum> quantum;
    };

    void AddWaitHandle(HANDLE handle) override { handles.push_back(handle); }
    void Wait(InPort* const* ports, size_t count, uint32_t reserved1, uint32_t reserved2) override {
        EXPECT_FALSE(locked) << "Wait called with the lock held";
        waits.push_back(
            WaitCall{std::vector<InPort*>(ports, ports + count), count, reserved1, reserved2});
        if (onWait) onWait(waits.size());
    }
    uint8_t Send(OutPort& port, const RefPtr<Quantum>& quantum) override {
        sends.push_back(SendCall{&port, quantum});
        return 1;
    }
    void Disconnect(OutPort& out, InPort& in) override {
        EXPECT_TRUE(locked) << "Disconnect called without the lock";
        disconnects.emplace_back(&out, &in);
    }
    void Lock() override {
        EXPECT_FALSE(locked) << "lock taken twice";
        locked = true;
        ++lockCount;
    }
    void Unlock() override {
        EXPECT_TRUE(locked) << "unlock without lock";
        locked = false;
    }

    // Links two ports the way a host does (without delivery).
    void Link(OutPort& out, InPort& in) {
        out.AddEndPoint(&in);
        in.AddEndPoint(&out);
        out.SetHub(this);
        in.SetHub(this);
    }

    std::vector<HANDLE> handles;
    std::vector<WaitCall> waits;
    std::vector<SendCall> sends;
    std::vector<std::pair<OutPort*, InPort*>> disconnects;
    std::function<void(size_t)> onWait;  // runs after each recorded wait
    bool locked = false;
    int lockCount = 0;
};

}  // namespace kiln::test
