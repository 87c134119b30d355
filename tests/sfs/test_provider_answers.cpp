// What a backend sends through the provider base: answers, status replies,
// log records and transfer notifications, observed at the host.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sfs/status_texts.h"
#include "sfs/transfer_accounting.h"
#include "test_provider_backend.h"

namespace kiln::test {
namespace {

std::u16string Text(const RefPtr<QtStr>& s) {
    return s ? std::u16string(s->sv()) : u"<null>";
}

// Starts a provider whose handler is `handler`, initialised with MountPath /.
struct Served {
    explicit Served(RecordingProvider::Handler handler, RefPtr<QtSfsInit> init = nullptr)
        : host(std::make_unique<RecordingProvider>(std::move(handler))) {
        host.Start();
        if (!init) init = MakeInit({{u"MountPath", u"/"}});
        EXPECT_TRUE(host.Send(init));
    }
    // Ends the provider and checks that it ended normally.
    void Finish() {
        ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
        ASSERT_TRUE(host.Join());
        ASSERT_EQ(host.Outcome().kind, RunOutcome::Kind::Returned);
    }
    TestHost host;
};

// ---- One answer operation per response type ------------------------------------

struct AnswerCase {
    const char* name;
    SfsResponse type;
    std::function<RefPtr<QuantumS>()> make;
    std::function<void(RecordingProvider&, const QtSfsRequest&, const RefPtr<QuantumS>&)> answer;
};

template <class C>
RefPtr<C> As(const RefPtr<QuantumS>& q) {
    return QuantumCast<C>(q);
}

class ProviderAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(ProviderAnswerTest, CarriesIdTypeAndContent) {
    const AnswerCase& c = GetParam();
    RefPtr<QuantumS> content = c.make();
    Served served([&](RecordingProvider& p, const RefPtr<QtSfsRequest>& request) {
        c.answer(p, *request, content);
    });
    ASSERT_TRUE(served.host.Send(MakeRequest(served.host, 0xDEADBEEF, SfsRequest::Stat)));
    served.Finish();

