// The host's PortHub: linking, delivery order, waking and waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "component/general_quanta.h"
#include "component/kiln_component.h"
#include "component/qt_out_port.h"
#include "host/port_hub_impl.h"
#include "platform/win32.h"

namespace kiln::test {
namespace {

using namespace std::chrono_literals;

// Forwards everything to the real hub and counts the waits, so that a test
// can tell one blocking wait from a spinning loop of early returns.
class CountingHub final : public PortHub {
  public:
    explicit CountingHub(PortHubImpl& hub) : m_hub(hub) {}
    void AddWaitHandle(HANDLE handle) override { m_hub.AddWaitHandle(handle); }
    void Wait(InPort* const* ports, size_t count, uint32_t a, uint32_t b) override {
        ++waits;
        m_hub.Wait(ports, count, a, b);
    }
    uint8_t Send(OutPort& port, const RefPtr<Quantum>& q) override { return m_hub.Send(port, q); }
    void Disconnect(OutPort& out, InPort& in) override { m_hub.Disconnect(out, in); }
    void Lock() override { m_hub.Lock(); }
    void Unlock() override { m_hub.Unlock(); }

    std::atomic<int> waits{0};

  private:
    PortHubImpl& m_hub;
};

uint64_t FrontSequence(InPort& port, PortHub& hub) {
    PortHubLock lock(hub);
    return port.Front() ? port.Front()->sequence : 0;
}

RefPtr<Quantum> Take(InPort& port, PortHub& hub) {
    PortHubLock lock(hub);
    return port.PopFront();
}

TEST(PortHubLink, ConnectsCompatiblePortsBothWays) {
    PortHubImpl hub;
    TypedOutPort<QtEof> out;
    TypedInPort<QtEof> in;
    hub.Link(out, in);
    hub.Link(out, in);  // a second link of the pair changes nothing
    EXPECT_EQ(out.EndPointCount(), 1u);
    EXPECT_EQ(in.EndPointCount(), 1u);
    EXPECT_EQ(out.Hub(), &hub);
    EXPECT_EQ(in.Hub(), &hub);
    EXPECT_TRUE(hub.Unlink(out, in));
    EXPECT_FALSE(hub.Unlink(out, in));
    EXPECT_EQ(out.EndPointCount(), 0u);
    EXPECT_EQ(in.EndPointCount(), 0u);
    EXPECT_EQ(in.Hub(), nullptr) << "a port without links no longer needs the hub";
}

TEST(PortHubLink, RefusesPortsOfDifferentTypesOrOfAnotherHub) {
    PortHubImpl hub, other;
    TypedOutPort<QtEof> out;
    TypedInPort<QtError> wrongType;
    try {
        hub.Link(out, wrongType);
        FAIL() << "linked ports of different types";
    } catch (const PortLinkError& e) {
        EXPECT_EQ(std::u16string(e.Description().sv()),
                  u"PortHub: cannot link an output port for QtEof to an input port for QtError");
    }
    TypedInPort<QtEof> in;
    TypedOutPort<QtEof> elsewhere;
    other.Link(elsewhere, in);
    EXPECT_THROW(hub.Link(out, in), PortLinkError);
    EXPECT_EQ(out.EndPointCount(), 0u);
}

TEST(PortHubSend, NumbersDeliveriesInOrderAcrossPortsAndFansOut) {
    PortHubImpl hub;
    TypedOutPort<QtEof> eofOut;
    TypedOutPort<QtTrigger> triggerOut;
    TypedInPort<QtEof> eofA, eofB;
    TypedInPort<QtTrigger> trigger;
    hub.Link(eofOut, eofA);
    hub.Link(eofOut, eofB);
    hub.Link(triggerOut, trigger);

    EXPECT_EQ(hub.Send(triggerOut, MakeRef<QtTrigger>()), 1);
    RefPtr<Quantum> eof = MakeRef<QtEof>();
    EXPECT_EQ(hub.Send(eofOut, eof), 1);
    EXPECT_EQ(hub.Send(triggerOut, MakeRef<QtTrigger>()), 1);

    EXPECT_EQ(FrontSequence(trigger, hub), 1u);
    EXPECT_EQ(FrontSequence(eofA, hub), 2u);
    EXPECT_EQ(FrontSequence(eofB, hub), 3u);
    EXPECT_EQ(hub.DeliveryCount(), 4u);
    RefPtr<Quantum> takenA = Take(eofA, hub);
    RefPtr<Quantum> takenB = Take(eofB, hub);
    EXPECT_EQ(takenA, eof);
    EXPECT_EQ(takenB, eof) << "both ports share the one quantum";
    EXPECT_EQ(eof->RefCount(), 3u) << "the caller's reference plus the two taken ones";
}

TEST(PortHubSend, NeverQueuesNullOrAQuantumThePortDoesNotTake) {
    PortHubImpl hub;
    // An output port whose name says QtEof but that is handed anything.
    TypedOutPort<QtEof> out;
    TypedInPort<QtEof> in;
    hub.Link(out, in);
    EXPECT_EQ(hub.Send(out, nullptr), 0);
    EXPECT_EQ(hub.Send(out, MakeRef<QtSuccess>()), 0);
    EXPECT_TRUE(in.IsEmpty());
    EXPECT_EQ(hub.RefusedCount(), 1u);
    TypedOutPort<QtEof> unlinked;
    EXPECT_EQ(hub.Send(unlinked, MakeRef<QtEof>()), 0);
    EXPECT_EQ(hub.DeliveryCount(), 0u);
}

TEST(PortHubSend, AConsumerPortIsEmptiedByTheSenderAfterTheDelivery) {
    PortHubImpl hub;
    TypedOutPort<QtEof> out;
    TypedInPort<QtEof> consumed, plain;
    hub.Link(out, consumed);
    hub.Link(out, plain);
    std::vector<std::pair<std::thread::id, uint64_t>> taken;
    // The consumer takes the hub's lock itself: the sender must have let go.
    hub.SetConsumer(consumed, [&] {
        PortHubLock lock(hub);
        while (const QuantaEntry* front = consumed.Front()) {
            taken.emplace_back(std::this_thread::get_id(), front->sequence);
            consumed.PopFront();
        }
    });
    std::thread sender([&] {
        EXPECT_EQ(hub.Send(out, MakeRef<QtEof>()), 1);
        EXPECT_EQ(hub.Send(out, MakeRef<QtEof>()), 1);
    });
    const std::thread::id senderId = sender.get_id();
    sender.join();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0], std::make_pair(senderId, uint64_t{1}));
    EXPECT_EQ(taken[1], std::make_pair(senderId, uint64_t{3}));
    EXPECT_TRUE(consumed.IsEmpty());
    EXPECT_EQ(FrontSequence(plain, hub), 2u) << "an ordinary port keeps its queue";
    hub.SetConsumer(consumed, nullptr);
    EXPECT_EQ(hub.Send(out, MakeRef<QtEof>()), 1);
    EXPECT_FALSE(consumed.IsEmpty()) << "without a consumer the quantum waits in the queue";
}

