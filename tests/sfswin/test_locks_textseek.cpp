// Byte-range locks between handles and the text position set by TextSeek.
#include <filesystem>

#include "file_ops_support.h"
#include "support/wine.h"

namespace kiln::KilnSfsWin::test {
namespace {

namespace Open_ = SfsOpenFlags;
namespace Block_ = SfsBlockFlags;

struct LockCase {
    const char* name;
    uint32_t firstFlags;
    uint64_t secondOffset;
    uint32_t secondFlags;
    SfsStatusCode second;
};

class LocksBetweenHandles : public FileOpsTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(LocksBetweenHandles, SharedLocksOverlapExclusiveOnesDoNot) {
    const LockCase& c = GetParam();
    Put("/f", std::string(100, 'x'));
    RefPtr<QtBytes> first = OpenOk(u"/f", Open_::OpenExisting);
    RefPtr<QtBytes> second = OpenOk(u"/f", Open_::OpenExisting);
    Exchange firstLock = Block(first, 10, 20, c.firstFlags);
    ASSERT_EQ(firstLock.Status(), SfsStatusCode::Ok);
    const std::u16string firstMode = (c.firstFlags & Block_::BlockWrite) ? u"exclusive" : u"shared";
    EXPECT_EQ(firstLock.Log(), u"KilnSfsWin: Blocked 20 bytes at position 10 in " + firstMode +
                                   u" mode for file '" + Win(u"/f") + u"'.");

