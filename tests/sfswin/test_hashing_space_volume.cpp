// SpaceAvail against statvfs, its refusals, the fallback for systems without
// GetVolumePathNameW; and hashing without the cryptographic provider library.
#ifndef _WIN32
#include <dlfcn.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>

#include "hashing_space_support.h"
#include "nocrtlib/dll_loader.h"
#include "platform/config_system.h"

namespace kiln::KilnSfsWin::test {
namespace {

RefPtr<QtSfsSpaceAvail> SpaceOf(std::u16string_view sfsPath) {
    auto content = MakeRef<QtSfsSpaceAvail>();
    content->m_path = MakeStr(sfsPath);
    return content;
}

// Free space moves while other programs write; the sizes do not.
constexpr uint64_t kFreeSlack = uint64_t{512} << 20;

// The volume as the system reports it beside the provider: statvfs on
// Linux, GetDiskFreeSpaceExW on Windows (which gives no allocation unit).
void ExpectMatchesStatvfs(const QtSfsSpaceAvailReply& reply, const std::string& path) {
#ifdef _WIN32
    ULARGE_INTEGER avail{}, total{}, unused{};
    const std::u16string wide = std::filesystem::path(path).u16string();
    ASSERT_TRUE(::GetDiskFreeSpaceExW(platform::win::W(wide.c_str()), &avail, &total, &unused))
        << path;
    const uint64_t unit = reply.m_bytesPerAllocationUnit;
    ASSERT_NE(unit, 0u);
    EXPECT_EQ(reply.m_bytesOnDevice % unit, 0u);
    const uint64_t blocks = total.QuadPart, unusedBytes = unused.QuadPart, mine = avail.QuadPart;
#else
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(path.c_str(), &vfs), 0) << path;
    const uint64_t unit = vfs.f_frsize;
    EXPECT_EQ(reply.m_bytesPerAllocationUnit, unit);
    const uint64_t blocks = vfs.f_blocks * unit, unusedBytes = vfs.f_bfree * unit,
                   mine = vfs.f_bavail * unit;
#endif
    EXPECT_EQ(reply.m_bytesOnDevice, blocks);
    EXPECT_EQ(reply.m_bytesAvailableToUser, 0u);
    const auto within = [](uint64_t a, uint64_t b) {
        return (a > b ? a - b : b - a) <= kFreeSlack;
    };
    EXPECT_TRUE(within(reply.m_unusedBytesOnDevice, unusedBytes))
        << reply.m_unusedBytesOnDevice << " vs " << unusedBytes;
    EXPECT_TRUE(within(reply.m_unusedBytesAvailableToUser, mine))
        << reply.m_unusedBytesAvailableToUser << " vs " << mine;
    EXPECT_LE(reply.m_unusedBytesAvailableToUser, reply.m_bytesOnDevice);
}

RefPtr<QtSfsSpaceAvailReply> ReplyOf(const RefPtr<QtSfsResponse>& response) {
    if (!response || response->m_type != SfsResponse::SpaceAvailReply) return nullptr;
    return QuantumCast<QtSfsSpaceAvailReply>(response->m_content);
}

TEST(SpaceAvail, AnswersTheVolumeOfThePath) {
    RootedProvider provider;
    ASSERT_TRUE(std::filesystem::create_directory(provider.Linux("sub")));
    WriteBytes(provider.Linux("sub/f"), "x");
    for (std::u16string path : {u"/", u"/sub", u"/sub/f"}) {
        auto reply = ReplyOf(provider.Ask(SfsRequest::SpaceAvail, SpaceOf(path)));
        ASSERT_TRUE(reply) << Narrow(path) << ": " << Narrow(provider.LastLog());
        ExpectMatchesStatvfs(*reply, provider.Linux(""));
        const std::u16string win = path == u"/"
                                       ? provider.Win(u"").substr(0, provider.Win(u"").size() - 1)
                                       : provider.Win(path.substr(1));
        std::u16string winPath = win;
        for (char16_t& c : winPath)
            if (c == u'/') c = u'\\';
        EXPECT_EQ(provider.LastLog(), u"KilnSfsWin: Queried available space on " + winPath + u"'.");
        EXPECT_EQ(provider.LastLogType(), SfsLogType::Info);
    }
}

#ifndef _WIN32  // mount points and /dev/shm of Linux
// A root that is a mount point itself: its volume root is the root plus a
// backslash, one character longer than the path that was asked about.
TEST(SpaceAvail, RootThatIsAMountPoint) {
    struct stat shm {
    }, dev{};
    if (stat("/dev/shm", &shm) != 0 || stat("/dev", &dev) != 0 || shm.st_dev == dev.st_dev)
        GTEST_SKIP() << "/dev/shm is not a mount point here";
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}, {u"RootPath", u"C:\\dev\\shm"}});
    auto response = run.Ask(run.MakeRequest(SfsRequest::SpaceAvail, SpaceOf(u"/")));
    auto reply = ReplyOf(response);
    ASSERT_TRUE(reply) << Narrow(S(run.Logs().back()->m_message));
    ExpectMatchesStatvfs(*reply, "/dev/shm");
    EXPECT_EQ(S(run.Logs().back()->m_message),
              u"KilnSfsWin: Queried available space on C:\\dev\\shm'.");
    run.Host().Send(MakeRef<QtEof>());
    run.Finish();
}
#endif

