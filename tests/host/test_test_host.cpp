// Components driven through the test host on the real hub: replies on ports
// carried inside messages, KilnComponent::Exit reaching the host, and many
// components sharing one hub.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "component/general_quanta.h"
#include "component/kiln_component.h"
#include "component/qt_out_port.h"
#include "support/test_host.h"

namespace kiln::test {
namespace {

// A request that brings its own reply and log ports, as the provider's do.
class QtTestRequest : public QtMessage<QtTestRequest> {
  public:
    KILN_QUANTUM_ID(QtTestRequest)
    uint32_t m_id = 0;
    RefPtr<QtOutPort<QtNameValueTree>> m_outReply;
    RefPtr<QtOutPort<QtTrigger>> m_outLog;
    static constexpr auto Fields() {
        return std::make_tuple(Field("m_id", &QtTestRequest::m_id),
                               Field("m_outReply", &QtTestRequest::m_outReply),
                               Field("m_outLog", &QtTestRequest::m_outLog));
    }
};

// Answers each request on its reply port with a tree named after the id,
// logs when a log port came along, stops at QtEof; a request with id 0
// makes it stop with KilnComponent::Exit.
class EchoComponent : public KilnComponent {
  public:
    EchoComponent() {
        RegisterPort(m_requests);
        RegisterPort(m_eof);
    }

    void Run() override {
        InPort* const ports[2] = {&m_requests, &m_eof};
        for (;;) {
            RefPtr<Quantum> q = ReceiveAny(ports);
            RefPtr<QtTestRequest> request = QuantumCast<QtTestRequest>(q);
            if (!request) return;  // end of input
            if (request->m_id == 0)
                throw Exit(ErrCls::Sfs, 1, u"EchoComponent: request without an id");
            WString name = NumberToText(request->m_id);
            if (request->m_outLog) Send(*request->m_outLog, MakeRef<QtTrigger>());
            if (request->m_outReply)
                Send(*request->m_outReply, QtNameValueTree::Make(name.sv(), u"answer"));
            ++handled;
        }
    }

    TypedInPort<QtTestRequest> m_requests;
    TypedInPort<QtEof> m_eof;
    int handled = 0;
};

RefPtr<QtTestRequest> Request(TestHost& host, uint32_t id, bool withLog = false) {
    RefPtr<QtTestRequest> r = MakeRef<QtTestRequest>();
    r->m_id = id;
    r->m_outReply = host.ReplyPort<QtNameValueTree>();
    if (withLog) r->m_outLog = host.ReplyPort<QtTrigger>();
    return r;
}

TEST(TestHost, RepliesArriveOnThePortsCarriedInsideTheRequests) {
    TestHost host(std::make_unique<EchoComponent>());
    host.Start();
    for (uint32_t id = 1; id <= 3; ++id) ASSERT_TRUE(host.Send(Request(host, id, id == 2)));
    for (uint32_t id = 1; id <= 3; ++id) {
        RefPtr<QtNameValueTree> reply = host.WaitFor<QtNameValueTree>();
        ASSERT_TRUE(reply) << "no reply to request " << id;
        EXPECT_EQ(reply->m_name->Str().sv(), NumberToText(id).sv());
    }
    EXPECT_FALSE(host.WaitFor<QtNameValueTree>(10ms)) << "one reply per request";
    ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Returned);
    EXPECT_EQ(host.ComponentAs<EchoComponent>().handled, 3);
    // Replies and the log record, in the order the component sent them.
    std::vector<std::u16string> dumps = host.ReceivedDumps();
    ASSERT_EQ(dumps.size(), 4u);
    EXPECT_EQ(dumps[0].substr(0, 16), u"QtNameValueTree:");
    EXPECT_EQ(dumps[1], u"QtTrigger:") << "request 2 logs before it answers";
    EXPECT_EQ(dumps[2].substr(0, 16), u"QtNameValueTree:");
    EXPECT_EQ(host.Received<QtTrigger>().size(), 1u);
}

TEST(TestHost, QuantaQueuedBeforeEofAreHandledBeforeIt) {
    TestHost host(std::make_unique<EchoComponent>());
    // Everything is queued before the component runs; ReceiveAny must still
    // take the requests first because they were sent first.
    host.Start();
    for (uint32_t id = 1; id <= 20; ++id) host.Send(Request(host, id));
    host.Send(MakeRef<QtEof>());
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.ComponentAs<EchoComponent>().handled, 20);
    EXPECT_EQ(host.Received<QtNameValueTree>().size(), 20u);
}

