// ReceiveAny, the default Run and sending, against a hub that records calls.
#include <gtest/gtest.h>

#include "component/fake_hub.h"
#include "component/general_quanta.h"
#include "component/kiln_component.h"

namespace kiln::test {
namespace {

struct PortPair {
    TypedInPort<QtEof> first;
    TypedInPort<QtSuccess> second;
    InPort* const ports[2] = {&first, &second};
};

struct OrderCase {
    const char* name;
    std::vector<uint64_t> firstSequences;
    std::vector<uint64_t> secondSequences;
    // Port (0 or 1) and sequence number of each quantum, in the order
    // ReceiveAny must return them.
    std::vector<std::pair<int, uint64_t>> expected;
};

class ReceiveAnyOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(ReceiveAnyOrder, TakesTheLowestSequenceNumberFirst) {
    const OrderCase& c = GetParam();
    PortPair pair;
    for (uint64_t s : c.firstSequences) pair.first.Append(MakeRef<QtEof>(), s);
    for (uint64_t s : c.secondSequences) pair.second.Append(MakeRef<QtSuccess>(), s);
    RecordingHub hub;
    hub.onWait = [](size_t) { FAIL() << "waited although quanta were queued"; };

    for (const auto& [port, sequence] : c.expected) {
        RefPtr<Quantum> q = KilnComponent::ReceiveAny(hub, pair.ports);
        ASSERT_TRUE(q);
        EXPECT_STREQ(q->TypeId(), port == 0 ? "QtEof" : "QtSuccess") << "sequence " << sequence;
    }
    EXPECT_TRUE(pair.first.IsEmpty());
    EXPECT_TRUE(pair.second.IsEmpty());
    EXPECT_FALSE(hub.locked);
    EXPECT_EQ(hub.lockCount, static_cast<int>(c.expected.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveAnyOrder,
    ::testing::Values(OrderCase{"SevenBeforeFive", {7}, {5}, {{1, 5}, {0, 7}}},
                      OrderCase{"FiveBeforeSeven", {5}, {7}, {{0, 5}, {1, 7}}},
                      OrderCase{"EqualNumbersFirstPortWins", {5}, {5}, {{0, 5}, {1, 5}}},
                      OrderCase{"OnlySecondPort", {}, {3, 4}, {{1, 3}, {1, 4}}},
                      OrderCase{"Interleaved",
                                {1, 4, 6},
                                {2, 3, 5},
                                {{0, 1}, {1, 2}, {1, 3}, {0, 4}, {1, 5}, {0, 6}}},
                      // Sequence numbers compare as unsigned 64-bit values.
                      OrderCase{"Unsigned",
                                {0x8000000000000000u},
                                {0x7FFFFFFFFFFFFFFFu},
                                {{1, 0x7FFFFFFFFFFFFFFFu}, {0, 0x8000000000000000u}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReceiveAny, WaitsOnTheHubWhenBothPortsAreEmptyAndTriesAgain) {
    PortPair pair;
    RecordingHub hub;
    // The first wait returns early with nothing delivered; the second finds a
    // delivery on the second port.
    hub.onWait = [&](size_t n) {
        if (n == 2) pair.second.Append(MakeRef<QtSuccess>(), 1);
    };
    RefPtr<Quantum> q = KilnComponent::ReceiveAny(hub, pair.ports);
    ASSERT_TRUE(q);
    EXPECT_STREQ(q->TypeId(), "QtSuccess");
    ASSERT_EQ(hub.waits.size(), 2u);
    for (const auto& wait : hub.waits) {
        EXPECT_EQ(wait.ports, (std::vector<InPort*>{&pair.first, &pair.second}));
        EXPECT_EQ(wait.count, 2u);
        EXPECT_EQ(wait.reserved1, 0u);
        EXPECT_EQ(wait.reserved2, 0u);
    }
}

// A component whose Step finishes on the third call.
class SteppingComponent : public KilnComponent {
  public:
    SteppingComponent() {
        RegisterPort(m_a);
        RegisterPort(m_b);
    }
    int Step() override { return ++steps == 3 ? 1 : 0; }
    int steps = 0;
    TypedInPort<QtEof> m_a;
    TypedInPort<QtTrigger> m_b;
};

TEST(DefaultRun, StepsAndWaitsOnAllInputPortsUntilStepSaysFinished) {
    SteppingComponent component;
    RecordingHub hub;
    component.SetHub(&hub);
    component.Run();
    EXPECT_EQ(component.steps, 3);
    ASSERT_EQ(hub.waits.size(), 2u);
    EXPECT_EQ(hub.waits[0].ports, (std::vector<InPort*>{&component.m_a, &component.m_b}));
    EXPECT_EQ(hub.waits[0].count, 2u);
}

TEST(DefaultRun, DefaultStepFinishesAtOnce) {
    KilnComponent component;
    RecordingHub hub;
    component.SetHub(&hub);
    component.Run();
    EXPECT_TRUE(hub.waits.empty());
}

TEST(Send, PassesTheOutPortAndTheQuantumAndKeepsNoReference) {
    KilnComponent component;
    RecordingHub hub;
    component.SetHub(&hub);
    RefPtr<QtError> error = MakeRef<QtError>();
    component.Send(component.ErrorPort(), error);
    ASSERT_EQ(hub.sends.size(), 1u);
    EXPECT_EQ(hub.sends[0].port, static_cast<OutPort*>(&component.ErrorPort()));
    EXPECT_EQ(hub.sends[0].quantum.get(), static_cast<Quantum*>(error.get()));
    hub.sends.clear();
    // Only the test's own reference is left.
    EXPECT_EQ(error->RefCount(), 1u);
}

TEST(Send, WithoutAnInstalledHubIsAnAssertion) {
    KilnComponent component;
    EXPECT_THROW(component.Send(component.ErrorPort(), MakeRef<QtError>()), AssertionFailed);
}

}  // namespace
}  // namespace kiln::test