TEST(SpaceAvail, DriveListIsRefused) {
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    auto status = StatusOf(run.Ask(run.MakeRequest(SfsRequest::SpaceAvail, SpaceOf(u"/"))));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->m_statusCode, SfsStatusCode::Failure);
    EXPECT_EQ(S(status->m_errorMessage), u"Operation is not supported on this particular path.");
    EXPECT_EQ(S(run.Logs().back()->m_message),
              u"KilnSfsWin: Querying available space on logical drives' failed. Operation is not "
              u"supported for logical drives.");
    EXPECT_EQ(run.Logs().back()->m_type, SfsLogType::Error);

    // A drive and a share with the empty root: the drive answers, the share
    // (none is configured) fails in GetVolumePathNameW.
#ifdef _WIN32
    const char16_t* drivePath = u"/C/windows";
    const char* diskPath = "C:\\windows";
#else
    const char16_t* drivePath = u"/C/tmp";
    const char* diskPath = "/tmp";
#endif
    auto reply = ReplyOf(run.Ask(run.MakeRequest(SfsRequest::SpaceAvail, SpaceOf(drivePath))));
    ASSERT_TRUE(reply) << Narrow(S(run.Logs().back()->m_message));
    ExpectMatchesStatvfs(*reply, diskPath);
    status = StatusOf(run.Ask(run.MakeRequest(SfsRequest::SpaceAvail, SpaceOf(u"/srv/share/x"))));
    ASSERT_TRUE(status);
    const std::u16string log = S(run.Logs().back()->m_message);
    EXPECT_EQ(log.rfind(u"KilnSfsWin: Querying available space on \\\\srv\\share\\x' failed", 0),
              0u)
        << Narrow(log);
    EXPECT_NE(log.find(u". GetVolumePathName() failed: Windows error "), std::u16string::npos)
        << Narrow(log);
    run.Host().Send(MakeRef<QtEof>());
    run.Finish();
}

#ifndef _WIN32  // the reported version is a switch of the Linux layer
// Below the version that has GetVolumePathNameW: drive paths use their
// first three characters, shares are refused.
TEST(SpaceAvail, FallbackWithoutVolumePathName) {
    platform::ScopedReportedWindowsVersion old({4, 0, 1381});
    ResetWindowsVersionRecord();
    ASSERT_FALSE(sysentry::HasGetVolumePathName());
    {
        ProviderRun run;
        run.Init({{u"MountPath", u"/"}});
        auto reply = ReplyOf(run.Ask(run.MakeRequest(SfsRequest::SpaceAvail, SpaceOf(u"/C/tmp"))));
        ASSERT_TRUE(reply) << Narrow(S(run.Logs().back()->m_message));
        ExpectMatchesStatvfs(*reply, "/");

        auto status =
            StatusOf(run.Ask(run.MakeRequest(SfsRequest::SpaceAvail, SpaceOf(u"/srv/share/x"))));
        ASSERT_TRUE(status);
        EXPECT_EQ(status->m_statusCode, SfsStatusCode::NoSuchPath);
        EXPECT_EQ(S(run.Logs().back()->m_message),
                  u"KilnSfsWin: Querying available space on \\\\srv\\share\\x' failed with "
                  u"NoSuchPath. Path is invalid.");
        run.Host().Send(MakeRef<QtEof>());
        run.Finish();
    }
    ResetWindowsVersionRecord();
}
#endif

TEST(SpaceAvail, PathsOutsideTheRootAreNoSuchPath) {
    RootedProvider provider;
    auto status = StatusOf(provider.Ask(SfsRequest::SpaceAvail, SpaceOf(u"/../x")));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->m_statusCode, SfsStatusCode::NoSuchPath);
}

