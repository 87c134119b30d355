// CheckFile by name and by handle: digests compared with the system's own
// tools over the same bytes, the block walk, the algorithm choice, every
// refusal with its text, and confinement.
#include <filesystem>

#include "hashing_space_support.h"
#include "platform/config_files.h"
#include "support/wine.h"

namespace kiln::KilnSfsWin::test {
namespace {

struct Slice {
    size_t offset;
    size_t size;
};

struct HashCase {
    const char* name;
    size_t fileSize;
    std::u16string algorithms;
    uint64_t startOffset;
    uint64_t length;
    uint32_t blockSize;
    std::string expectedAlgorithm;  // also the coreutils tool
    std::vector<Slice> blocks;
};

void PrintTo(const HashCase& c, std::ostream* os) {
    *os << c.name;
}

class CheckFileByName : public testing::TestWithParam<HashCase> {};

TEST_P(CheckFileByName, DigestsMatchTheSystemTools) {
    const HashCase& c = GetParam();
    RootedProvider provider;
    const std::string bytes = PatternBytes(c.fileSize);
    WriteBytes(provider.Linux("f"), bytes);

    auto response =
        provider.Ask(SfsRequest::CheckFileName,
                     CheckByName(u"/f", c.algorithms, c.startOffset, c.length, c.blockSize));
    ASSERT_TRUE(response);
    ASSERT_EQ(response->m_type, SfsResponse::CheckFileReply) << Narrow(provider.LastLog());
    auto reply = QuantumCast<QtSfsCheckFileReply>(response->m_content);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Narrow(reply->m_hashAlgUsed->Str().sv()), c.expectedAlgorithm);

