// Request dispatch: unsupported types, content checks, and the way out when a
// request is malformed.
#include "sfswin/dispatch.h"
#include "sfswin_test_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

struct UnsupportedCase {
    uint32_t type;
    RefPtr<QuantumS> content;
    SfsLogCode logCode;
    std::u16string logText;
};

void PrintTo(const UnsupportedCase& c, std::ostream* os) {
    *os << "type " << c.type;
}

class UnsupportedTest : public testing::TestWithParam<UnsupportedCase> {};

TEST_P(UnsupportedTest, AnswersOpUnsupportedWithAWarning) {
    const UnsupportedCase& c = GetParam();
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    RefPtr<QtSfsResponse> response =
        run.Ask(run.MakeRequest(static_cast<SfsRequest>(c.type), c.content));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->m_type, SfsResponse::Status);
    auto status = QuantumCast<QtSfsStatus>(response->m_content);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->m_statusCode, SfsStatusCode::OpUnsupported);
    EXPECT_EQ(S(status->m_errorMessage), u"The requested operation is not supported.");

    std::vector<RefPtr<QtSfsLog>> logs = run.Logs();
    ASSERT_EQ(logs.size(), 2u);  // the initialisation's and the request's
    EXPECT_EQ(logs[1]->m_type, SfsLogType::Warning);
    EXPECT_EQ(logs[1]->m_code, c.logCode);
    EXPECT_EQ(S(logs[1]->m_message), c.logText);

    run.Host().Send(MakeRef<QtEof>());
    EXPECT_EQ(run.Finish().kind, RunOutcome::Kind::Returned);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsupportedTest,
    testing::Values(
        UnsupportedCase{7, nullptr, SfsLogCode::Other,
                        u"KilnSfsWin: Received unsupported 'SfsRequest.7' packet."},
        UnsupportedCase{20, MakeRef<QtSfsStat>(), SfsLogCode::Other,
                        u"KilnSfsWin: Received unsupported 'SfsRequest.20' packet."},
        UnsupportedCase{2004, MakeRef<QtSfsHomeDir>(), SfsLogCode::HomeDir,
                        u"KilnSfsWin: Received unsupported 'SfsRequest.HomeDir' packet."},
        UnsupportedCase{0xFFFFFFFFu, nullptr, SfsLogCode::Other,
                        u"KilnSfsWin: Received unsupported 'SfsRequest.4294967295' packet."}));

TEST(Dispatch, UnsupportedRequestWithoutLogPortIsStillAnswered) {
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    RefPtr<QtSfsResponse> response =
        run.Ask(run.MakeRequest(SfsRequest::HomeDir, MakeRef<QtSfsHomeDir>(), false));
    ASSERT_TRUE(response);
    EXPECT_EQ(QuantumCast<QtSfsStatus>(response->m_content)->m_statusCode,
              SfsStatusCode::OpUnsupported);
    EXPECT_EQ(run.Logs().size(), 1u);  // only the initialisation's
}

