// Ports: acceptance, compatibility, reply-port quanta and taking ports out of
// service with and without a hub.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "component/fake_hub.h"
#include "component/general_quanta.h"
#include "component/kiln_component.h"
#include "component/qt_out_port.h"

namespace kiln::test {
namespace {

class QtDerivedEof : public QtEof {};

TEST(InPortAccepts, OnlyNonNullQuantaOfItsClassOrDerived) {
    TypedInPort<QtEof> port;
    struct Case {
        const char* what;
        RefPtr<Quantum> quantum;
        bool accepted;
    } cases[] = {
        {"null", nullptr, false},
        {"another class", MakeRef<QtSuccess>(), false},
        {"a vector of the class", MakeRef<QtVectS<QtEof>>(), false},
        {"the class", MakeRef<QtEof>(), true},
        {"a derived class", MakeRef<QtDerivedEof>(), true},
    };
    for (const Case& c : cases) EXPECT_EQ(port.Accepts(c.quantum), c.accepted) << c.what;
}

TEST(PortCompatibility, ComparesTypeNamesExactly) {
    TypedInPort<QtEof> eofIn;
    TypedOutPort<QtEof> eofOut;
    TypedOutPort<QtError> errorOut;
    QtOutPort<QtEof> eofReply;
    EXPECT_STREQ(eofIn.TypeName(), "QtEof");
    EXPECT_TRUE(eofIn.IsCompatible(eofOut));
    EXPECT_TRUE(eofOut.IsCompatible(eofIn));
    EXPECT_TRUE(eofIn.IsCompatible(eofReply));
    EXPECT_FALSE(eofIn.IsCompatible(errorOut));
    EXPECT_FALSE(errorOut.IsCompatible(eofIn));
}

// A message that carries a reply port in memory beside an encoded field.
class QtTestAsk : public QtMessage<QtTestAsk> {
  public:
    KILN_QUANTUM_ID(QtTestAsk)
    uint32_t m_id = 0;
    RefPtr<QtOutPort<QtError>> m_outReply;
    static constexpr auto Fields() {
        return std::make_tuple(Field("m_id", &QtTestAsk::m_id),
                               Field("m_outReply", &QtTestAsk::m_outReply));
    }
};

TEST(QtOutPort, IsAQuantumNamedAfterItsTypeAndAnOutputPortForIt) {
    RefPtr<QtOutPort<QtError>> port = MakeRef<QtOutPort<QtError>>();
    EXPECT_STREQ(port->TypeId(), "QtOutPort[QtError]");
    EXPECT_STREQ(port->TypeName(), "QtError");
    EXPECT_EQ(std::u16string(port->Dump(DumpOptions{}).sv()), u"QtOutPort[QtError]");
    EXPECT_EQ(dynamic_cast<QuantumS*>(static_cast<Quantum*>(port.get())), nullptr)
        << "a reply port must not be encodable";
}

TEST(QtOutPort, TravelsInMemoryOnlyInsideAMessage) {
    RefPtr<QtTestAsk> ask = MakeRef<QtTestAsk>();
    ask->m_id = 0x01020304;
    ask->m_outReply = MakeRef<QtOutPort<QtError>>();
    EXPECT_EQ(std::u16string(ask->Dump(DumpOptions{}).sv()),
              u"QtTestAsk:\nm_id: 16909060\nm_outReply: QtOutPort[QtError]");

    datavect<uint8_t> bytes;
    ASSERT_TRUE(EncodeToBytes(*ask, bytes));
    const uint8_t expected[] = {0, 0, 0, 4, 1, 2, 3, 4};
    ASSERT_EQ(bytes.size(), sizeof expected);
    EXPECT_EQ(0, memcmp(bytes.data(), expected, sizeof expected));

    RefPtr<QtTestAsk> decoded = MakeRef<QtTestAsk>();
    decoded->m_outReply = MakeRef<QtOutPort<QtError>>();
    StaticDecodeContext cx(bytes.data(), bytes.size());
    ASSERT_TRUE(decoded->Decode(cx));
    EXPECT_EQ(decoded->m_id, 0x01020304u);
    EXPECT_FALSE(decoded->m_outReply) << "a port never comes over the wire";
}

TEST(PortTeardown, WithoutAHubMakesNoHubCall) {
    RecordingHub hub;
    auto in = std::make_unique<TypedInPort<QtEof>>();
    auto out = std::make_unique<TypedOutPort<QtEof>>();
    // Lists filled but the hub pointers never set: nothing may reach a hub.
    in->AddEndPoint(out.get());
    out->AddEndPoint(in.get());
    in.reset();
    EXPECT_EQ(hub.lockCount, 0);
    EXPECT_EQ(out->EndPointCount(), 1u) << "without a hub the peer's list is not touched";
    out->ClearEndPoints();
}

TEST(PortTeardown, WithAHubDisconnectsEveryPeerInOrderUnderTheLock) {
    RecordingHub hub;
    TypedInPort<QtEof> a, b;
    auto out = std::make_unique<TypedOutPort<QtEof>>();
    hub.Link(*out, a);
    hub.Link(*out, b);
    OutPort* raw = out.get();
    out.reset();
    EXPECT_EQ(hub.lockCount, 1);
    EXPECT_FALSE(hub.locked);
    ASSERT_EQ(hub.disconnects.size(), 2u);
    EXPECT_EQ(hub.disconnects[0], std::make_pair(raw, static_cast<InPort*>(&a)));
    EXPECT_EQ(hub.disconnects[1], std::make_pair(raw, static_cast<InPort*>(&b)));
    EXPECT_EQ(a.EndPointCount(), 0u);
    EXPECT_EQ(b.EndPointCount(), 0u);
}

TEST(PortTeardown, AnInputPortDisconnectsAsTheInputSide) {
    RecordingHub hub;
    TypedOutPort<QtEof> out;
    auto in = std::make_unique<TypedInPort<QtEof>>();
    hub.Link(out, *in);
    InPort* raw = in.get();
    in.reset();
    ASSERT_EQ(hub.disconnects.size(), 1u);
    EXPECT_EQ(hub.disconnects[0], std::make_pair(static_cast<OutPort*>(&out), raw));
    EXPECT_EQ(out.EndPointCount(), 0u);
}

TEST(PortTeardown, APeerThatLostTrackStillLetsTheOthersGo) {
    RecordingHub hub;
    TypedInPort<QtEof> confused, fine;
    auto out = std::make_unique<TypedOutPort<QtEof>>();
    hub.Link(*out, confused);
    hub.Link(*out, fine);
    confused.ClearEndPoints();  // the two lists now disagree
    EXPECT_THROW(confused.RemoveEndPoint(out.get()), EndPointNotFound);
    EXPECT_NO_THROW(out.reset());
    EXPECT_EQ(fine.EndPointCount(), 0u);
    EXPECT_EQ(hub.disconnects.size(), 2u);
    EXPECT_FALSE(hub.locked);
}

TEST(EndPointNotFound, CarriesItsText) {
    EXPECT_EQ(std::u16string(EndPointNotFound().Description().sv()),
              u"EndPointList: end point not found");
}

class ComponentWithSparePorts : public KilnComponent {
  public:
    ComponentWithSparePorts() {
        for (auto& p : m_in) RegisterPort(*p);
        RegisterPort(*m_out);
    }
    std::unique_ptr<TypedInPort<QtEof>> m_in[3] = {std::make_unique<TypedInPort<QtEof>>(),
                                                   std::make_unique<TypedInPort<QtEof>>(),
                                                   std::make_unique<TypedInPort<QtEof>>()};
    std::unique_ptr<TypedOutPort<QtTrigger>> m_out = std::make_unique<TypedOutPort<QtTrigger>>();
};

TEST(PortTeardown, APortLeavesItsOwnersListKeepingTheOrder) {
    ComponentWithSparePorts c;
    InPort* first = c.m_in[0].get();
    InPort* last = c.m_in[2].get();
    c.m_in[1].reset();
    ASSERT_EQ(c.InPorts().size(), 2u);
    EXPECT_EQ(c.InPorts()[0], first);
    EXPECT_EQ(c.InPorts()[1], last);
    c.m_out.reset();
    ASSERT_EQ(c.OutPorts().size(), 1u);
    EXPECT_EQ(c.OutPorts()[0], static_cast<OutPort*>(&c.ErrorPort()));
}

TEST(PortTeardown, APortThatOutlivesItsComponentFindsNoOwner) {
    RecordingHub hub;
    TypedOutPort<QtEof> peer;
    std::unique_ptr<TypedInPort<QtEof>> survivor;
    {
        ComponentWithSparePorts c;
        survivor = std::move(c.m_in[1]);
        hub.Link(peer, *survivor);
        EXPECT_EQ(survivor->Owner(), &c);
    }
    EXPECT_EQ(survivor->Owner(), nullptr);
    // Destroying it now must not touch the destroyed component (the
    // sanitizer build catches any access); it still unlinks from its peer.
    survivor.reset();
    EXPECT_EQ(peer.EndPointCount(), 0u);
    EXPECT_EQ(hub.disconnects.size(), 1u);
}

}  // namespace
}  // namespace kiln::test