    std::vector<std::string> expected;
    for (const Slice& block : c.blocks)
        expected.push_back(ToolDigest(c.expectedAlgorithm, bytes.substr(block.offset, block.size)));
    EXPECT_EQ(Digests(*reply), expected);
    EXPECT_EQ(provider.LastLog(), u"KilnSfsWin: Hashed file '" + provider.Win(u"f") + u"'.");
    EXPECT_EQ(provider.LastLogType(), SfsLogType::Info);
}

// Sizes chosen around the read chunk (1 KiB to 128 KiB) so that blocks
// straddle reads.
INSTANTIATE_TEST_SUITE_P(
    Cases, CheckFileByName,
    testing::Values(
        HashCase{"WholeMiB", 1 << 20, u"sha256", 0, 0, 0, "sha256", {{0, 1 << 20}}},
        HashCase{"WholeFromOffset",
                 1 << 20,
                 u"sha256",
                 1000,
                 0,
                 0,
                 "sha256",
                 {{1000, (1 << 20) - 1000}}},
        HashCase{"Blocks256Of1000",
                 1000,
                 u"sha256",
                 0,
                 0,
                 256,
                 "sha256",
                 {{0, 256}, {256, 256}, {512, 256}, {768, 232}}},
        HashCase{"StartBeyondEnd", 1000, u"sha256", 2000, 0, 256, "sha256", {}},
        HashCase{"StartAtEnd", 1000, u"md5", 1000, 0, 0, "md5", {}},
        HashCase{"RangeEndsInsideBlock",
                 1000,
                 u"sha1",
                 100,
                 600,
                 256,
                 "sha1",
                 {{100, 256}, {356, 256}, {612, 88}}},
        HashCase{"LengthBeyondEnd", 1000, u"md5", 900, 500, 0, "md5", {{900, 100}}},
        HashCase{"BlocksAcrossReads",
                 300 * 1024 + 17,
                 u"sha512",
                 5,
                 0,
                 100000,
                 "sha512",
                 {{5, 100000}, {100005, 100000}, {200005, 100000}, {300005, 7212}}},
        HashCase{"BlockLargerThanRange", 5000, u"sha256", 0, 3000, 4096, "sha256", {{0, 3000}}},
        HashCase{"ProviderOrderDecides", 1000, u"md5,sha1", 0, 0, 0, "sha1", {{0, 1000}}},
        HashCase{
            "ProviderOrderOverClientOrder", 1000, u"sha512,SHA256", 0, 0, 0, "sha256", {{0, 1000}}},
        HashCase{"NamesCompareWithoutCase", 1000, u"nope,MD5", 0, 0, 0, "md5", {{0, 1000}}},
        // An empty range has no block that holds bytes.
        HashCase{"EmptyFile", 0, u"sha256", 0, 0, 0, "sha256", {}}),
    [](const testing::TestParamInfo<HashCase>& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    std::u16string sfsPath;  // below a root holding the file f and the directory d
    std::u16string algorithms;
    uint32_t blockSize;
    SfsStatusCode code;
    std::u16string message;  // empty: the code's standard text
    std::u16string log;      // "<win>" stands for the Windows path of the request
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class CheckFileRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(CheckFileRefusals, AnswerTheirStatusAndLogTheReason) {
    const RefusalCase& c = GetParam();
    RootedProvider provider;
    WriteBytes(provider.Linux("f"), PatternBytes(1000));
    ASSERT_TRUE(std::filesystem::create_directory(provider.Linux("d")));

    auto response = provider.Ask(SfsRequest::CheckFileName,
                                 CheckByName(c.sfsPath, c.algorithms, 0, 0, c.blockSize));
    auto status = StatusOf(response);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->m_statusCode, c.code);
    if (!c.message.empty()) {
        EXPECT_EQ(S(status->m_errorMessage), c.message);
    } else {
        EXPECT_EQ(S(status->m_errorMessage), S(StandardStatusText(c.code)));
    }
    std::u16string log = c.log;
    size_t at = log.find(u"<win>");
    if (at != std::u16string::npos) log.replace(at, 5, provider.Win(c.sfsPath.substr(1)));
    EXPECT_EQ(provider.LastLogType(), SfsLogType::Error);
    EXPECT_EQ(kiln::test::BeforeErrorText(provider.LastLog()), kiln::test::BeforeErrorText(log));
    if (log.find(u"Windows error 2: ") != std::u16string::npos) {
        KILN_SKIP_UNDER_WINE(
            "its message for error 2 reads \"File not found.\", Windows' reads "
            "\"The system cannot find the file specified.\"");
    }
    EXPECT_EQ(provider.LastLog(), log);
}

const std::u16string kSupported = u"sha256,sha512,sha384,sha224,sha1,md5,crc32";

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckFileRefusals,
    testing::Values(
        RefusalCase{"BlockSize255", u"/f", u"sha256", 255, SfsStatusCode::InvalidParameter,
                    u"Block size must be least 256 bytes in size.",
                    u"KilnSfsWin: Hashing file '<win>' failed with InvalidParameter. Block size "
                    u"must be least 256 bytes in size."},
        RefusalCase{"BlockSize1", u"/f", u"sha256", 1, SfsStatusCode::InvalidParameter,
                    u"Block size must be least 256 bytes in size.",
                    u"KilnSfsWin: Hashing file '<win>' failed with InvalidParameter. Block size "
                    u"must be least 256 bytes in size."},
        RefusalCase{
            "UnsupportedList", u"/f", u"sha3-256,blake2", 0, SfsStatusCode::InvalidParameter,
            u"Unsupported hash algorithm proposed. Supported hash algorithms: " + kSupported,
            u"KilnSfsWin: Hashing file '<win>' failed with InvalidParameter. Unsupported "
            u"hash algorithm proposed. Supported hash algorithms: " +
                kSupported},
        RefusalCase{
            "EmptyList", u"/f", u"", 0, SfsStatusCode::InvalidParameter,
            u"Unsupported hash algorithm proposed. Supported hash algorithms: " + kSupported,
            u"KilnSfsWin: Hashing file '<win>' failed with InvalidParameter. Unsupported "
            u"hash algorithm proposed. Supported hash algorithms: " +
                kSupported},
        // A name only matches whole: no prefix, no blanks.
        RefusalCase{
            "PartialNames", u"/f", u"sha, md5,sha2566", 0, SfsStatusCode::InvalidParameter,
            u"Unsupported hash algorithm proposed. Supported hash algorithms: " + kSupported,
            u"KilnSfsWin: Hashing file '<win>' failed with InvalidParameter. Unsupported "
            u"hash algorithm proposed. Supported hash algorithms: " +
                kSupported},
        RefusalCase{"Directory", u"/d", u"sha256", 0, SfsStatusCode::FileIsADirectory, u"",
                    u"KilnSfsWin: Hashing file failed with FileIsADirectory."},
        // The directory is refused before the block size is looked at.
        RefusalCase{"DirectoryBeforeBlockSize", u"/d", u"sha256", 3,
                    SfsStatusCode::FileIsADirectory, u"",
                    u"KilnSfsWin: Hashing file failed with FileIsADirectory."},
        RefusalCase{"MissingFile", u"/missing", u"sha256", 0, SfsStatusCode::NoSuchFile, u"",
                    u"KilnSfsWin: Hashing file '<win>' failed with NoSuchFile. CreateFile() "
                    u"failed: Windows error 2: The system cannot find the file specified."}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// Nothing outside the root is hashed, nor even told apart from a missing
// file: a link that leads out, to a file or to a directory, and a path that
// climbs.
TEST(CheckFileConfinement, RevealsNothingOutsideTheRoot) {
    TempRoot outside;
    WriteBytes(outside.LinuxPath() + "/secret", PatternBytes(1000, 7));
    RootedProvider provider;
    ASSERT_NO_FATAL_FAILURE(
        MakeDiskLink(outside.LinuxPath() + "/secret", provider.Linux("to-file")));
    ASSERT_NO_FATAL_FAILURE(MakeDiskLink(outside.LinuxPath(), provider.Linux("to-dir")));
    ASSERT_NO_FATAL_FAILURE(
        MakeDiskLink("../../../../../../../../../../../../../../../../etc/hostname",
                     provider.Linux("relative")));

    const struct {
        std::u16string path;
        SfsStatusCode code;
    } cases[] = {
        {u"/to-file", SfsStatusCode::NoSuchFile},
        {u"/to-dir", SfsStatusCode::NoSuchFile},
#ifdef _WIN32
        // Windows' check finds a link that leads out, wherever: a missing file.
        {u"/relative", SfsStatusCode::NoSuchFile},
#else
        // Climbing above the root fails as a path that is not there.
        {u"/relative", SfsStatusCode::NoSuchPath},
#endif
        {u"/../" + std::u16string(outside.WinPath().substr(outside.WinPath().rfind(u'\\') + 1)) +
             u"/secret",
         SfsStatusCode::NoSuchPath},
        {u"/to-dir/secret", SfsStatusCode::NoSuchPath},
    };
    for (const auto& c : cases) {
        auto status = StatusOf(
            provider.Ask(SfsRequest::CheckFileName, CheckByName(c.path, u"sha256", 0, 0, 0)));
        ASSERT_TRUE(status) << Narrow(c.path);
        // The same answer as for a name that does not exist.
        EXPECT_EQ(status->m_statusCode, c.code) << Narrow(c.path);
        EXPECT_EQ(provider.LastLogType(), SfsLogType::Error) << Narrow(c.path);
    }
}

#ifndef _WIN32  // completions made to wait are a switch of the Linux platform layer
// The pending path of the overlapped read gives the same digests.
TEST(CheckFilePending, DigestsAreTheSameWhenReadsCompleteLater) {
    RootedProvider provider;
    const std::string bytes = PatternBytes(200 * 1024 + 3);
    WriteBytes(provider.Linux("f"), bytes);
    platform::SetOverlappedPendingForTests(true);
    auto response =
        provider.Ask(SfsRequest::CheckFileName, CheckByName(u"/f", u"md5", 1, 0, 65536));
    platform::SetOverlappedPendingForTests(false);
    ASSERT_TRUE(response);
    ASSERT_EQ(response->m_type, SfsResponse::CheckFileReply) << Narrow(provider.LastLog());
    auto reply = QuantumCast<QtSfsCheckFileReply>(response->m_content);
    std::vector<std::string> expected;
    for (size_t offset = 1; offset < bytes.size(); offset += 65536)
        expected.push_back(ToolDigest("md5", bytes.substr(offset, 65536)));
    EXPECT_EQ(Digests(*reply), expected);
}
#endif

// ---- By handle ----------------------------------------------------------------

// Puts a file into the provider's table as Open would leave it: a handle
// opened for overlapped reading. The provider is idle between requests, and
// the next request reaches it through the hub, after this.
RefPtr<QtBytes> AddOpenFile(RootedProvider& provider, const std::u16string& name) {
    KilnSfsWin& backend = provider.Run().Provider();
    RefPtr<QtBytes> handle = backend.NextHandle();
    const std::u16string win = provider.Win(name);
    auto file = std::make_unique<FsFile>(MakeStr(u"/" + name), MakeStr(win), handle, nullptr);
    file->m_file =
        CreateFileW((u"\\\\?\\" + win).c_str(), FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(file->m_file, INVALID_HANDLE_VALUE);
    file->m_accessMask = FILE_READ_DATA | FILE_READ_ATTRIBUTES;
    backend.Handles().Add(std::move(file));
    return handle;
}

RefPtr<QtSfsCheckFileHandle> CheckByHandle(const RefPtr<QtBytes>& handle,
                                           std::u16string_view algorithms, uint64_t startOffset,
                                           uint64_t length, uint32_t blockSize) {
    auto content = MakeRef<QtSfsCheckFileHandle>();
    content->m_handle = handle;
    content->m_hashAlgList = MakeStr(algorithms);
    content->m_startOffset = startOffset;
    content->m_length = length;
    content->m_blockSize = blockSize;
    return content;
}

TEST(CheckFileByHandle, HashesTheOpenFileAndKeepsItOpen) {
    RootedProvider provider;
    const std::string bytes = PatternBytes(1000);
    WriteBytes(provider.Linux("f"), bytes);
    RefPtr<QtBytes> handle = AddOpenFile(provider, u"f");

    const std::vector<std::string> expected = {
        ToolDigest("sha256", bytes.substr(0, 256)), ToolDigest("sha256", bytes.substr(256, 256)),
        ToolDigest("sha256", bytes.substr(512, 256)), ToolDigest("sha256", bytes.substr(768))};
    for (int round = 0; round < 2; ++round) {
        auto response = provider.Ask(SfsRequest::CheckFileHandle,
                                     CheckByHandle(handle, u"sha256,md5", 0, 0, 256));
        ASSERT_TRUE(response);
        ASSERT_EQ(response->m_type, SfsResponse::CheckFileReply) << Narrow(provider.LastLog());
        auto reply = QuantumCast<QtSfsCheckFileReply>(response->m_content);
        EXPECT_EQ(S(reply->m_hashAlgUsed), u"sha256");
        EXPECT_EQ(Digests(*reply), expected) << "round " << round;
        EXPECT_EQ(provider.LastLog(), u"KilnSfsWin: Hashed file '" + provider.Win(u"f") + u"'.");
    }
    EXPECT_EQ(provider.Run().Provider().Handles().Size(), 1u);

    auto status = StatusOf(
        provider.Ask(SfsRequest::CheckFileHandle, CheckByHandle(handle, u"sha256", 0, 0, 255)));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->m_statusCode, SfsStatusCode::InvalidParameter);
    EXPECT_EQ(provider.LastLog(), u"KilnSfsWin: Hashing file '" + provider.Win(u"f") +
                                      u"' failed with InvalidParameter. Block size must be least "
                                      u"256 bytes in size.");
}

TEST(CheckFileByHandle, HandlesThatNameNoFileAreInvalid) {
    RootedProvider provider;
    KilnSfsWin& backend = provider.Run().Provider();
    RefPtr<QtBytes> dirHandle = backend.NextHandle();
    backend.Handles().Add(
        std::make_unique<FsDir>(MakeStr(u"/"), MakeStr(provider.Win(u"")), dirHandle, nullptr));
    auto unknown = MakeRef<QtBytes>(reinterpret_cast<const uint8_t*>("\x42\x42"), 2);

    for (const RefPtr<QtBytes>& handle : {dirHandle, unknown}) {
        auto status = StatusOf(
            provider.Ask(SfsRequest::CheckFileHandle, CheckByHandle(handle, u"sha256", 0, 0, 0)));
        ASSERT_TRUE(status);
        EXPECT_EQ(status->m_statusCode, SfsStatusCode::InvalidHandle);
        EXPECT_EQ(provider.LastLog(), u"KilnSfsWin: Hashing file failed with InvalidHandle.");
        EXPECT_EQ(provider.LastLogType(), SfsLogType::Error);
    }
}

// A handle opened without read access: the read fails and the failure is
// mapped, logged with the call that failed.
TEST(CheckFileByHandle, ReadFailureIsMapped) {
    RootedProvider provider;
    WriteBytes(provider.Linux("f"), PatternBytes(100));
    KilnSfsWin& backend = provider.Run().Provider();
    RefPtr<QtBytes> handle = backend.NextHandle();
    auto file =
        std::make_unique<FsFile>(MakeStr(u"/f"), MakeStr(provider.Win(u"f")), handle, nullptr);
    file->m_file =
        CreateFileW((u"\\\\?\\" + provider.Win(u"f")).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file->m_file, INVALID_HANDLE_VALUE);
    backend.Handles().Add(std::move(file));

    auto status = StatusOf(
        provider.Ask(SfsRequest::CheckFileHandle, CheckByHandle(handle, u"sha256", 0, 0, 0)));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->m_statusCode, SfsStatusCode::PermissionDenied);
    KILN_SKIP_UNDER_WINE(
        "its message for error 5 reads \"Access denied.\", Windows' reads \"Access is denied.\"");
    EXPECT_EQ(provider.LastLog(), u"KilnSfsWin: Hashing file '" + provider.Win(u"f") +
                                      u"' failed with PermissionDenied. ReadFile() failed: "
                                      u"Windows error 5: Access is denied.");
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