class TwoPortReceiver : public KilnComponent {
  public:
    TwoPortReceiver() {
        RegisterPort(m_eof);
        RegisterPort(m_trigger);
    }
    InPort* const m_ports[2] = {&m_eof, &m_trigger};
    TypedInPort<QtEof> m_eof;
    TypedInPort<QtTrigger> m_trigger;
};

TEST(PortHubWait, BlocksWithoutSpinningUntilASendWakesIt) {
    PortHubImpl hub;
    CountingHub counting(hub);
    TwoPortReceiver receiver;
    TypedOutPort<QtTrigger> out;
    hub.Link(out, receiver.m_trigger);
    receiver.SetHub(&counting);

    std::atomic<bool> received{false};
    std::thread component([&] {
        RefPtr<Quantum> q = receiver.ReceiveAny(receiver.m_ports);
        received = q && std::strcmp(q->TypeId(), "QtTrigger") == 0;
    });
    // Let the receiver fall asleep; a loop of early returns would pile up
    // wait calls meanwhile.
    while (hub.SleepCount() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(counting.waits.load(), 1);
    EXPECT_FALSE(received.load());
    hub.Send(out, MakeRef<QtTrigger>());
    component.join();
    EXPECT_TRUE(received.load());
    EXPECT_EQ(counting.waits.load(), 1);
}

TEST(PortHubWait, ASendToAnotherPortDoesNotWakeTheWaiter) {
    PortHubImpl hub;
    TypedOutPort<QtEof> otherOut;
    TypedInPort<QtEof> other;
    TypedOutPort<QtTrigger> out;
    TypedInPort<QtTrigger> watched;
    hub.Link(otherOut, other);
    hub.Link(out, watched);
    InPort* ports[] = {&watched};
    hub.Send(otherOut, MakeRef<QtEof>());
    EXPECT_FALSE(hub.WaitFor(ports, 1, 30ms)) << "woken by a port it does not watch";
    hub.Send(out, MakeRef<QtTrigger>());
    EXPECT_TRUE(hub.WaitFor(ports, 1, 0ms)) << "a queued entry ends the wait at once";
}

TEST(PortHubWait, AnAddedEventEndsTheWait) {
    PortHubImpl hub;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    TypedInPort<QtEof> idle;
    InPort* ports[] = {&idle};
    std::thread signaller([&] {
        while (hub.SleepCount() == 0) std::this_thread::yield();
        SetEvent(event);
    });
    hub.AddWaitHandle(event);
    hub.Wait(ports, 1, 0, 0);
    signaller.join();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(hub.SleepCount(), 1u);
    EXPECT_TRUE(idle.IsEmpty());
    CloseHandle(event);
}

TEST(PortHubWait, AFinishingThreadEndsAWaitWithoutPorts) {
    PortHubImpl hub;
    std::atomic<bool> release{false};
    auto routine = [](LPVOID p) -> DWORD {
        auto* flag = static_cast<std::atomic<bool>*>(p);
        while (!flag->load()) std::this_thread::sleep_for(1ms);
        return 7;
    };
    HANDLE thread = CreateThread(nullptr, 0, routine, &release, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    std::thread releaser([&] {
        while (hub.SleepCount() == 0) std::this_thread::yield();
        release = true;
    });
    hub.AddWaitHandle(thread);
    hub.Wait(nullptr, 0, 0, 0);  // as the backend waits for its own worker
    releaser.join();
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
}

TEST(PortHubWait, AddedHandlesCountForTheNextWaitOfThatThreadOnly) {
    PortHubImpl hub;
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // already set
    ASSERT_NE(event, nullptr);
    TypedInPort<QtEof> in;
    TypedOutPort<QtEof> out;
    hub.Link(out, in);
    InPort* ports[] = {&in};

    // Another thread's handle is not this thread's.
    std::thread other([&] { hub.AddWaitHandle(event); });
    other.join();
    EXPECT_FALSE(hub.WaitFor(ports, 1, 20ms));

    hub.AddWaitHandle(event);
    EXPECT_TRUE(hub.WaitFor(ports, 1, 10s)) << "a signalled handle ends the wait at once";
    EXPECT_FALSE(hub.WaitFor(ports, 1, 20ms)) << "the handle was for one wait only";
    CloseHandle(event);
}

TEST(PortHubWait, ReturnsAtOnceWhenNothingCouldEverEndIt) {
    PortHubImpl hub;
    hub.Wait(nullptr, 0, 0, 0);
    hub.AddWaitHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7777)));
    hub.Wait(nullptr, 0, 0, 0);  // a handle that names nothing
    EXPECT_EQ(hub.SleepCount(), 0u);
}