// A request type whose handler is not in service yet must not look served:
// it takes the unsupported path, never a made-up success.
TEST(Dispatch, TypesWithoutHandlerAreUnsupported) {
    struct Known {
        SfsRequest type;
        RefPtr<QuantumS> content;
    };
    const Known known[] = {
        {SfsRequest::Open, MakeRef<QtSfsOpen>()},
        {SfsRequest::Close, MakeRef<QtSfsClose>()},
        {SfsRequest::Read, MakeRef<QtSfsRead>()},
        {SfsRequest::Write, MakeRef<QtSfsWrite>()},
        {SfsRequest::FStat, MakeRef<QtSfsFStat>()},
        {SfsRequest::SetStat, MakeRef<QtSfsSetStat>()},
        {SfsRequest::FSetStat, MakeRef<QtSfsFSetStat>()},
        {SfsRequest::OpenDir, MakeRef<QtSfsOpenDir>()},
        {SfsRequest::ReadDir, MakeRef<QtSfsReadDir>()},
        {SfsRequest::Remove, MakeRef<QtSfsRemove>()},
        {SfsRequest::MkDir, MakeRef<QtSfsMkDir>()},
        {SfsRequest::RmDir, MakeRef<QtSfsRmDir>()},
        {SfsRequest::RealPath, MakeRef<QtSfsRealPath>()},
        {SfsRequest::Stat, MakeRef<QtSfsStat>()},
        {SfsRequest::Rename, MakeRef<QtSfsRename>()},
        {SfsRequest::ReadLink, MakeRef<QtSfsReadLink>()},
        {SfsRequest::Link, MakeRef<QtSfsLink>()},
        {SfsRequest::Block, MakeRef<QtSfsBlock>()},
        {SfsRequest::Unblock, MakeRef<QtSfsUnblock>()},
        {SfsRequest::TextSeek, MakeRef<QtSfsTextSeek>()},
        {SfsRequest::CheckFileHandle, MakeRef<QtSfsCheckFileHandle>()},
        {SfsRequest::CheckFileName, MakeRef<QtSfsCheckFileName>()},
        {SfsRequest::SpaceAvail, MakeRef<QtSfsSpaceAvail>()},
    };
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    for (const Known& k : known) {
        const DispatchEntry* entry = FindDispatchEntry(k.type);
        ASSERT_NE(entry, nullptr) << Narrow(EnumText(k.type).sv());
        EXPECT_STREQ(entry->contentTypeId, k.content->TypeId());
        if (entry->handler != nullptr) continue;  // in service: its own tests cover it
        RefPtr<QtSfsResponse> response = run.Ask(run.MakeRequest(k.type, k.content));
        ASSERT_TRUE(response);
        auto status = QuantumCast<QtSfsStatus>(response->m_content);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->m_statusCode, SfsStatusCode::OpUnsupported)
            << Narrow(EnumText(k.type).sv());
        EXPECT_EQ(S(run.Logs().back()->m_message),
                  u"KilnSfsWin: Received unsupported '" + S(EnumText(k.type)) + u"' packet.");
    }
    EXPECT_EQ(FindDispatchEntry(SfsRequest::HomeDir), nullptr);
}

struct InvalidContentCase {
    SfsRequest type;
    RefPtr<QuantumS> content;
    std::u16string text;
};

class InvalidContentTest : public testing::TestWithParam<InvalidContentCase> {};

// The host sent something no handler could read: the provider closes and
// reports what is open, then stops.
TEST_P(InvalidContentTest, StopsTheProviderAfterCleaningUp) {
    const InvalidContentCase& c = GetParam();
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    run.Sync();
    KilnSfsWin& provider = run.Provider();
    auto open = std::make_unique<FsDir>(MakeStr(u"/d"), MakeStr(u"C:\\d"), provider.NextHandle(),
                                        run.Host().ReplyPort<QtSfsLog>());
    provider.Handles().Add(std::move(open));

    run.Host().Send(run.MakeRequest(c.type, c.content));
    RunOutcome outcome = run.Finish();
    ASSERT_EQ(outcome.kind, RunOutcome::Kind::Exit);
    EXPECT_EQ(outcome.cls, ErrCls::Kiln);
    EXPECT_EQ(outcome.code, 0u);
    EXPECT_EQ(S(outcome.text), c.text);
    EXPECT_EQ(run.Host().Received<QtSfsResponse>().size(), 1u);  // Sync's answer only

    std::vector<RefPtr<QtSfsLog>> logs = run.Logs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[1]->m_code, SfsLogCode::CloseCleanup);
    EXPECT_EQ(S(logs[1]->m_message),
              u"KilnSfsWin: Cleanup closed directory 'C:\\d'. Registered 0 successful operations.");
    EXPECT_EQ(provider.Handles().Size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InvalidContentTest,
    testing::Values(
        InvalidContentCase{SfsRequest::Stat, MakeRef<QtSfsFStat>(),
                           u"KilnSfsWin: Received SfsRequest.Stat with invalid content"},
        InvalidContentCase{SfsRequest::Open, nullptr,
                           u"KilnSfsWin: Received SfsRequest.Open with invalid content"},
        InvalidContentCase{SfsRequest::Close, MakeRef<QtSfsRead>(),
                           u"KilnSfsWin: Received SfsRequest.Close with invalid content"}));

}  // namespace
}  // namespace kiln::KilnSfsWin::test
