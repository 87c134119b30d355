// TestHost: runs one component the way a real host does, for tests.
//
// It links every input port of the component to an output port of its own,
// every output port of the component (the error port first) to a collector
// of its own, installs a real PortHub and calls Run on a thread. What the
// component sends (on its own ports or on reply ports that came inside a
// message) is collected in delivery order. A KilnComponent::Exit that ends
// Run is reported on the component's error port as a QtError, as a real host
// does, and is kept as the run's outcome.
//
//   TestHost host(std::make_unique<MyComponent>());
//   host.Start();
//   auto request = MakeRef<QtSfsRequest>();
//   request->m_outResponse = host.ReplyPort<QtSfsResponse>();
//   host.Send(request);
//   RefPtr<QtSfsResponse> response = host.WaitFor<QtSfsResponse>();
//   host.Send(MakeRef<QtEof>());
//   ASSERT_TRUE(host.Join());
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "component/kiln_component.h"
#include "component/qt_out_port.h"
#include "host/port_hub_impl.h"

namespace kiln::test {

using namespace std::chrono_literals;

// How Run ended.
struct RunOutcome {
    enum class Kind { Running, Returned, Exit, Exception };
    Kind kind = Kind::Running;
    // For Exit: the class and code; for Exit and Exception: the text.
    ErrCls cls = ErrCls::Kiln;
    uint32_t code = 0;
    WString text;
};

class TestHost {
  public:
    static constexpr std::chrono::milliseconds kDefaultTimeout = 10s;

    explicit TestHost(std::unique_ptr<KilnComponent> component);
    // Adopts a component made by a factory (CreateSfsProvider).
    explicit TestHost(KilnComponent* adopted) : TestHost(std::unique_ptr<KilnComponent>(adopted)) {}
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;
    // If Run is still going, sends a QtEof to the first input port that takes
    // one, then waits for Run to end; a component that still does not end
    // stops the test program with a message rather than hang it.
    ~TestHost();

    KilnComponent& Component() { return *m_component; }
    template <class C>
    C& ComponentAs() {
        return dynamic_cast<C&>(*m_component);
    }
    PortHubImpl& Hub() { return m_hub; }

    // The component gets this hub instead of the host's (for instance a
    // wrapper that counts calls and forwards them). Call before Start.
    void UseComponentHub(PortHub& hub) { m_componentHub = &hub; }

    // Links the ports, installs the hub and calls Run on a new thread.
    void Start();

    // Sends on the host port linked to the component's first input port that
    // accepts the quantum; false (and a test failure) when none does.
    bool Send(const RefPtr<Quantum>& quantum);
    // Sends to the component's input port by registration index, whatever its
    // type: the hub's acceptance test then decides.
    bool SendTo(size_t inputIndex, const RefPtr<Quantum>& quantum);

    // A reply port for T, linked to the host's collector for T, to put into
    // a message for the component.
    template <class T>
    RefPtr<QtOutPort<T>> ReplyPort() {
        RefPtr<QtOutPort<T>> port = MakeRef<QtOutPort<T>>();
        m_hub.Link(*port, CollectorFor(T::kTypeId));
        return port;
    }

    // The oldest collected T that no WaitFor has returned yet, waiting up to
    // the time-out for one to arrive; null when none came.
    template <class T>
    RefPtr<T> WaitFor(std::chrono::milliseconds timeout = kDefaultTimeout) {
        return QuantumCast<T>(WaitForMatch(
            [](const Quantum& q) { return dynamic_cast<const T*>(&q) != nullptr; }, timeout));
    }
    // Waits until at least `count` T have been collected in all.
    template <class T>
    bool WaitForCount(size_t count, std::chrono::milliseconds timeout = kDefaultTimeout) {
        return WaitUntilCollected([&] { return Received<T>().size() >= count; }, timeout);
    }

    // Everything collected so far, in delivery order (after taking what has
    // arrived meanwhile).
    std::vector<RefPtr<Quantum>> Received();
    template <class T>
    std::vector<RefPtr<T>> Received() {
        std::vector<RefPtr<T>> out;
        for (const RefPtr<Quantum>& q : Received())
            if (RefPtr<T> t = QuantumCast<T>(q)) out.push_back(t);
        return out;
    }
    // The dumps of everything collected (indent 0, step 2, abbreviated).
    std::vector<std::u16string> ReceivedDumps();

    // Waits for Run to end; false when it did not within the time-out.
    bool Join(std::chrono::milliseconds timeout = kDefaultTimeout);
    bool Finished() const { return m_finished.load(); }
    // How Run ended; Kind::Running until it has.
    RunOutcome Outcome() const;

  private:
    // An input port of the host that takes any quantum of its type name.
    class Collector;
    // An output port of the host for the component's input port.
    class Feeder;
    struct Item {
        RefPtr<Quantum> quantum;
        bool taken = false;
    };

    InPort& CollectorFor(const char* typeName);
    // Moves what the collectors hold into m_items, in delivery order.
    void Drain();
    RefPtr<Quantum> WaitForMatch(const std::function<bool(const Quantum&)>& match,
                                 std::chrono::milliseconds timeout);
    bool WaitUntilCollected(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    void RunComponent();

    // Declared first so that it goes last: every port below is linked to it.
    PortHubImpl m_hub;
    PortHub* m_componentHub = nullptr;
    std::vector<std::unique_ptr<Collector>> m_collectors;
    std::vector<std::unique_ptr<Feeder>> m_feeders;
    std::vector<Item> m_items;
    std::unique_ptr<KilnComponent> m_component;
    std::thread m_thread;
    std::atomic<bool> m_finished{false};
    mutable std::mutex m_outcomeLock;
    std::condition_variable m_outcomeChanged;
    RunOutcome m_outcome;
};

}  // namespace kiln::test
