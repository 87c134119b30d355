// Work that a request may cause is bounded: a CheckFile reply that would not
// fit the host's packets is refused before anything is read, and hashing and
// text seek stop between chunks once end of input waits on the provider.
#include <filesystem>

#include "file_ops_support.h"
#include "hashing_space_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

struct ReplyBoundCase {
    const char* name;
    uint64_t fileSize;  // sparse
    uint64_t length;
    uint32_t blockSize;
    const char16_t* maxReply;  // the "MaxCheckFileReply" parameter, or null
    bool refused;
    const char16_t* message;  // when refused
};

void PrintTo(const ReplyBoundCase& c, std::ostream* os) {
    *os << c.name;
}

class CheckFileReplyBound : public FileOpsTest,
                            public testing::WithParamInterface<ReplyBoundCase> {};

TEST_P(CheckFileReplyBound, RefusesRepliesLargerThanTheBound) {
    const ReplyBoundCase& c = GetParam();
    if (c.maxReply) Start({{u"MaxCheckFileReply", c.maxReply}});
    Put("/f", "");
    std::filesystem::resize_file(Disk("/f"), c.fileSize);

    Exchange hashed =
        Ask(SfsRequest::CheckFileName, CheckByName(u"/f", u"sha256", 0, c.length, c.blockSize));
    if (!c.refused) {
        ASSERT_TRUE(hashed.response);
        EXPECT_EQ(hashed.response->m_type, SfsResponse::CheckFileReply) << Narrow(hashed.Log());
        return;
    }
    EXPECT_EQ(hashed.Status(), SfsStatusCode::Failure);
    EXPECT_EQ(hashed.StatusText(), c.message);
    EXPECT_EQ(hashed.Log(), u"KilnSfsWin: Hashing file '" + Win(u"/f") + u"' failed. " +
                                std::u16string(c.message));
    EXPECT_EQ(hashed.LogType(), SfsLogType::Error);
}

// sha256 digests are 32 bytes: 1000 bytes of reply hold 31 of them, the
// default bound of 256 KiB holds 8192.
INSTANTIATE_TEST_SUITE_P(
    Cases, CheckFileReplyBound,
    testing::Values(
        ReplyBoundCase{"FitsTheDefault", 8192 * 256, 0, 256, nullptr, false, nullptr},
        ReplyBoundCase{"OneBlockOverTheDefault", 8192 * 256 + 1, 0, 256, nullptr, true,
                       u"The reply would carry 262176 bytes of digests, more than the 262144 "
                       u"that fit in one reply. Ask for larger blocks or a shorter range."},
        ReplyBoundCase{"EightGiBInSmallBlocks", uint64_t{8} << 30, 0, 256, nullptr, true,
                       u"The reply would carry 1073741824 bytes of digests, more than the "
                       u"262144 that fit in one reply. Ask for larger blocks or a shorter "
                       u"range."},
        ReplyBoundCase{"LengthShortensTheRange", uint64_t{8} << 30, 8192 * 256, 256, nullptr, false,
                       nullptr},
        ReplyBoundCase{"BoundFromTheHost", 32 * 256, 0, 256, u"1000", true,
                       u"The reply would carry 1024 bytes of digests, more than the 1000 that "
                       u"fit in one reply. Ask for larger blocks or a shorter range."},
        ReplyBoundCase{"WithinTheHostsBound", 31 * 256, 0, 256, u"1000", false, nullptr},
        ReplyBoundCase{"WholeRangeIsOneDigest", uint64_t{8} << 30, 4 << 20, 0, u"1000", false,
                       nullptr}),
    [](const testing::TestParamInfo<ReplyBoundCase>& info) {
        return std::string(info.param.name);
    });

#ifndef _WIN32  // completions made to wait are a switch of the Linux platform layer
// A request that is being served when end of input arrives stops after the
// chunk in hand: its read is held pending until the end of input is queued.
class StopsAtEndOfInput : public FileOpsTest, public testing::WithParamInterface<SfsRequest> {};

TEST_P(StopsAtEndOfInput, AnswersFailureAndEndsTheProvider) {
    Put("/f", std::string(1 << 20, 'x'));
    RefPtr<QtSfsRequest> request;
    std::u16string action;
    if (GetParam() == SfsRequest::TextSeek) {
        RefPtr<QtBytes> handle = OpenOk(u"/f", SfsOpenFlags::OpenExisting | SfsOpenFlags::TextMode);
        auto seek = MakeRef<QtSfsTextSeek>();
        seek->m_handle = handle;
        seek->m_lineNumber = 1;
        request = Run().MakeRequest(SfsRequest::TextSeek, seek);
        action = u"Moving position of text file '" + Win(u"/f") + u"' to line 1";
    } else {
        request = Run().MakeRequest(SfsRequest::CheckFileName, CheckByName(u"/f", u"sha256"));
        action = u"Hashing file '" + Win(u"/f") + u"'";
    }
    {
        PendingIo pending;
        platform::HoldOverlappedCompletionsForTests(true);
        Run().Host().Send(request);
        Run().Host().Send(MakeRef<QtEof>());
        platform::HoldOverlappedCompletionsForTests(false);
        RefPtr<QtSfsResponse> response = Run().Host().WaitFor<QtSfsResponse>();
        ASSERT_TRUE(response);
        auto status = QuantumCast<QtSfsStatus>(response->m_content);
        ASSERT_TRUE(status) << "the operation ran to its end";
        EXPECT_EQ(status->m_statusCode, SfsStatusCode::Failure);
        EXPECT_EQ(S(status->m_errorMessage),
                  u"The session ended before the operation was complete.");
    }
    EXPECT_EQ(Run().Finish().kind, RunOutcome::Kind::Returned);
    bool logged = false;
    for (const RefPtr<QtSfsLog>& log : Run().Logs())
        logged |= S(log->m_message) == u"KilnSfsWin: " + action +
                                           u" failed. The session ended before the operation "
                                           u"was complete.";
    EXPECT_TRUE(logged);
}

INSTANTIATE_TEST_SUITE_P(Requests, StopsAtEndOfInput,
                         testing::Values(SfsRequest::CheckFileName, SfsRequest::TextSeek),
                         [](const testing::TestParamInfo<SfsRequest>& info) {
                             return Narrow(S(EnumText(info.param))).substr(11);
                         });
#endif

}  // namespace
}  // namespace kiln::KilnSfsWin::test