    std::vector<RefPtr<QtSfsResponse>> responses = served.host.Received<QtSfsResponse>();
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0]->m_id, 0xDEADBEEFu);
    EXPECT_EQ(responses[0]->m_type, c.type);
    EXPECT_EQ(responses[0]->m_content.get(), content.get());
    ASSERT_TRUE(responses[0]->m_content);
    EXPECT_STREQ(responses[0]->m_content->TypeId(), SfsResponseContentTypeId(c.type));
    // Answering writes no log record of its own.
    EXPECT_TRUE(served.host.Received<QtSfsLog>().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Provider, ProviderAnswerTest,
    testing::Values(
        AnswerCase{"Status", SfsResponse::Status,
                   [] { return RefPtr<QuantumS>(QtSfsStatus::Make(SfsStatusCode::Eof)); },
                   [](RecordingProvider& p, const QtSfsRequest& r, const RefPtr<QuantumS>& q) {
                       p.AnswerStatus(r, As<QtSfsStatus>(q));
                   }},
        AnswerCase{"Handle", SfsResponse::Handle,
                   [] { return RefPtr<QuantumS>(MakeRef<QtSfsHandle>()); },
                   [](RecordingProvider& p, const QtSfsRequest& r, const RefPtr<QuantumS>& q) {
                       p.AnswerHandle(r, As<QtSfsHandle>(q));
                   }},
        AnswerCase{"Data", SfsResponse::Data, [] { return RefPtr<QuantumS>(MakeRef<QtSfsData>()); },
                   [](RecordingProvider& p, const QtSfsRequest& r, const RefPtr<QuantumS>& q) {
                       p.AnswerData(r, As<QtSfsData>(q));
                   }},
        AnswerCase{"Names", SfsResponse::Names,
                   [] { return RefPtr<QuantumS>(MakeRef<QtSfsNames>()); },
                   [](RecordingProvider& p, const QtSfsRequest& r, const RefPtr<QuantumS>& q) {
                       p.AnswerNames(r, As<QtSfsNames>(q));
                   }},
        AnswerCase{"Attrs", SfsResponse::Attrs,
                   [] { return RefPtr<QuantumS>(MakeRef<QtSfsAttrs>()); },
                   [](RecordingProvider& p, const QtSfsRequest& r, const RefPtr<QuantumS>& q) {
                       p.AnswerAttrs(r, As<QtSfsAttrs>(q));
                   }},
        AnswerCase{"Name", SfsResponse::Name, [] { return RefPtr<QuantumS>(MakeRef<QtSfsName>()); },
                   [](RecordingProvider& p, const QtSfsRequest& r, const RefPtr<QuantumS>& q) {
                       p.AnswerName(r, As<QtSfsName>(q));
                   }},
        AnswerCase{"CheckFileReply", SfsResponse::CheckFileReply,
                   [] { return RefPtr<QuantumS>(MakeRef<QtSfsCheckFileReply>()); },
                   [](RecordingProvider& p, const QtSfsRequest& r, const RefPtr<QuantumS>& q) {
                       p.AnswerCheckFileReply(r, As<QtSfsCheckFileReply>(q));
                   }},
        AnswerCase{"SpaceAvailReply", SfsResponse::SpaceAvailReply,
                   [] { return RefPtr<QuantumS>(MakeRef<QtSfsSpaceAvailReply>()); },
                   [](RecordingProvider& p, const QtSfsRequest& r, const RefPtr<QuantumS>& q) {
                       p.AnswerSpaceAvailReply(r, As<QtSfsSpaceAvailReply>(q));
                   }}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

// ---- Status replies ------------------------------------------------------------

TEST(ProviderStatusTest, AnswerCodeSendsTheStandardTextInEnglish) {
    const SfsStatusCode codes[] = {SfsStatusCode::Ok, SfsStatusCode::NoSuchFile,
                                   SfsStatusCode::OpUnsupported, static_cast<SfsStatusCode>(57)};
    Served served([&](RecordingProvider& p, const RefPtr<QtSfsRequest>& request) {
        p.AnswerCode(*request, codes[request->m_id]);
    });
    for (uint32_t i = 0; i < std::size(codes); ++i)
        ASSERT_TRUE(served.host.Send(MakeRequest(served.host, i, SfsRequest::Open)));
    served.Finish();

    std::vector<RefPtr<QtSfsResponse>> responses = served.host.Received<QtSfsResponse>();
    ASSERT_EQ(responses.size(), std::size(codes));
    for (uint32_t i = 0; i < std::size(codes); ++i) {
        EXPECT_EQ(responses[i]->m_id, i);
        EXPECT_EQ(responses[i]->m_type, SfsResponse::Status);
        RefPtr<QtSfsStatus> status = QuantumCast<QtSfsStatus>(responses[i]->m_content);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->m_statusCode, codes[i]);
        EXPECT_EQ(Text(status->m_errorMessage), std::u16string(StandardStatusText(codes[i]).sv()));
        EXPECT_EQ(Text(status->m_languageTag), u"en");
    }
    RefPtr<QtSfsStatus> unknown = QuantumCast<QtSfsStatus>(responses[3]->m_content);
    EXPECT_EQ(Text(unknown->m_errorMessage), u"The requested operation failed.");
}

TEST(ProviderStatusTest, Builders) {
    RefPtr<QtSfsStatus> standard = KilnSfsProvider::MakeStatus(SfsStatusCode::NoSuchFile);
    EXPECT_EQ(standard->m_statusCode, SfsStatusCode::NoSuchFile);
    EXPECT_EQ(Text(standard->m_errorMessage), u"The file does not exist.");
    EXPECT_EQ(Text(standard->m_languageTag), u"en");

    RefPtr<QtSfsStatus> own = KilnSfsProvider::MakeStatus(SfsStatusCode::Failure, u"Disk on fire.");
    EXPECT_EQ(own->m_statusCode, SfsStatusCode::Failure);
    EXPECT_EQ(Text(own->m_errorMessage), u"Disk on fire.");
    EXPECT_EQ(Text(own->m_languageTag), u"en");

    RefPtr<QtSfsStatus> tagged = KilnSfsProvider::MakeStatus(
        SfsStatusCode::PermissionDenied, u"Zugriff verweigert.", MakeStr(u"de"));
    EXPECT_EQ(Text(tagged->m_errorMessage), u"Zugriff verweigert.");
    EXPECT_EQ(Text(tagged->m_languageTag), u"de");

    // An empty text is the handler's choice, not a request for the standard one.
    RefPtr<QtSfsStatus> empty = KilnSfsProvider::MakeStatus(SfsStatusCode::Eof, u"");
    EXPECT_EQ(Text(empty->m_errorMessage), u"");
}

// ---- Logging ---------------------------------------------------------------------

TEST(ProviderLogTest, RequestTypeToLogCode) {
    const std::pair<SfsRequest, SfsLogCode> table[] = {
        {SfsRequest::Open, SfsLogCode::Open},
        {SfsRequest::Close, SfsLogCode::Close},
        {SfsRequest::Read, SfsLogCode::Read},
        {SfsRequest::Write, SfsLogCode::Write},
        {SfsRequest::FStat, SfsLogCode::Stat},
        {SfsRequest::Stat, SfsLogCode::Stat},
        {SfsRequest::SetStat, SfsLogCode::SetStat},
        {SfsRequest::FSetStat, SfsLogCode::SetStat},
        {SfsRequest::OpenDir, SfsLogCode::OpenDir},
        {SfsRequest::ReadDir, SfsLogCode::ReadDir},
        {SfsRequest::Remove, SfsLogCode::Remove},
        {SfsRequest::MkDir, SfsLogCode::MkDir},
        {SfsRequest::RmDir, SfsLogCode::RmDir},
        {SfsRequest::RealPath, SfsLogCode::RealPath},
        {SfsRequest::Rename, SfsLogCode::Rename},
        {SfsRequest::ReadLink, SfsLogCode::ReadLink},
        {SfsRequest::Link, SfsLogCode::Link},
        {SfsRequest::Block, SfsLogCode::Block},
        {SfsRequest::Unblock, SfsLogCode::Unblock},
        {SfsRequest::TextSeek, SfsLogCode::TextSeek},
        {SfsRequest::CheckFileHandle, SfsLogCode::CheckFile},
        {SfsRequest::CheckFileName, SfsLogCode::CheckFile},
        {SfsRequest::SpaceAvail, SfsLogCode::SpaceAvail},
        {SfsRequest::HomeDir, SfsLogCode::HomeDir},
        {static_cast<SfsRequest>(0), SfsLogCode::Other},
        {static_cast<SfsRequest>(1), SfsLogCode::Other},
        {static_cast<SfsRequest>(7), SfsLogCode::Other},
        {static_cast<SfsRequest>(20), SfsLogCode::Other},
        {static_cast<SfsRequest>(101), SfsLogCode::Other},
        {static_cast<SfsRequest>(0xFFFFFFFF), SfsLogCode::Other},
    };
    for (const auto& [type, code] : table)
        EXPECT_EQ(KilnSfsProvider::LogCodeFor(type), code) << static_cast<uint32_t>(type);
}

TEST(ProviderLogTest, RequestLogsCarryTypeCodeAndText) {
    Served served([](RecordingProvider& p, const RefPtr<QtSfsRequest>& request) {
        p.LogRequest(*request, SfsLogType::Warning, u"KilnSfsProvider: first");
        p.LogRequest(*request, u"KilnSfsProvider: second");
        p.AnswerCode(*request, SfsStatusCode::Ok);
    });
    ASSERT_TRUE(served.host.Send(MakeRequest(served.host, 1, SfsRequest::FSetStat)));
    ASSERT_TRUE(served.host.Send(MakeRequest(served.host, 2, static_cast<SfsRequest>(7))));
    served.Finish();

    struct Expected {
        SfsLogType type;
        SfsLogCode code;
        std::u16string text;
    };
    const Expected expected[] = {
        {SfsLogType::Warning, SfsLogCode::SetStat, u"KilnSfsProvider: first"},
        {SfsLogType::Info, SfsLogCode::SetStat, u"KilnSfsProvider: second"},
        {SfsLogType::Warning, SfsLogCode::Other, u"KilnSfsProvider: first"},
        {SfsLogType::Info, SfsLogCode::Other, u"KilnSfsProvider: second"},
    };
    std::vector<RefPtr<QtSfsLog>> logs = served.host.Received<QtSfsLog>();
    ASSERT_EQ(logs.size(), std::size(expected));
    for (size_t i = 0; i < logs.size(); ++i) {
        EXPECT_EQ(logs[i]->m_type, expected[i].type) << i;
        EXPECT_EQ(logs[i]->m_code, expected[i].code) << i;
        EXPECT_EQ(Text(logs[i]->m_message), expected[i].text) << i;
    }
    // Log records go out before the answer that follows them.
    std::vector<RefPtr<Quantum>> all = served.host.Received();
    ASSERT_GE(all.size(), 3u);
    EXPECT_TRUE(QuantumCast<QtSfsLog>(all[0]));
    EXPECT_TRUE(QuantumCast<QtSfsLog>(all[1]));
    EXPECT_TRUE(QuantumCast<QtSfsResponse>(all[2]));
}

TEST(ProviderLogTest, RequestLogWithoutLogPortSendsNothing) {
    Served served([](RecordingProvider& p, const RefPtr<QtSfsRequest>& request) {
        p.LogRequest(*request, SfsLogType::Error, u"KilnSfsProvider: unheard");
        p.LogRequest(*request, u"KilnSfsProvider: unheard");
        p.AnswerCode(*request, SfsStatusCode::Ok);
    });
    ASSERT_TRUE(served.host.Send(MakeRequest(served.host, 4, SfsRequest::Read, /*withLog=*/false)));
    served.Finish();
    EXPECT_TRUE(served.host.Received<QtSfsLog>().empty());
    // The request was still answered.
    ASSERT_EQ(served.host.Received<QtSfsResponse>().size(), 1u);
}

// The readers of a log port decide which records they take; the backend
// asks before it builds a text, and a record nobody takes is not sent.
TEST(ProviderLogTest, RecordsGoOnlyWhereAReaderTakesThem) {
    struct WarningsAndWorse : TypedInPort<QtSfsLog> {
        bool Accepts(const RefPtr<Quantum>& quantum) const override {
            const auto* log = QuantumPtrCast<const QtSfsLog>(quantum.get());
            return log && log->m_type != SfsLogType::Info && log->m_type != SfsLogType::Trace;
        }
    };
    std::vector<bool> wanted;
    Served served([&](RecordingProvider& p, const RefPtr<QtSfsRequest>& request) {
        wanted = {p.LogWanted(*request), p.LogWanted(*request, SfsLogType::Warning)};
        p.LogRequest(*request, u"KilnSfsProvider: not taken");
        p.LogRequest(*request, SfsLogType::Warning, u"KilnSfsProvider: taken");
        p.AnswerCode(*request, SfsStatusCode::Ok);
    });
    // Declared after the host's hub, so that they come apart before it.
    WarningsAndWorse reader;
    RefPtr<QtOutPort<QtSfsLog>> port = MakeRef<QtOutPort<QtSfsLog>>();
    served.host.Hub().Link(*port, reader);
    RefPtr<QtSfsRequest> request = MakeRequest(served.host, 3, SfsRequest::Stat, false);
    request->m_outLog = port;
    ASSERT_TRUE(served.host.Send(request));
    served.Finish();
    EXPECT_EQ(wanted, (std::vector<bool>{false, true}));
    ASSERT_EQ(reader.QueuedCount(), 1u);
    RefPtr<QtSfsLog> log = QuantumCast<QtSfsLog>(reader.Front()->quantum);
    ASSERT_TRUE(log);
    EXPECT_EQ(Text(log->m_message), u"KilnSfsProvider: taken");
    ASSERT_EQ(served.host.Received<QtSfsResponse>().size(), 1u);
}

TEST(ProviderLogTest, InitialisationLogIsTraceWithCodeInit) {
    auto logInit = [](RecordingProvider&, const RefPtr<QtSfsRequest>&) {};
    struct LoggingProvider : RecordingProvider {
        using RecordingProvider::RecordingProvider;
        void OnInit(const RefPtr<QtSfsInit>& init) override {
            RecordingProvider::OnInit(init);
            LogInit(*init, u"KilnSfsProvider: mounted");
        }
    };
    for (bool withLog : {true, false}) {
        TestHost host(std::make_unique<LoggingProvider>(logInit));
        host.Start();
        RefPtr<QtSfsInit> init = MakeInit({{u"MountPath", u"/"}});
        if (withLog) init->m_outLog = host.ReplyPort<QtSfsLog>();
        ASSERT_TRUE(host.Send(init));
        ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
        ASSERT_TRUE(host.Join());
        EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Returned);
        std::vector<RefPtr<QtSfsLog>> logs = host.Received<QtSfsLog>();
        if (!withLog) {
            EXPECT_TRUE(logs.empty());
            continue;
        }
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0]->m_type, SfsLogType::Trace);
        EXPECT_EQ(logs[0]->m_code, SfsLogCode::Init);
        EXPECT_EQ(Text(logs[0]->m_message), u"KilnSfsProvider: mounted");
    }
}

