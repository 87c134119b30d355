// Read and Write on real files: positions, the size cut, end of file, text
// mode, appends, the statistics they feed, and the pending-I/O path.
#include <filesystem>
#include <thread>

#include "file_ops_support.h"
#include "support/wine.h"

namespace kiln::KilnSfsWin::test {
namespace {

namespace Open_ = SfsOpenFlags;

std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return data;
}

TEST_F(FileOpsTest, ReadIsCutToFourMebibytes) {
    const std::string content = Pattern(20u << 20);
    Put("/big", content);
    RefPtr<QtBytes> handle = OpenOk(u"/big", Open_::OpenExisting, kRead);
    Exchange read = Read(handle, 0, 10u << 20);
    ASSERT_TRUE(read.Data());
    const QtBytes& data = *read.Data()->m_data;
    ASSERT_EQ(data.Size(), 4u << 20);
    EXPECT_TRUE(data.View() == std::string_view(content).substr(0, 4u << 20));
    EXPECT_FALSE(read.Data()->m_endOfFile);
    EXPECT_EQ(read.Log(),
              u"KilnSfsWin: Read 4194304 bytes at position 0 from file '" + Win(u"/big") + u"'.");
    EXPECT_EQ(read.LogType(), SfsLogType::Info);
}

struct EdgeCase {
    const char* name;
    uint64_t offset;
    uint32_t length;
    std::optional<std::string> data;  // nullopt: Eof
};

class ReadAtTheEnd : public FileOpsTest, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(ReadAtTheEnd, AnswersWhatIsThereOrEofAtWarning) {
    const EdgeCase& c = GetParam();
    Put("/f", "0123456789");
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting, kRead);
    Exchange read = Read(handle, c.offset, c.length);
    const std::u16string range = S(NumberToText(c.length)) + u" bytes at position " +
                                 S(NumberToText(c.offset)) + u" from file '" + Win(u"/f") + u"'";
    if (c.data) {
        ASSERT_TRUE(read.Data());
        EXPECT_EQ(Text(*read.Data()->m_data), *c.data);
        EXPECT_FALSE(read.Data()->m_endOfFile);
        EXPECT_EQ(read.LogType(), SfsLogType::Info);
    } else {
        EXPECT_EQ(read.Status(), SfsStatusCode::Eof);
        EXPECT_EQ(read.StatusText(),
                  S(KilnSfsProvider::MakeStatus(SfsStatusCode::Eof)->m_errorMessage));
        EXPECT_EQ(read.Log(), u"KilnSfsWin: Reading " + range + u" failed with Eof.");
        EXPECT_EQ(read.LogType(), SfsLogType::Warning);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ReadAtTheEnd,
    ::testing::Values(EdgeCase{"Inside", 2, 3, "234"}, EdgeCase{"Straddling", 7, 10, "789"},
                      EdgeCase{"AtTheEnd", 10, 10, std::nullopt},
                      EdgeCase{"PastTheEnd", 1000, 1, std::nullopt},
                      EdgeCase{"BeyondAnyFile", ~uint64_t{0} - 1, 1, std::nullopt},
                      EdgeCase{"ZeroBytesInside", 3, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileOpsTest, ShortReadsGiveBackTheUnusedBufferNearlyFullOnesKeepIt) {
    Put("/f", Pattern(3500));
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting, kRead);
    Exchange full = Read(handle, 0, 4000);  // 3500 of 4000: kept as read
    ASSERT_TRUE(full.Data());
    EXPECT_EQ(full.Data()->m_data->Size(), 3500u);
    EXPECT_EQ(full.Data()->m_data->Storage().capacity(), 4000u);
    Exchange shortRead = Read(handle, 3400, 4000);  // 100 of 4000: shrunk
    ASSERT_TRUE(shortRead.Data());
    EXPECT_EQ(Text(*shortRead.Data()->m_data), Pattern(3500).substr(3400));
    EXPECT_EQ(shortRead.Data()->m_data->Storage().capacity(), 100u);
}

TEST_F(FileOpsTest, TextModeReadsFollowTheTextPositionNotTheOffset) {
    Put("/t", Pattern(40));
    RefPtr<QtBytes> handle = OpenOk(u"/t", Open_::OpenExisting | Open_::TextMode, kRead);
    EXPECT_EQ(ReadText(handle, 30, 10), Pattern(40).substr(0, 10));
    Exchange second = Read(handle, 0, 10);
    ASSERT_TRUE(second.Data());
    EXPECT_EQ(Text(*second.Data()->m_data), Pattern(40).substr(10, 10));
    EXPECT_EQ(second.Log(),
              u"KilnSfsWin: Read 10 bytes at position 10 from file '" + Win(u"/t") + u"'.");
}

TEST_F(FileOpsTest, TextModeWriteAfterASeekWritesAtTheLine) {
    Put("/t", "a\r\nb\r\nc");
    RefPtr<QtBytes> handle = OpenOk(u"/t", Open_::OpenExisting | Open_::TextMode);
    ASSERT_EQ(TextSeek(handle, 1).Status(), SfsStatusCode::Ok);
    Exchange written = Write(handle, 0, "B");
    EXPECT_EQ(written.Log(),
              u"KilnSfsWin: Wrote 1 bytes at position 3 to file '" + Win(u"/t") + u"'.");
    EXPECT_EQ(Write(handle, 0, "\r").Status(), SfsStatusCode::Ok) << "the position moved on";
    Close(handle);
    EXPECT_EQ(Get("/t"), "a\r\nB\r\nc");
}

struct AppendCase {
    const char* name;
    uint32_t flags;
    uint64_t offset;
    bool appends;
};

class WritePosition : public FileOpsTest, public ::testing::WithParamInterface<AppendCase> {};

TEST_P(WritePosition, AppendsByFlagOrByTheAllOnesOffset) {
    const AppendCase& c = GetParam();
    Put("/f", "0123456789");
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting | c.flags);
    Exchange written = Write(handle, c.offset, "XY");
    EXPECT_EQ(written.Status(), SfsStatusCode::Ok);
    const std::u16string path = u"'" + Win(u"/f") + u"'.";
    Exchange closed = Close(handle);
    if (c.appends) {
        EXPECT_EQ(written.Log(), u"KilnSfsWin: Appended 2 bytes to file " + path);
        EXPECT_EQ(Get("/f"), "0123456789XY");
        EXPECT_EQ(closed.Log(), u"KilnSfsWin: Closed file '" + Win(u"/f") +
                                    u"'. Registered 1 successful operation. Appended 2 bytes in 1 "
                                    u"operation.");
    } else {
        EXPECT_EQ(written.Log(), u"KilnSfsWin: Wrote 2 bytes at position 4 to file " + path);
        EXPECT_EQ(Get("/f"), "0123XY6789");
        EXPECT_EQ(closed.Log(), u"KilnSfsWin: Closed file '" + Win(u"/f") +
                                    u"'. Registered 1 successful operation. Uploaded 2 bytes "
                                    u"starting at 4 in 1 operation.");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, WritePosition,
    ::testing::Values(AppendCase{"Positioned", 0, 4, false},
                      AppendCase{"AppendData", Open_::AppendData, 4, true},
                      AppendCase{"AllOnesOffsetInAppendMode", Open_::AppendData, ~uint64_t{0},
                                 true},
                      AppendCase{"TextModeAppend", Open_::AppendData | Open_::TextMode, 4, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileOpsTest, EmptyWriteAnswersOkAndLogsZeroBytes) {
    Put("/f", "abc");
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting);
    Exchange written = Write(handle, 5, "");
    EXPECT_EQ(written.Status(), SfsStatusCode::Ok);
    EXPECT_EQ(written.Log(),
              u"KilnSfsWin: Wrote 0 bytes at position 5 to file '" + Win(u"/f") + u"'.");
    Close(handle);
    EXPECT_EQ(Get("/f"), "abc");
}

TEST_F(FileOpsTest, WriteThroughAReadOnlyHandleFailsAndChangesNothing) {
    Put("/f", "abc");
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting, kRead);
    Exchange written = Write(handle, 0, "xyz");
    EXPECT_EQ(written.Status(), SfsStatusCode::PermissionDenied);
    EXPECT_EQ(written.LogType(), SfsLogType::Error);
    Exchange closed = Close(handle);
    EXPECT_EQ(closed.Log(), u"KilnSfsWin: Closed file '" + Win(u"/f") +
                                u"'. Registered 0 successful operations.");
    EXPECT_EQ(Get("/f"), "abc");
    KILN_SKIP_UNDER_WINE(
        "its message for error 5 reads \"Access denied.\", Windows' reads \"Access is denied.\"");
    EXPECT_EQ(written.Log(), u"KilnSfsWin: Writing 3 bytes at position 0 to file '" + Win(u"/f") +
                                 u"' failed with PermissionDenied. WriteFile() failed: Windows "
                                 u"error 5: Access is denied.");
}

TEST_F(FileOpsTest, ReadAndWriteRefuseDirectoryAndUnknownHandles) {
    std::filesystem::create_directory(Disk("/d"));
    Exchange dir = OpenDir(u"/d");
    ASSERT_TRUE(dir.Handle());
    RefPtr<QtBytes> unknown = Bytes("\x7f\x7f");
    for (const RefPtr<QtBytes>& handle : {dir.Handle(), unknown}) {
        Exchange read = Read(handle, 0, 10);
        EXPECT_EQ(read.Status(), SfsStatusCode::InvalidHandle);
        EXPECT_EQ(read.Log(), u"KilnSfsWin: Reading file failed with InvalidHandle.");
        Exchange written = Write(handle, 0, "x");
        EXPECT_EQ(written.Status(), SfsStatusCode::InvalidHandle);
        EXPECT_EQ(written.Log(), u"KilnSfsWin: Writing file failed with InvalidHandle.");
    }
}

// An offset of all ones is the end of the file, with or without append mode,
// as Windows takes it; refusing it is a front end's business.
TEST_F(FileOpsTest, WriteAtTheLastOffsetAppends) {
    struct Case {
        uint32_t flags;
        SfsStatusCode status;
        const char* content;
    } cases[] = {
        {SfsOpenFlags::OpenExisting, SfsStatusCode::Ok, "abcxy"},
        {SfsOpenFlags::OpenExisting | SfsOpenFlags::AppendData, SfsStatusCode::Ok, "abcxy"},
    };
    for (const Case& c : cases) {
        Put("/f", "abc");
        RefPtr<QtBytes> handle = OpenOk(u"/f", c.flags, kReadWrite | SfsAccessMask::AppendData);
        Exchange written = Write(handle, ~uint64_t{0}, "xy");
        EXPECT_EQ(written.Status(), c.status) << Narrow(written.Log());
        Close(handle);
        EXPECT_EQ(Get("/f"), c.content);
    }
}

#ifndef _WIN32  // completions made to wait are a switch of the Linux platform layer
TEST_F(FileOpsTest, PendingOperationsCompleteThroughTheHub) {
    PendingIo pending;
    Put("/f", "0123456789");
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting);
    EXPECT_EQ(ReadText(handle, 2, 4), "2345");
    EXPECT_EQ(Read(handle, 10, 4).Status(), SfsStatusCode::Eof);
    EXPECT_EQ(Write(handle, 8, "XYZ").Status(), SfsStatusCode::Ok);
    EXPECT_EQ(Write(handle, 11, "!").Status(), SfsStatusCode::Ok);
    EXPECT_EQ(Block(handle, 0, 4, SfsBlockFlags::BlockWrite).Status(), SfsStatusCode::Ok);
    EXPECT_EQ(Unblock(handle, 0, 4).Status(), SfsStatusCode::Ok);
    Close(handle);
    EXPECT_EQ(Get("/f"), "01234567XYZ!");
}

TEST_F(FileOpsTest, AHeldCompletionKeepsTheAnswerBackUntilItFinishes) {
    PendingIo pending;
    Put("/f", "0123456789");
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting, kRead);
    platform::HoldOverlappedCompletionsForTests(true);
    auto read = MakeRef<QtSfsRead>();
    read->m_handle = handle;
    read->m_offset = 4;
    read->m_length = 3;
    Run().Host().Send(Run().MakeRequest(SfsRequest::Read, read));
    EXPECT_FALSE(Run().Host().WaitFor<QtSfsResponse>(std::chrono::milliseconds(200)))
        << "answered before the read completed";
    platform::HoldOverlappedCompletionsForTests(false);
    RefPtr<QtSfsResponse> response = Run().Host().WaitFor<QtSfsResponse>();
    ASSERT_TRUE(response);
    auto* data = dynamic_cast<QtSfsData*>(response->m_content.get());
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Text(*data->m_data), "456");
}
#endif

}  // namespace
}  // namespace kiln::KilnSfsWin::test