TEST(PortHubTeardown, PortsThatOutliveTheHubAreDetached) {
    auto in = std::make_unique<TypedInPort<QtEof>>();
    RefPtr<QtOutPort<QtEof>> reply = MakeRef<QtOutPort<QtEof>>();
    {
        PortHubImpl hub;
        hub.Link(*reply, *in);
        hub.Send(*reply, MakeRef<QtEof>());
    }
    EXPECT_EQ(in->Hub(), nullptr);
    EXPECT_EQ(reply->Hub(), nullptr);
    EXPECT_EQ(in->EndPointCount(), 0u);
    // Neither may reach the destroyed hub now (the sanitizer build checks).
    reply.reset();
    EXPECT_EQ(in->QueuedCount(), 1u);
    in.reset();
}

TEST(PortHubTeardown, AReplyPortDroppedByTheReceiverUnlinksThroughTheHub) {
    PortHubImpl hub;
    TypedInPort<QtEof> replies;
    RefPtr<QtOutPort<QtEof>> reply = MakeRef<QtOutPort<QtEof>>();
    hub.Link(*reply, replies);
    std::thread receiver([moved = std::move(reply)]() mutable { moved.reset(); });
    receiver.join();
    EXPECT_EQ(replies.EndPointCount(), 0u);
    EXPECT_EQ(hub.DisconnectCount(), 1u);
    EXPECT_EQ(replies.Hub(), nullptr);
}

}  // namespace
}  // namespace kiln::test