// Below a missing directory nothing has a volume of its own: the answer is
// that it is missing, not the free space of some ancestor. (A missing name in
// a directory that exists is answered for the volume, where an upload goes.)
TEST(SpaceAvail, MissingDirectoriesAreAnsweredAsMissing) {
    RootedProvider provider;
    struct Case {
        std::u16string path;
        SfsStatusCode code;
        std::u16string suffix;
    } cases[] = {{u"missing/below", SfsStatusCode::NoSuchPath, u"' failed with NoSuchPath. "}};
    for (const Case& c : cases) {
        auto status = StatusOf(provider.Ask(SfsRequest::SpaceAvail, SpaceOf(u"/" + c.path)));
        ASSERT_TRUE(status) << Narrow(c.path);
        EXPECT_EQ(status->m_statusCode, c.code);
        std::u16string win = c.path;
        for (char16_t& ch : win)
            if (ch == u'/') ch = u'\\';
        EXPECT_EQ(
            provider.LastLog().rfind(u"KilnSfsWin: Querying available space on " +
                                         provider.Win(win) + c.suffix + u"GetFileAttributes()",
                                     0),
            0u)
            << Narrow(provider.LastLog());
    }
}

#ifndef _WIN32  // a mount namespace hides the library
// ---- Without the cryptographic provider ---------------------------------------

// The scenario runs in a fresh process (this program again, only this test)
// in a mount namespace of its own, where the provider library is covered by
// an empty file: the library of this build stays in place for every other
// test running meanwhile, and no earlier load in this process can hide the
// failure.
constexpr char kNoProviderEnv[] = "KILN_TEST_WITHOUT_ZUPROV";

std::string ProviderLibraryPath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&LoadLibraryExW), &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    return path.substr(0, path.rfind('/') + 1) + "libZuProv.so";
}

void ScenarioWithoutProvider() {
    RootedProvider provider;
    const std::string bytes = PatternBytes(1000);
    WriteBytes(provider.Linux("f"), bytes);

    for (int attempt = 0; attempt < 2; ++attempt) {
        auto status = StatusOf(
            provider.Ask(SfsRequest::CheckFileName, CheckByName(u"/f", u"sha256", 0, 0, 0)));
        ASSERT_TRUE(status);
        EXPECT_EQ(status->m_statusCode, SfsStatusCode::Failure);
        EXPECT_EQ(S(status->m_errorMessage),
                  u"Failed to load cryptographic provider 'ZuProv.dll'.");
        EXPECT_EQ(provider.LastLog(), u"KilnSfsWin: Hashing file '" + provider.Win(u"f") +
                                          u"' failed. Failed to load cryptographic provider "
                                          u"'ZuProv.dll'.");
        EXPECT_EQ(provider.LastLogType(), SfsLogType::Error);
    }
    // Everything that does not hash goes on working.
    auto reply = ReplyOf(provider.Ask(SfsRequest::SpaceAvail, SpaceOf(u"/f")));
    EXPECT_TRUE(reply) << Narrow(provider.LastLog());
    // Parameter checks that come before the provider still answer as usual.
    auto status =
        StatusOf(provider.Ask(SfsRequest::CheckFileName, CheckByName(u"/f", u"sha256", 0, 0, 100)));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->m_statusCode, SfsStatusCode::InvalidParameter);
}

constexpr int kScenarioRan = 3;

void RunWithoutProvider() {
    ScenarioWithoutProvider();
    // Tells the parent that the scenario ran, not merely that nothing failed.
    std::exit(testing::Test::HasFailure() ? 1 : kScenarioRan);
}

TEST(CheckFileWithoutProvider, AnswersFailureWithTheLoadersMessage) {
    if (getenv(kNoProviderEnv) != nullptr) return RunWithoutProvider();

    const std::string library = ProviderLibraryPath();
    ASSERT_FALSE(library.empty());
    ASSERT_EQ(access(library.c_str(), R_OK), 0) << library << " is not built";
    const std::string filter =
        "--gtest_filter=CheckFileWithoutProvider.AnswersFailureWithTheLoadersMessage";
    constexpr int kNoNamespace = 77;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/dev/null", library.c_str(), nullptr, MS_BIND, nullptr) != 0)
            _exit(kNoNamespace);
        setenv(kNoProviderEnv, "1", 1);
        execl("/proc/self/exe", "/proc/self/exe", filter.c_str(), static_cast<char*>(nullptr));
        _exit(126);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kNoNamespace)
        GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(WEXITSTATUS(status), kScenarioRan)
        << "the scenario failed in the child; see its output";
}
#endif

}  // namespace
}  // namespace kiln::KilnSfsWin::test