// ---- Transfer notifications --------------------------------------------------------

TEST(ProviderTransferTest, NotificationGoesOutOnlyWithAPortAndMovedBytes) {
    struct Case {
        bool withPort;
        uint64_t bytesRead;
        bool sent;
    };
    const Case cases[] = {{true, 10, true}, {true, 0, false}, {false, 10, false}};
    for (const Case& c : cases) {
        bool reported = !c.sent;
        RefPtr<QtOutPort<QtSfsNotifyFileTransfer>> port;
        Served served([&](RecordingProvider& p, const RefPtr<QtSfsRequest>& request) {
            FileAccounting file;
            if (c.bytesRead) file.RecordRead(0, c.bytesRead);
            reported = p.NotifyFileTransfer(port, file, u"C:\\data\\f");
            p.LogRequest(*request, u"KilnSfsWin: Closed");
            p.AnswerCode(*request, SfsStatusCode::Ok);
        });
        if (c.withPort) port = served.host.ReplyPort<QtSfsNotifyFileTransfer>();
        ASSERT_TRUE(served.host.Send(MakeRequest(served.host, 1, SfsRequest::Close)));
        served.Finish();
        EXPECT_EQ(reported, c.sent);
        std::vector<RefPtr<Quantum>> all = served.host.Received();
        ASSERT_EQ(all.size(), c.sent ? 3u : 2u);
        if (!c.sent) continue;
        // Before the close log record.
        RefPtr<QtSfsNotifyFileTransfer> n = QuantumCast<QtSfsNotifyFileTransfer>(all[0]);
        ASSERT_TRUE(n);
        EXPECT_EQ(Text(n->m_path), u"C:\\data\\f");
        EXPECT_EQ(n->m_readBytes, c.bytesRead);
        EXPECT_EQ(n->m_readMaxRangeEnd, c.bytesRead);
        EXPECT_TRUE(QuantumCast<QtSfsLog>(all[1]));
    }
}

TEST(ProviderTransferTest, SendFileTransferWithoutPortOrNotificationSendsNothing) {
    RefPtr<QtOutPort<QtSfsNotifyFileTransfer>> port;
    Served served([&](RecordingProvider& p, const RefPtr<QtSfsRequest>& request) {
        p.SendFileTransfer(nullptr, MakeRef<QtSfsNotifyFileTransfer>());
        p.SendFileTransfer(port, nullptr);
        RefPtr<QtSfsNotifyFileTransfer> n = MakeRef<QtSfsNotifyFileTransfer>();
        n->m_writeBytes = 3;
        p.SendFileTransfer(port, n);
        p.AnswerCode(*request, SfsStatusCode::Ok);
    });
    port = served.host.ReplyPort<QtSfsNotifyFileTransfer>();
    ASSERT_TRUE(served.host.Send(MakeRequest(served.host, 1, SfsRequest::Close)));
    served.Finish();
    std::vector<RefPtr<QtSfsNotifyFileTransfer>> sent =
        served.host.Received<QtSfsNotifyFileTransfer>();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]->m_writeBytes, 3u);
}

}  // namespace
}  // namespace kiln::test
