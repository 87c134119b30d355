// Windows error mapping: statuses, suffixes and the handler's failure line.
#include <gtest/gtest.h>

#include "support/wine.h"

#include <string>

#include "sfswin/error_mapping.h"

namespace kiln::KilnSfsWin {
namespace {

std::u16string S(const WString& w) {
    return std::u16string(w.sv());
}

struct MapCase {
    DWORD error;
    SfsStatusCode status;
};

class MapWindowsErrorTest : public testing::TestWithParam<MapCase> {};

TEST_P(MapWindowsErrorTest, GivesTheStatus) {
    EXPECT_EQ(Narrow(EnumText(MapWindowsError(GetParam().error)).sv()),
              Narrow(EnumText(GetParam().status).sv()))
        << "Windows error " << GetParam().error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MapWindowsErrorTest,
    testing::Values(MapCase{ERROR_FILE_NOT_FOUND, SfsStatusCode::NoSuchFile},
                    MapCase{ERROR_PATH_NOT_FOUND, SfsStatusCode::NoSuchPath},
                    MapCase{ERROR_INVALID_DRIVE, SfsStatusCode::NoSuchPath},
                    MapCase{ERROR_ACCESS_DENIED, SfsStatusCode::PermissionDenied},
                    MapCase{ERROR_NO_MORE_FILES, SfsStatusCode::Eof},
                    MapCase{ERROR_HANDLE_EOF, SfsStatusCode::Eof},
                    MapCase{ERROR_WRITE_PROTECT, SfsStatusCode::WriteProtect},
                    MapCase{ERROR_NOT_READY, SfsStatusCode::NoMedia},
                    MapCase{ERROR_NO_MEDIA_IN_DRIVE, SfsStatusCode::NoMedia},
                    MapCase{4318, SfsStatusCode::NoMedia},
                    // A sharing violation is a lock conflict, not a refusal.
                    MapCase{ERROR_SHARING_VIOLATION, SfsStatusCode::LockConflict},
                    MapCase{ERROR_LOCK_VIOLATION, SfsStatusCode::LockConflict},
                    MapCase{ERROR_HANDLE_DISK_FULL, SfsStatusCode::NoSpaceOnFilesystem},
                    MapCase{ERROR_DISK_FULL, SfsStatusCode::NoSpaceOnFilesystem},
                    MapCase{ERROR_NOT_SUPPORTED, SfsStatusCode::OpUnsupported},
                    MapCase{ERROR_FILE_EXISTS, SfsStatusCode::FileAlreadyExists},
                    MapCase{ERROR_ALREADY_EXISTS, SfsStatusCode::FileAlreadyExists},
                    MapCase{ERROR_DIR_NOT_EMPTY, SfsStatusCode::DirNotEmpty},
                    MapCase{ERROR_DIRECTORY, SfsStatusCode::NotADirectory},
                    MapCase{ERROR_DELETE_PENDING, SfsStatusCode::DeletePending},
                    MapCase{ERROR_FILE_CORRUPT, SfsStatusCode::FileCorrupt},
                    MapCase{ERROR_DISK_CORRUPT, SfsStatusCode::FileCorrupt},
                    MapCase{ERROR_SUCCESS, SfsStatusCode::Failure},
                    MapCase{ERROR_INVALID_NAME, SfsStatusCode::Failure},
                    MapCase{ERROR_PRIVILEGE_NOT_HELD, SfsStatusCode::Failure},
                    MapCase{0xFFFFFFFFu, SfsStatusCode::Failure}));

struct SuffixCase {
    uint32_t code;
    std::u16string suffix;
};

class StatusSuffixTest : public testing::TestWithParam<SuffixCase> {};

TEST_P(StatusSuffixTest, FollowsFailed) {
    EXPECT_EQ(S(StatusSuffix(static_cast<SfsStatusCode>(GetParam().code))), GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(Table, StatusSuffixTest,
                         testing::Values(SuffixCase{0, u" with Ok"}, SuffixCase{4, u""},
                                         SuffixCase{17, u" with LockConflict"},
                                         SuffixCase{31, u" with NoMatchingByteRangeLock"},
                                         SuffixCase{32, u" with status code 32"},
                                         SuffixCase{57, u" with status code 57"}));

struct FailureCase {
    const char16_t* call;
    DWORD error;
    std::u16string logText;
    SfsStatusCode status;
};

class HandlerFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(HandlerFailureTest, ComposesTheLogLine) {
    KILN_SKIP_UNDER_WINE("its message for error 5 reads \"Access denied.\", Windows' reads \"Access is denied.\"");
    const FailureCase& c = GetParam();
    HandlerFailure failure =
        DescribeHandlerFailure(u"Removing file 'C:\\x'", SystemError(c.call, c.error));
    EXPECT_EQ(failure.code, c.status);
    EXPECT_EQ(S(failure.logText), c.logText);
}

// Codes beyond the system's message table give the bare number form; the
// cut-over from decimal to hexadecimal lies between 99,999 and 100,000.
INSTANTIATE_TEST_SUITE_P(
    Table, HandlerFailureTest,
    testing::Values(FailureCase{u"DeleteFile()", ERROR_ACCESS_DENIED,
                                u"KilnSfsWin: Removing file 'C:\\x' failed with PermissionDenied. "
                                u"DeleteFile() failed: Windows error 5: Access is denied.",
                                SfsStatusCode::PermissionDenied},
                    FailureCase{u"DeleteFile()", 99999,
                                u"KilnSfsWin: Removing file 'C:\\x' failed. DeleteFile() failed: "
                                u"Windows error 99999.",
                                SfsStatusCode::Failure},
                    FailureCase{u"DeleteFile()", 100000,
                                u"KilnSfsWin: Removing file 'C:\\x' failed. DeleteFile() failed: "
                                u"Windows error 0x000186A0.",
                                SfsStatusCode::Failure},
                    FailureCase{
                        u"", 0xC0000022u,
                        u"KilnSfsWin: Removing file 'C:\\x' failed. Windows error 0xC0000022.",
                        SfsStatusCode::Failure}));

TEST(HandlerFailure, HandlerMayCorrectTheStatus) {
    KILN_SKIP_UNDER_WINE("its message for error 5 reads \"Access denied.\", Windows' reads \"Access is denied.\"");
    HandlerFailure failure =
        DescribeHandlerFailure(u"Removing file 'C:\\d'", SfsStatusCode::FileIsADirectory,
                               SystemError(u"DeleteFile()", ERROR_ACCESS_DENIED));
    EXPECT_EQ(failure.code, SfsStatusCode::FileIsADirectory);
    EXPECT_EQ(S(failure.logText),
              u"KilnSfsWin: Removing file 'C:\\d' failed with FileIsADirectory. DeleteFile() "
              u"failed: Windows error 5: Access is denied.");
}

TEST(RaiseStatus, ThrowsTheStatusWithItsStandardText) {
    try {
        RaiseStatus(SfsStatusCode::NoSuchPath);
        ADD_FAILURE() << "nothing raised";
    } catch (const RefPtr<QtSfsStatus>& status) {
        ASSERT_TRUE(status);
        EXPECT_EQ(status->m_statusCode, SfsStatusCode::NoSuchPath);
        EXPECT_EQ(S(status->m_errorMessage->Str()), u"The file path does not exist or is invalid.");
        EXPECT_EQ(S(status->m_languageTag->Str()), u"en");
    }
}

}  // namespace
}  // namespace kiln::KilnSfsWin