TEST(TestHost, ExitReachesTheHostWithClassCodeAndText) {
    auto component = std::make_unique<EchoComponent>();
    component->SetName(u"echo");
    TestHost host(std::move(component));
    host.Start();
    host.Send(Request(host, 0));
    RefPtr<QtError> error = host.WaitFor<QtError>();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_cls, ErrCls::Sfs);
    EXPECT_EQ(error->m_code, 1u);
    ASSERT_TRUE(error->m_desc);
    EXPECT_EQ(error->m_desc->sv(), u"EchoComponent: request without an id");
    EXPECT_EQ(error->m_component->sv(), u"echo");
    ASSERT_TRUE(host.Join());
    RunOutcome outcome = host.Outcome();
    EXPECT_EQ(outcome.kind, RunOutcome::Kind::Exit);
    EXPECT_EQ(outcome.cls, ErrCls::Sfs);
    EXPECT_EQ(outcome.code, 1u);
    EXPECT_EQ(outcome.text.sv(), u"EchoComponent: request without an id");
}

TEST(TestHost, ASendNoInputPortTakesIsReported) {
    TestHost host(std::make_unique<EchoComponent>());
    host.Start();
    bool sent = true;
    EXPECT_NONFATAL_FAILURE(sent = host.Send(MakeRef<QtBuffer>()), "no input port");
    EXPECT_FALSE(sent);
    EXPECT_EQ(host.SendTo(0, MakeRef<QtBuffer>()), false) << "the hub refuses it too";
}

TEST(TestHost, EndsARunningComponentWithEofWhenDestroyed) {
    auto host = std::make_unique<TestHost>(std::make_unique<EchoComponent>());
    host->Start();
    host->Send(Request(*host, 5));
    ASSERT_TRUE(host->WaitFor<QtNameValueTree>());
    host.reset();  // must not hang
}

TEST(TestHost, RequestsHeldAfterTheHostIsGoneComeApartSafely) {
    RefPtr<QtTestRequest> kept;
    {
        TestHost host(std::make_unique<EchoComponent>());
        host.Start();
        kept = Request(host, 9, true);
        host.Send(kept);
        ASSERT_TRUE(host.WaitFor<QtNameValueTree>());
    }
    EXPECT_EQ(kept->m_outReply->Hub(), nullptr);
    kept.reset();
}

// Many components on many threads, one hub: every request is answered once
// and to the right sender.
TEST(PortHubConcurrency, ManyComponentsShareOneHub) {
    constexpr int kComponents = 4;
    constexpr uint32_t kRequests = 200;
    PortHubImpl hub;
    std::vector<std::unique_ptr<EchoComponent>> components;
    std::vector<std::unique_ptr<TypedOutPort<QtTestRequest>>> feeds;
    std::vector<std::unique_ptr<TypedOutPort<QtEof>>> eofs;
    std::vector<std::unique_ptr<TypedInPort<QtNameValueTree>>> replies;
    for (int i = 0; i < kComponents; ++i) {
        components.push_back(std::make_unique<EchoComponent>());
        feeds.push_back(std::make_unique<TypedOutPort<QtTestRequest>>());
        eofs.push_back(std::make_unique<TypedOutPort<QtEof>>());
        replies.push_back(std::make_unique<TypedInPort<QtNameValueTree>>());
        hub.Link(*feeds[i], components[i]->m_requests);
        hub.Link(*eofs[i], components[i]->m_eof);
        hub.Install(*components[i]);
    }
    std::vector<std::thread> threads;
    for (auto& c : components) threads.emplace_back([&c] { c->Run(); });
    std::vector<std::thread> senders;
    for (int i = 0; i < kComponents; ++i) {
        senders.emplace_back([&, i] {
            for (uint32_t id = 1; id <= kRequests; ++id) {
                RefPtr<QtTestRequest> r = MakeRef<QtTestRequest>();
                r->m_id = id;
                r->m_outReply = MakeRef<QtOutPort<QtNameValueTree>>();
                hub.Link(*r->m_outReply, *replies[i]);
                hub.Send(*feeds[i], r);
            }
            hub.Send(*eofs[i], MakeRef<QtEof>());
        });
    }
    for (auto& t : senders) t.join();
    for (auto& t : threads) t.join();
    for (int i = 0; i < kComponents; ++i) {
        EXPECT_EQ(components[i]->handled, static_cast<int>(kRequests));
        // The trees carry no ports, so dropping them under the lock is safe.
        PortHubLock lock(hub);
        EXPECT_EQ(replies[i]->QueuedCount(), kRequests);
        uint32_t expected = 1;
        // Each sender's replies come back in its own order.
        for (size_t n = 0; n < kRequests; ++n) {
            RefPtr<Quantum> q = replies[i]->PopFront();
            auto tree = QuantumCast<QtNameValueTree>(q);
            ASSERT_TRUE(tree);
            EXPECT_EQ(tree->m_name->Str().sv(), NumberToText(expected++).sv());
        }
    }
    EXPECT_EQ(hub.DeliveryCount(), uint64_t{kComponents} * (2 * kRequests + 1));
}

}  // namespace
}  // namespace kiln::test
