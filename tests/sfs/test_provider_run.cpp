// The provider's life through a real hub: waiting for initialisation, the
// mount parameters, serving requests in order, end of input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_provider_backend.h"

namespace kiln::test {
namespace {

using Events = std::vector<std::string>;

const std::u16string kMissingMountPath =
    u"KilnSfsProvider: missing 'MountPath' initialization parameter";

RecordingProvider& Provider(TestHost& host) {
    return host.ComponentAs<RecordingProvider>();
}

TEST(ProviderRunTest, RegistersInitRequestAndEofPortsInThatOrder) {
    RecordingProvider provider;
    const datavect<InPort*>& ports = provider.InPorts();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0], &provider.InitPort());
    EXPECT_EQ(ports[1], &provider.RequestPort());
    EXPECT_EQ(ports[2], &provider.EofPort());
    EXPECT_STREQ(ports[0]->TypeName(), "QtSfsInit");
    EXPECT_STREQ(ports[1]->TypeName(), "QtSfsRequest");
    EXPECT_STREQ(ports[2]->TypeName(), "QtEof");
    // The component's own error port stays its only output.
    EXPECT_EQ(provider.OutPorts().size(), 1u);
}

TEST(ProviderRunTest, EndOfInputBeforeInitialisationEndsWithoutCallingTheBackend) {
    TestHost host(std::make_unique<RecordingProvider>());
    host.Start();
    // A request already queued must not be served without initialisation.
    ASSERT_TRUE(host.Send(MakeRequest(host, 1, SfsRequest::Stat)));
    ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Returned);
    EXPECT_EQ(Provider(host).Events(), Events{});
    EXPECT_TRUE(host.Received().empty());
}

TEST(ProviderRunTest, RequestSentBeforeInitialisationWaitsForIt) {
    TestHost host(std::make_unique<RecordingProvider>());
    host.Start();
    ASSERT_TRUE(host.Send(MakeRequest(host, 9, SfsRequest::Stat)));
    ASSERT_TRUE(host.Send(MakeInit({{u"MountPath", u"/"}})));
    ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Returned);
    EXPECT_EQ(Provider(host).Events(), (Events{"init", "init done /||", "request 9", "eof"}));
}

// ---- Mount parameters --------------------------------------------------------

struct InitCase {
    const char* name;
    std::vector<std::pair<std::u16string, std::u16string>> parameters;
    bool accepted;
    std::string mounted;  // "MountPath|MountMode|RootPath" when accepted
};

class ProviderInitTest : public testing::TestWithParam<InitCase> {};

TEST_P(ProviderInitTest, MountParameters) {
    const InitCase& c = GetParam();
    TestHost host(std::make_unique<RecordingProvider>());
    host.Start();
    ASSERT_TRUE(host.Send(MakeInit(c.parameters)));
    ASSERT_TRUE(host.Send(MakeRequest(host, 1, SfsRequest::OpenDir)));
    ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
    ASSERT_TRUE(host.Join());
    const RunOutcome outcome = host.Outcome();
    if (c.accepted) {
        EXPECT_EQ(outcome.kind, RunOutcome::Kind::Returned);
        EXPECT_EQ(Provider(host).Events(),
                  (Events{"init", "init done " + c.mounted, "request 1", "eof"}));
        return;
    }
    EXPECT_EQ(outcome.kind, RunOutcome::Kind::Exit);
    EXPECT_EQ(outcome.cls, ErrCls::Sfs);
    EXPECT_EQ(outcome.code, 1u);
    EXPECT_EQ(std::u16string(outcome.text.sv()), kMissingMountPath);
    // The provider stopped: the queued request got no answer, and OnEof never ran.
    EXPECT_EQ(Provider(host).Events(), Events{"init"});
    EXPECT_TRUE(host.Received<QtSfsResponse>().empty());
    RefPtr<QtError> error = host.WaitFor<QtError>();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_cls, ErrCls::Sfs);
}

