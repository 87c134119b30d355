#include <gtest/gtest.h>

#include <string>

#include "sfs/sfs_enums.h"
#include "sfs/status_texts.h"

namespace kiln {
namespace {

std::string N(const WString& w) {
    return Narrow(w.sv());
}

struct EnumCase {
    std::string text;
    std::string expected;
};

// Every enumerator that other code names in log lines and dumps, plus values
// just outside each table.
std::vector<EnumCase> AllEnumCases() {
    return {
        {N(EnumText(SfsRequest::Open)), "SfsRequest.Open"},
        {N(EnumText(SfsRequest::FStat)), "SfsRequest.FStat"},
        {N(EnumText(SfsRequest::Link)), "SfsRequest.Link"},
        {N(EnumText(SfsRequest::Unblock)), "SfsRequest.Unblock"},
        {N(EnumText(SfsRequest::TextSeek)), "SfsRequest.TextSeek"},
        {N(EnumText(SfsRequest::CheckFileHandle)), "SfsRequest.CheckFileHandle"},
        {N(EnumText(SfsRequest::HomeDir)), "SfsRequest.HomeDir"},
        {N(EnumText(static_cast<SfsRequest>(7))), "SfsRequest.7"},
        {N(EnumText(static_cast<SfsRequest>(20))), "SfsRequest.20"},
        {N(EnumText(static_cast<SfsRequest>(0xFFFFFFFF))), "SfsRequest.4294967295"},
        {N(EnumText(SfsResponse::Status)), "SfsResponse.Status"},
        {N(EnumText(SfsResponse::Attrs)), "SfsResponse.Attrs"},
        {N(EnumText(SfsResponse::Name)), "SfsResponse.Name"},
        {N(EnumText(SfsResponse::SpaceAvailReply)), "SfsResponse.SpaceAvailReply"},
        {N(EnumText(static_cast<SfsResponse>(106))), "SfsResponse.106"},
        {N(EnumText(SfsStatusCode::Ok)), "SfsStatusCode.Ok"},
        {N(EnumText(SfsStatusCode::NoSuchFile)), "SfsStatusCode.NoSuchFile"},
        {N(EnumText(SfsStatusCode::NoMatchingByteRangeLock)),
         "SfsStatusCode.NoMatchingByteRangeLock"},
        {N(EnumText(static_cast<SfsStatusCode>(32))), "SfsStatusCode.32"},
        {N(EnumText(static_cast<SfsType>(0))), "SfsType.0"},
        {N(EnumText(SfsType::Regular)), "SfsType.Regular"},
        {N(EnumText(SfsType::Unknown)), "SfsType.Unknown"},
        {N(EnumText(SfsType::Fifo)), "SfsType.Fifo"},
        {N(EnumText(static_cast<SfsType>(10))), "SfsType.10"},
        {N(EnumText(SfsAceType::AccessAllowed)), "SfsAceType.AccessAllowed"},
        {N(EnumText(SfsAceType::SystemAlarm)), "SfsAceType.SystemAlarm"},
        {N(EnumText(static_cast<SfsAceType>(4))), "SfsAceType.4"},
        {N(EnumText(static_cast<SfsRealPath>(0))), "SfsRealPath.0"},
        {N(EnumText(SfsRealPath::NoCheck)), "SfsRealPath.NoCheck"},
        {N(EnumText(SfsRealPath::StatIf)), "SfsRealPath.StatIf"},
        {N(EnumText(SfsRealPath::StatAlways)), "SfsRealPath.StatAlways"},
        {N(EnumText(static_cast<SfsRealPath>(4))), "SfsRealPath.4"},
        {N(EnumText(static_cast<SfsRealPath>(255))), "SfsRealPath.255"},
        {N(EnumText(SfsLogType::Error)), "SfsLogType.Error"},
        {N(EnumText(SfsLogType::Warning)), "SfsLogType.Warning"},
        {N(EnumText(SfsLogType::Trace)), "SfsLogType.Trace"},
        {N(EnumText(static_cast<SfsLogType>(4))), "SfsLogType.4"},
        {N(EnumText(SfsLogCode::Other)), "SfsLogCode.Other"},
        {N(EnumText(SfsLogCode::CloseCleanup)), "SfsLogCode.CloseCleanup"},
        {N(EnumText(SfsLogCode::HomeDir)), "SfsLogCode.HomeDir"},
        {N(EnumText(SfsLogCode::ProcessEof)), "SfsLogCode.ProcessEof"},
        {N(EnumText(static_cast<SfsLogCode>(24))), "SfsLogCode.24"},
        {N(EnumText(static_cast<SfsLogCode>(65535))), "SfsLogCode.65535"},
    };
}

TEST(SfsEnumText, NamedAndUnnamedValues) {
    for (const auto& c : AllEnumCases()) EXPECT_EQ(c.text, c.expected);
}

// The request numbering has gaps at 7 and 20 and jumps to our own range.
TEST(SfsEnumText, EveryRequestNumberHasItsName) {
    const std::pair<uint32_t, const char*> table[] = {
        {3, "Open"},
        {4, "Close"},
        {5, "Read"},
        {6, "Write"},
        {8, "FStat"},
        {9, "SetStat"},
        {10, "FSetStat"},
        {11, "OpenDir"},
        {12, "ReadDir"},
        {13, "Remove"},
        {14, "MkDir"},
        {15, "RmDir"},
        {16, "RealPath"},
        {17, "Stat"},
        {18, "Rename"},
        {19, "ReadLink"},
        {21, "Link"},
        {22, "Block"},
        {23, "Unblock"},
        {1001, "TextSeek"},
        {2001, "CheckFileHandle"},
        {2002, "CheckFileName"},
        {2003, "SpaceAvail"},
        {2004, "HomeDir"},
        {2005, "FSync"},
        {2006, "LSetStat"},
    };
    int named = 0;
    for (uint32_t v = 0; v < 2100; ++v) {
        if (EnumName(static_cast<SfsRequest>(v))) ++named;
    }
    EXPECT_EQ(named, 26);
    for (const auto& [value, name] : table)
        EXPECT_EQ(N(EnumText(static_cast<SfsRequest>(value))), std::string("SfsRequest.") + name);
}

TEST(SfsEnumText, LogCodesAreNumberedWithoutGapsUpToHomeDir) {
    for (uint16_t v = 0; v <= 23; ++v)
        EXPECT_NE(EnumName(static_cast<SfsLogCode>(v)), nullptr) << v;
    for (uint16_t v = 24; v < 100; ++v)
        EXPECT_EQ(EnumName(static_cast<SfsLogCode>(v)), nullptr) << v;
    EXPECT_EQ(static_cast<uint16_t>(SfsLogCode::ProcessEof), 100);
}

TEST(SfsFlagSets, BlockCombinationNumbers) {
    EXPECT_EQ(SfsBlockCombination(0), 0u);
    EXPECT_EQ(SfsBlockCombination(SfsBlockFlags::BlockRead), 1u);
    EXPECT_EQ(SfsBlockCombination(SfsBlockFlags::BlockWrite), 2u);
    EXPECT_EQ(SfsBlockCombination(SfsBlockFlags::BlockRead | SfsBlockFlags::BlockWrite), 3u);
    EXPECT_EQ(SfsBlockCombination(SfsBlockFlags::BlockDelete), 4u);
    EXPECT_EQ(SfsBlockCombination(SfsBlockFlags::All), 15u);
    // Other open flags around the block bits do not disturb the number.
    EXPECT_EQ(SfsBlockCombination(SfsOpenFlags::BlockWrite | SfsOpenFlags::AppendData |
                                  SfsOpenFlags::NoFollow | SfsOpenFlags::OpenOrCreate),
              2u);
    // The Windows backend's vectors: open takes 0..7, Block takes 2 and 3.
    for (uint32_t c = 0; c < 16; ++c) {
        uint32_t flags = c << 6;
        EXPECT_EQ(SfsBlockVectorAllows(0x00FF, flags), c < 8) << c;
        EXPECT_EQ(SfsBlockVectorAllows(0x000C, flags), c == 2 || c == 3) << c;
    }
}

// ---- Status texts ---------------------------------------------------------

struct StatusCase {
    uint32_t code;
    const char* name;
    const char* text;
};

const StatusCase kStatusCases[] = {
    {0, "Ok", "The operation completed successfully."},
    {1, "Eof", "Reached the end of the file."},
    {2, "NoSuchFile", "The file does not exist."},
    {3, "PermissionDenied", "Permission denied."},
    {4, "Failure", "The requested operation failed."},
    {5, "BadMessage", "A bad message received."},
    {6, "NoConnection", "There is no connection to the server."},
    {7, "ConnectionLost", "The connection to the server was lost."},
    {8, "OpUnsupported", "The requested operation is not supported."},
    {9, "InvalidHandle", "The handle is invalid."},
    {10, "NoSuchPath", "The file path does not exist or is invalid."},
    {11, "FileAlreadyExists", "The file already exists."},
    {12, "WriteProtect", "The media is write protected."},
    {13, "NoMedia", "No media in drive."},
    {14, "NoSpaceOnFilesystem", "Insufficient free space on the filesystem."},
    {15, "QuotaExceeded", "Not enough quota is available."},
    {16, "UnknownPrincipal", "A principal referenced by the request is unknown."},
    {17, "LockConflict", "The file could not be opened because it is locked by another process."},
    {18, "DirNotEmpty", "The directory is not empty."},
    {19, "NotADirectory", "The specified file is not a directory."},
    {20, "InvalidFileName", "The filename is not valid."},
    {21, "LinkLoop", "Too many symbolic links encountered."},
    {22, "CannotDelete", "The file cannot be deleted."},
    {23, "InvalidParameter", "The parameter is incorrect."},
    {24, "FileIsADirectory", "The specified file is a directory."},
    {25, "RangeLockConflict",
     "Another process's mandatory byte-range lock overlaps with this request."},
    {26, "RangeLockRefused", "A request for a byte range lock was refused."},
    {27, "DeletePending",
     "An operation was attempted on a file for which a delete operation is pending."},
    {28, "FileCorrupt", "The file is corrupt."},
    {29, "OwnerInvalid", "The principal specified can not be assigned as an owner of a file."},
    {30, "GroupInvalid",
     "The principal specified can not be assigned as the primary group of a file."},
    {31, "NoMatchingByteRangeLock",
     "The requested operation could not be completed because the specifed byte range lock has "
     "not been granted."},
};

TEST(SfsStatusTexts, StandardTextSuffixAndNameOfEveryCode) {
    for (const auto& c : kStatusCases) {
        SfsStatusCode code = static_cast<SfsStatusCode>(c.code);
        EXPECT_EQ(N(StandardStatusText(code)), c.text) << c.code;
        EXPECT_EQ(N(EnumText(code)), std::string("SfsStatusCode.") + c.name) << c.code;
        std::string suffix = c.code == 4 ? "" : std::string(" with ") + c.name;
        EXPECT_EQ(N(StatusSuffix(code)), suffix) << c.code;
    }
}

TEST(SfsStatusTexts, CodesWithoutANameFallBackToFailureTextAndTheirNumber) {
    for (uint32_t code : {32u, 33u, 100u, 0xFFFFFFFFu}) {
        SfsStatusCode c = static_cast<SfsStatusCode>(code);
        EXPECT_EQ(N(StandardStatusText(c)), "The requested operation failed.");
        EXPECT_EQ(N(StatusSuffix(c)), " with status code " + std::to_string(code));
    }
}

// A plain failure's log line has nothing between "failed" and the period.
TEST(SfsStatusTexts, FailureLogLineReadsWithoutSuffix) {
    WString line = u"KilnSfsWin: Opening file 'C:\\x' failed" +
                   StatusSuffix(SfsStatusCode::Failure) + u". Access is denied.";
    EXPECT_EQ(N(line), "KilnSfsWin: Opening file 'C:\\x' failed. Access is denied.");
}

}  // namespace
}  // namespace kiln