    Exchange secondLock = Block(second, c.secondOffset, 5, c.secondFlags);
    EXPECT_EQ(secondLock.Status(), c.second);
    if (c.second == SfsStatusCode::RangeLockRefused) {
        const std::u16string mode = (c.secondFlags & Block_::BlockWrite) ? u"exclusive" : u"shared";
        EXPECT_EQ(secondLock.Log().rfind(u"KilnSfsWin: Blocking 5 bytes at position " +
                                             S(NumberToText(c.secondOffset)) + u" in " + mode +
                                             u" mode for file '" + Win(u"/f") +
                                             u"' failed with RangeLockRefused. LockFileEx() "
                                             u"failed: Windows error 33: ",
                                         0),
                  0u)
            << Narrow(secondLock.Log());
        // Once the first handle lets go, the second gets its lock.
        EXPECT_EQ(Unblock(first, 10, 20).Status(), SfsStatusCode::Ok);
        EXPECT_EQ(Block(second, c.secondOffset, 5, c.secondFlags).Status(), SfsStatusCode::Ok);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LocksBetweenHandles,
    ::testing::Values(LockCase{"SharedThenShared", Block_::BlockRead, 15, Block_::BlockRead,
                               SfsStatusCode::Ok},
                      LockCase{"ExclusiveThenShared", Block_::BlockWrite, 15, Block_::BlockRead,
                               SfsStatusCode::RangeLockRefused},
                      LockCase{"SharedThenExclusive", Block_::BlockRead, 15, Block_::BlockWrite,
                               SfsStatusCode::RangeLockRefused},
                      LockCase{"ReadAndWriteIsExclusive", Block_::BlockRead | Block_::BlockWrite,
                               29, Block_::BlockRead, SfsStatusCode::RangeLockRefused},
                      LockCase{"ExclusiveElsewhere", Block_::BlockWrite, 30, Block_::BlockWrite,
                               SfsStatusCode::Ok}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileOpsTest, AnExclusiveLockKeepsOtherHandlesFromTheRange) {
    KILN_SKIP_UNDER_WINE("ReadFile and WriteFile of another handle ignore byte-range locks; Windows refuses them with ERROR_LOCK_VIOLATION");
    Put("/f", std::string(100, 'x'));
    RefPtr<QtBytes> owner = OpenOk(u"/f", Open_::OpenExisting);
    RefPtr<QtBytes> other = OpenOk(u"/f", Open_::OpenExisting);
    ASSERT_EQ(Block(owner, 0, 50, Block_::BlockWrite).Status(), SfsStatusCode::Ok);
    EXPECT_EQ(Write(other, 10, "y").Status(), SfsStatusCode::LockConflict);
    EXPECT_EQ(Read(other, 10, 1).Status(), SfsStatusCode::LockConflict);
    EXPECT_EQ(Write(other, 60, "y").Status(), SfsStatusCode::Ok) << "outside the range";
    EXPECT_EQ(Write(owner, 10, "z").Status(), SfsStatusCode::Ok) << "the owner may";
    Close(owner);  // the lock goes with the handle
    EXPECT_EQ(Write(other, 11, "y").Status(), SfsStatusCode::Ok);
}

TEST_F(FileOpsTest, UnblockOfARangeThatIsNotLocked) {
    KILN_SKIP_UNDER_WINE("UnlockFileEx of a range not locked fails with ERROR_LOCK_VIOLATION; Windows gives ERROR_NOT_LOCKED");
    Put("/f", std::string(100, 'x'));
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting);
    ASSERT_EQ(Block(handle, 0, 10, Block_::BlockWrite).Status(), SfsStatusCode::Ok);
    for (auto [offset, length] : {std::pair<uint64_t, uint64_t>{0, 5}, {20, 10}}) {
        Exchange unblocked = Unblock(handle, offset, length);
        EXPECT_EQ(unblocked.Status(), SfsStatusCode::NoMatchingByteRangeLock);
        EXPECT_EQ(unblocked.Log().rfind(u"KilnSfsWin: Unblocking " + S(NumberToText(length)) +
                                            u" bytes at position " + S(NumberToText(offset)) +
                                            u" for file '" + Win(u"/f") +
                                            u"' failed with NoMatchingByteRangeLock. "
                                            u"UnlockFileEx() failed: Windows error 158: ",
                                        0),
                  0u)
            << Narrow(unblocked.Log());
    }
    Exchange unblocked = Unblock(handle, 0, 10);
    EXPECT_EQ(unblocked.Status(), SfsStatusCode::Ok);
    EXPECT_EQ(unblocked.Log(),
              u"KilnSfsWin: Unblocked 10 bytes at position 0 for file '" + Win(u"/f") + u"'.");
    EXPECT_EQ(Unblock(handle, 0, 10).Status(), SfsStatusCode::NoMatchingByteRangeLock);
}

TEST_F(FileOpsTest, BlockWithoutReadOrWriteIsInvalid) {
    Put("/f", "x");
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting);
    for (uint32_t flags : {0u, Block_::BlockDelete, Block_::BlockAdvisory}) {
        Exchange blocked = Block(handle, 0, 1, flags);
        EXPECT_EQ(blocked.Status(), SfsStatusCode::InvalidParameter);
        EXPECT_EQ(blocked.StatusText(), u"The block flag specified is invalid.");
        EXPECT_EQ(blocked.Log(), u"KilnSfsWin: Blocking file '" + Win(u"/f") +
                                     u"' failed with InvalidParameter. The block flag specified "
                                     u"is invalid.");
    }
}

TEST_F(FileOpsTest, LocksAreRefusedOnDirectoriesAndUnknownHandles) {
    std::filesystem::create_directory(Disk("/d"));
    Exchange dir = OpenDir(u"/d");
    ASSERT_TRUE(dir.Handle());
    Exchange blocked = Block(dir.Handle(), 0, 1, Block_::BlockWrite);
    EXPECT_EQ(blocked.Status(), SfsStatusCode::Failure);
    EXPECT_EQ(blocked.StatusText(), u"Operation is supported for files only.");
    EXPECT_EQ(blocked.Log(), u"KilnSfsWin: Blocking directory '" + Win(u"/d") +
                                 u"' failed. Operation is supported for files only.");
    Exchange unblocked = Unblock(dir.Handle(), 0, 1);
    EXPECT_EQ(unblocked.Status(), SfsStatusCode::NoMatchingByteRangeLock);
    EXPECT_EQ(unblocked.StatusText(), u"Operation is supported for files only.");
    EXPECT_EQ(unblocked.Log(), u"KilnSfsWin: Unblocking directory '" + Win(u"/d") +
                                   u"' failed. Operation is supported for files only.");
    Exchange stale = Block(Bytes("\x55"), 0, 1, Block_::BlockWrite);
    EXPECT_EQ(stale.Status(), SfsStatusCode::InvalidHandle);
    EXPECT_EQ(stale.Log(), u"KilnSfsWin: Blocking file failed with InvalidHandle.");
}

TEST_F(FileOpsTest, LocksAreRefusedOnTheDriveList) {
    Start({{u"RootPath", u""}});
    Exchange drives = OpenDir(u"/");
    ASSERT_TRUE(drives.Handle()) << Narrow(drives.Log());
    EXPECT_EQ(
        Block(drives.Handle(), 0, 1, Block_::BlockRead).Log(),
        u"KilnSfsWin: Blocking logical drives failed. Operation is supported for files only.");
    EXPECT_EQ(Unblock(drives.Handle(), 0, 1).Log(),
              u"KilnSfsWin: Unblocking logical drives failed. Operation is supported for files "
              u"only.");
}

struct SeekCase {
    const char* name;
    std::string content;
    uint64_t line;
    std::optional<uint64_t> position;  // nullopt: the end-of-file value
    uint64_t endLine;                  // the line reported when it ran off the end
};

class TextSeekLines : public FileOpsTest, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(TextSeekLines, MovesToTheStartOfTheLineCountingCrLfOnly) {
    const SeekCase& c = GetParam();
    Put("/t", c.content);
    RefPtr<QtBytes> handle = OpenOk(u"/t", Open_::OpenExisting | Open_::TextMode);
    Exchange sought = TextSeek(handle, c.line);
    EXPECT_EQ(sought.Status(), SfsStatusCode::Ok);
    const std::u16string subject =
        u"KilnSfsWin: Moved position of text file '" + Win(u"/t") + u"' to ";
    if (c.position) {
        EXPECT_EQ(sought.Log(), subject + S(NumberToText(*c.position)) +
                                    u" - at the begining of line " + S(NumberToText(c.line)) +
                                    u".");
        EXPECT_EQ(ReadText(handle, 0, 3), c.content.substr(*c.position, 3));
    } else {
        EXPECT_EQ(sought.Log(),
                  subject + u"Eof - at the end of line " + S(NumberToText(c.endLine)) + u".");
        EXPECT_EQ(Read(handle, 0, 3).Status(), SfsStatusCode::Eof);
        EXPECT_EQ(Write(handle, 0, "+").Log(),
                  u"KilnSfsWin: Appended 1 bytes to file '" + Win(u"/t") + u"'.");
        EXPECT_EQ(Get("/t"), c.content + "+");
    }
}

std::string SplitPairFile() {
    // The CR is the last byte of the first 128 KiB chunk, the LF the first of
    // the second.
    std::string content(0x20000 - 1, 'x');
    content += "\r\nline1\r\nline2";
    content += std::string(1000, 'y');
    return content;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TextSeekLines,
    ::testing::Values(SeekCase{"SecondLine", "a\r\nb\r\nc", 2, 6, 0},
                      SeekCase{"FirstLine", "a\r\nb\r\nc", 1, 3, 0},
                      SeekCase{"LfOnlyRunsOffTheEnd", "a\nb\nc", 2, std::nullopt, 0},
                      SeekCase{"PastTheLastLine", "a\r\nb\r\nc", 5, std::nullopt, 2},
                      SeekCase{"LoneCrDoesNotCount", "a\rb\r\nc\n\rd\r\ne", 2, 11, 0},
                      SeekCase{"PairSplitAcrossChunks", SplitPairFile(), 1, 0x20001, 0},
                      SeekCase{"AfterTheSplitPair", SplitPairFile(), 2, 0x20008, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileOpsTest, TextSeekToLineZeroAndOutsideTextMode) {
    Put("/t", "a\r\nb");
    RefPtr<QtBytes> text = OpenOk(u"/t", Open_::OpenExisting | Open_::TextMode);
    ASSERT_EQ(TextSeek(text, 1).Status(), SfsStatusCode::Ok);
    Exchange home = TextSeek(text, 0);
    EXPECT_EQ(home.Status(), SfsStatusCode::Ok);
    EXPECT_TRUE(home.logs.empty());
    EXPECT_EQ(ReadText(text, 2, 1), "a");

    RefPtr<QtBytes> binary = OpenOk(u"/t", Open_::OpenExisting);
    Exchange refused = TextSeek(binary, 1);
    EXPECT_EQ(refused.Status(), SfsStatusCode::InvalidParameter);
    EXPECT_EQ(refused.StatusText(), u"The file was not opened in text mode.");
    EXPECT_EQ(refused.Log(), u"KilnSfsWin: Moving position of text file '" + Win(u"/t") +
                                 u"' failed with InvalidParameter. The file was not opened in "
                                 u"text mode.");

    std::filesystem::create_directory(Disk("/d"));
    Exchange dir = TextSeek(OpenDir(u"/d").Handle(), 1);
    EXPECT_EQ(dir.Status(), SfsStatusCode::InvalidHandle);
    EXPECT_EQ(dir.Log(), u"KilnSfsWin: Moving position of text file failed with InvalidHandle.");
}

TEST_F(FileOpsTest, TextSeekOfAnUnreadableHandleFailsWithTheMappedStatus) {
    KILN_SKIP_UNDER_WINE("its message for error 5 reads \"Access denied.\", Windows' reads \"Access is denied.\"");
    Put("/t", "a\r\nb");
    RefPtr<QtBytes> handle =
        OpenOk(u"/t", Open_::OpenExisting | Open_::TextMode, SfsAccessMask::WriteData);
    Exchange sought = TextSeek(handle, 1);
    EXPECT_EQ(sought.Status(), SfsStatusCode::PermissionDenied);
    EXPECT_EQ(sought.Log(), u"KilnSfsWin: Moving position of text file '" + Win(u"/t") +
                                u"' to line 1 failed with PermissionDenied. ReadFile() failed: "
                                u"Windows error 5: Access is denied.");
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