INSTANTIATE_TEST_SUITE_P(
    Provider, ProviderInitTest,
    testing::Values(
        InitCase{"NoParameters", {}, false, ""},
        InitCase{"EmptyMountPath", {{u"MountPath", u""}}, false, ""},
        InitCase{"LowerCaseName", {{u"mountpath", u"/srv"}}, false, ""},
        InitCase{"UpperCaseName", {{u"MOUNTPATH", u"/srv"}}, false, ""},
        InitCase{"NameWithTrailingSpace", {{u"MountPath ", u"/srv"}}, false, ""},
        InitCase{"OnlyOtherParameters", {{u"RootPath", u"C:\\data"}}, false, ""},
        InitCase{"MountPathOnly", {{u"MountPath", u"/"}}, true, "/||"},
        InitCase{"AllThree",
                 {{u"RootPath", u"C:\\data"}, {u"MountMode", u"rw"}, {u"MountPath", u"/home"}},
                 true,
                 "/home|rw|C:\\data"},
        InitCase{"FirstOfTwoWins",
                 {{u"MountPath", u"/first"}, {u"MountPath", u"/second"}},
                 true,
                 "/first||"},
        // A node that is present but empty still counts as the first match.
        InitCase{"EmptyFirstShadowsALaterValue",
                 {{u"MountPath", u""}, {u"MountPath", u"/second"}},
                 false,
                 ""}),
    [](const testing::TestParamInfo<InitCase>& info) { return std::string(info.param.name); });

TEST(ProviderInitTest, MessageWithoutParameterTreeStopsTheProvider) {
    TestHost host(std::make_unique<RecordingProvider>());
    host.Start();
    ASSERT_TRUE(host.Send(MakeRef<QtSfsInit>()));
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Exit);
    EXPECT_EQ(std::u16string(host.Outcome().text.sv()), kMissingMountPath);
}

TEST(ProviderInitTest, ParameterLooksOneLevelDeepOnly) {
    RefPtr<QtSfsInit> init = MakeInit({});
    RefPtr<QtNameValueTree> outer = init->m_root->AddChild(u"Outer", u"x");
    ASSERT_TRUE(outer);
    outer->AddChild(u"MountPath", u"/nested");
    EXPECT_FALSE(KilnSfsProvider::Parameter(*init, u"MountPath"));
    ASSERT_TRUE(KilnSfsProvider::Parameter(*init, u"Outer"));
    EXPECT_EQ(std::u16string(KilnSfsProvider::Parameter(*init, u"Outer")->sv()), u"x");
}

TEST(ProviderInitTest, SecondInitialisationIsNeverRead) {
    TestHost host(std::make_unique<RecordingProvider>());
    host.Start();
    ASSERT_TRUE(host.Send(MakeInit({{u"MountPath", u"/first"}})));
    ASSERT_TRUE(host.Send(MakeInit({})));  // would stop the provider if read
    ASSERT_TRUE(host.Send(MakeRequest(host, 5, SfsRequest::Stat)));
    ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Returned);
    EXPECT_EQ(Provider(host).Events(), (Events{"init", "init done /first||", "request 5", "eof"}));
}

// ---- Switch values -----------------------------------------------------------

TEST(ProviderSwitchTest, OffWordsInAnyLetterCase) {
    const std::u16string off[] = {
        u"No",          u"NO",          u"no",      u"nO",       u"False",    u"FALSE",
        u"false",       u"Disable",     u"DISABLE", u"disabled", u"DiSaBlEd", u"Unavailable",
        u"UNAVAILABLE", u"unavailable", u"Ignore",  u"IGNORE",   u"ignore"};
    for (const std::u16string& value : off)
        EXPECT_TRUE(KilnSfsProvider::IsOffValue(value)) << Narrow(value);
}

TEST(ProviderSwitchTest, EverythingElseIsOn) {
    const std::u16string on[] = {
        u"", u"0", u"Off", u"OFF", u"Yes", u"True", u"1", u"N", u"Nope", u" No", u"No ",
        u"Disables", u"Disab", u"Ignored", u"Fals", u"FalseNo",
        // Only A to Z fold: full-width and accented look-alikes are other words.
        u"\uFF2E\uFF4F", u"N\u00D3", u"\u0131gnore"};
    for (const std::u16string& value : on)
        EXPECT_FALSE(KilnSfsProvider::IsOffValue(value)) << Narrow(value);
    EXPECT_FALSE(KilnSfsProvider::IsOffValue(std::u16string_view(u"No\0", 3)));
}

// ---- Serving -----------------------------------------------------------------

TEST(ProviderRunTest, RequestsAreServedOneAtATimeInArrivalOrderThenEof) {
    TestHost host(std::make_unique<RecordingProvider>());
    host.Start();
    ASSERT_TRUE(host.Send(MakeInit({{u"MountPath", u"/"}})));
    const uint32_t ids[] = {40, 3, 17, 3000000000u, 8};
    for (uint32_t id : ids) ASSERT_TRUE(host.Send(MakeRequest(host, id, SfsRequest::Read)));
    ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
    // Sent after end of input: never read.
    ASSERT_TRUE(host.Send(MakeRequest(host, 99, SfsRequest::Read)));
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Returned);

    Events expected{"init", "init done /||"};
    for (uint32_t id : ids) expected.push_back("request " + std::to_string(id));
    expected.push_back("eof");
    EXPECT_EQ(Provider(host).Events(), expected);

    std::vector<RefPtr<QtSfsResponse>> responses = host.Received<QtSfsResponse>();
    ASSERT_EQ(responses.size(), std::size(ids));
    for (size_t i = 0; i < responses.size(); ++i) EXPECT_EQ(responses[i]->m_id, ids[i]);
}

TEST(ProviderRunTest, RequestWithoutResponsePortIsNotProcessed) {
    TestHost host(std::make_unique<RecordingProvider>());
    host.Start();
    ASSERT_TRUE(host.Send(MakeInit({{u"MountPath", u"/"}})));
    RefPtr<QtSfsRequest> orphan = MakeRequest(host, 6, SfsRequest::Remove);
    orphan->m_outResponse = nullptr;
    ASSERT_TRUE(host.Send(orphan));
    RefPtr<QtSfsRequest> silent = MakeRequest(host, 7, SfsRequest::Remove, /*withLog=*/false);
    silent->m_outResponse = nullptr;
    ASSERT_TRUE(host.Send(silent));
    ASSERT_TRUE(host.Send(MakeRequest(host, 8, SfsRequest::Remove)));
    ASSERT_TRUE(host.Send(MakeRef<QtEof>()));
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Returned);
    EXPECT_EQ(Provider(host).Events(), (Events{"init", "init done /||", "request 8", "eof"}));

    std::vector<RefPtr<QtSfsLog>> logs = host.Received<QtSfsLog>();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]->m_type, SfsLogType::Error);
    EXPECT_EQ(logs[0]->m_code, SfsLogCode::Remove);
    EXPECT_EQ(std::u16string(logs[0]->m_message->sv()),
              u"KilnSfsProvider: Request 6 has no response port and was not processed.");
    std::vector<RefPtr<QtSfsResponse>> responses = host.Received<QtSfsResponse>();
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0]->m_id, 8u);
}

TEST(ProviderRunTest, ExceptionFromAHandlerEndsRun) {
    TestHost host(std::make_unique<RecordingProvider>(
        [](RecordingProvider&, const RefPtr<QtSfsRequest>& request) {
            if (request->m_id == 2) throw KilnComponent::Exit(ErrCls::Kiln, 5, u"bad content");
        }));
    host.Start();
    ASSERT_TRUE(host.Send(MakeInit({{u"MountPath", u"/"}})));
    ASSERT_TRUE(host.Send(MakeRequest(host, 1, SfsRequest::Read)));
    ASSERT_TRUE(host.Send(MakeRequest(host, 2, SfsRequest::Read)));
    ASSERT_TRUE(host.Send(MakeRequest(host, 3, SfsRequest::Read)));
    ASSERT_TRUE(host.Join());
    EXPECT_EQ(host.Outcome().kind, RunOutcome::Kind::Exit);
    EXPECT_EQ(host.Outcome().code, 5u);
    EXPECT_EQ(Provider(host).Events(), (Events{"init", "init done /||", "request 1", "request 2"}));
}

}  // namespace
}  // namespace kiln::test
