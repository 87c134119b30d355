// Start-up of the backend: parameters, switches, and every way it refuses to
// start.
#include "nocrtlib/dll_loader.h"
#ifndef _WIN32
#include "platform/config_system.h"
#endif
#include "dirops_support.h"
#include "sfswin_test_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

struct RefusalCase {
    const char* name;
    Params params;
    bool withLog;
    ErrCls cls;
    std::u16string text;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class InitRefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(InitRefusalTest, StopsTheProviderWithoutAnAnswer) {
    const RefusalCase& c = GetParam();
    ProviderRun run;
    run.Init(c.params, c.withLog);
    RunOutcome outcome = run.Finish();
    ASSERT_EQ(outcome.kind, RunOutcome::Kind::Exit);
    EXPECT_EQ(outcome.cls, c.cls);
    EXPECT_EQ(S(outcome.text), c.text);
    EXPECT_TRUE(run.Host().Received<QtSfsResponse>().empty());
}

const std::u16string kMissingMountPath =
    u"KilnSfsProvider: missing 'MountPath' initialization parameter";
const std::u16string kInvalidRoot = u"KilnSfsWin: Initialization failed: Invalid root path";

INSTANTIATE_TEST_SUITE_P(
    Cases, InitRefusalTest,
    testing::Values(
        RefusalCase{"NoMountPath", {}, true, ErrCls::Sfs, kMissingMountPath},
        RefusalCase{"EmptyMountPath", {{u"MountPath", u""}}, true, ErrCls::Sfs, kMissingMountPath},
        RefusalCase{
            "MountPathInOtherCase", {{u"mountpath", u"/"}}, true, ErrCls::Sfs, kMissingMountPath},
        RefusalCase{"NoLogPort",
                    {{u"MountPath", u"/"}},
                    false,
                    ErrCls::Sfs,
                    u"KilnSfsWin: Missing log port in initialization packet"},
        RefusalCase{"RelativeRoot",
                    {{u"MountPath", u"/"}, {u"RootPath", u"data"}},
                    true,
                    ErrCls::Sfs,
                    kInvalidRoot},
        RefusalCase{"RootWithBadCharacter",
                    {{u"MountPath", u"/"}, {u"RootPath", u"C:\\da|ta"}},
                    true,
                    ErrCls::Sfs,
                    kInvalidRoot},
        RefusalCase{"RootWithDotDot",
                    {{u"MountPath", u"/"}, {u"RootPath", u"C:\\tmp\\..\\etc"}},
                    true,
                    ErrCls::Sfs,
                    kInvalidRoot},
        // Well formed but absent: the platform cannot confine to it.
        RefusalCase{"MissingRootDirectory",
                    {{u"MountPath", u"/"}, {u"RootPath", u"C:\\no-such-kiln-root\\x"}},
                    true,
                    ErrCls::Win,
                    kInvalidRoot}));

TEST(Init, RefusalCodes) {
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}, {u"RootPath", u"data"}});
    RunOutcome outcome = run.Finish();
    EXPECT_EQ(outcome.code, 1u);
}

TEST(Init, EndOfInputBeforeInitialisationEndsQuietly) {
    ProviderRun run;
    run.Host().Send(MakeRef<QtEof>());
    RunOutcome outcome = run.Finish();
    EXPECT_EQ(outcome.kind, RunOutcome::Kind::Returned);
    EXPECT_TRUE(run.Host().Received().empty());
}

TEST(Init, LogsTheParametersAtTrace) {
    ProviderRun run;
    RefPtr<QtSfsInit> init = run.MakeInit({{u"MountPath", u"/home"}, {u"FileShare", u"No"}});
    run.Host().Send(init);
    run.Sync();
    std::vector<RefPtr<QtSfsLog>> logs = run.Logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]->m_type, SfsLogType::Trace);
    EXPECT_EQ(logs[0]->m_code, SfsLogCode::Init);
    EXPECT_EQ(S(logs[0]->m_message),
              u"KilnSfsWin: Initializing provider with the following parameters:\n" +
                  S(init->m_root->Dump(DumpOptions{0, 2, true})));
    EXPECT_NE(S(logs[0]->m_message).find(u"FileShare"), std::u16string::npos);
}

struct SwitchCase {
    const char* name;
    Params extra;
    bool posixPermissions, ownerGroup, fileShare, showHidden;
};

void PrintTo(const SwitchCase& c, std::ostream* os) {
    *os << c.name;
}

class SwitchTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchTest, ReadsTheSwitches) {
    const SwitchCase& c = GetParam();
    Params params{{u"MountPath", u"/"}};
    params.insert(params.end(), c.extra.begin(), c.extra.end());
    ProviderRun run;
    run.Init(params);
    run.Sync();
    EXPECT_EQ(run.Provider().PosixPermissions(), c.posixPermissions);
    EXPECT_EQ(run.Provider().OwnerGroup(), c.ownerGroup);
    EXPECT_EQ(run.Provider().FileShare(), c.fileShare);
    EXPECT_EQ(run.Provider().ShowHidden(), c.showHidden);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SwitchTest,
    testing::Values(
        SwitchCase{"Absent", {}, false, true, true, true},
        SwitchCase{"OwnerGroupDisabled", {{u"OwnerGroup", u"Disabled"}}, false, false, true, true},
        SwitchCase{"PosixPermissionsYes", {{u"PosixPermissions", u"Yes"}}, true, true, true, true},
        SwitchCase{"OffWordsInAnyCase",
                   {{u"PosixPermissions", u"FALSE"},
                    {u"OwnerGroup", u"no"},
                    {u"FileShare", u"iGnOrE"},
                    {u"ShowHidden", u"Unavailable"}},
                   false,
                   false,
                   false,
                   false},
        // Anything that is not an off word is on, the empty value included.
        SwitchCase{"OtherWordsAreOn",
                   {{u"PosixPermissions", u""},
                    {u"OwnerGroup", u"0"},
                    {u"FileShare", u"Off"},
                    {u"ShowHidden", u"Disable "}},
                   true,
                   true,
                   true,
                   true},
        SwitchCase{"NamesAreCaseSensitive",
                   {{u"posixpermissions", u"Yes"}, {u"SHOWHIDDEN", u"No"}},
                   false,
                   true,
                   true,
                   true}));

TEST(Init, AcceptsAnExistingRoot) {
    TempRoot root;
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}, {u"RootPath", root.WinPath()}});
    run.Sync();
    EXPECT_FALSE(run.Host().Finished());
    EXPECT_EQ(std::u16string(run.Provider().RootPath()), root.WinPath());
}

TEST(ProviderInfo, DescribesTheBackend) {
    KilnSfsWin provider;
    RefPtr<QtSfsProviderInfo> info = provider.GetProviderInfo();
    ASSERT_TRUE(info && info->m_vendorInfo);
    EXPECT_EQ(S(info->m_vendorInfo->m_productName), u"KilnSfsWin");
    EXPECT_EQ(S(info->m_vendorInfo->m_productVersion), u"5.23");
    EXPECT_EQ(info->m_vendorInfo->m_productBuildNumber, 0u);
    EXPECT_EQ(info->m_maxReadSize, 0x400000u);
    EXPECT_EQ(info->m_supportedAttrFields, 0x2BFDu);
    EXPECT_EQ(info->m_supportedAttrBits, 0xFFu);
    EXPECT_EQ(info->m_supportedOpenFlags, 0xBFEFu);
    EXPECT_EQ(info->m_supportedAccessMask, 0u);
    EXPECT_EQ(info->m_supportedOpenBlockVector, 0x00FF);
    EXPECT_EQ(info->m_supportedBlockVector, 0x000C);
    // Built afresh on every call.
    EXPECT_NE(provider.GetProviderInfo().get(), info.get());
}

TEST(Module, CreatesAProvider) {
    KilnSfsProvider* provider = CreateSfsProvider();
    ASSERT_NE(provider, nullptr);
    EXPECT_NE(dynamic_cast<KilnSfsWin*>(provider), nullptr);
    delete provider;
}

#ifndef _WIN32  // the reported version is a switch of the Linux layer
// The module's start reads the Windows version and decides its gates then:
// a version reported later does not change them.
TEST(Module, StartDecidesTheVersionGates) {
    ResetWindowsVersionRecord();
    {
        platform::ScopedReportedWindowsVersion old(platform::kWindows2000);
        KilnSfsProvider* provider = CreateSfsProvider();
        ASSERT_NE(provider, nullptr);
        delete provider;
    }
    EXPECT_FALSE(SymbolicLinkSupport());
    EXPECT_FALSE(sysentry::HasCreateSymbolicLink());
    ResetWindowsVersionRecord();
    StartSystemLibraries();
    EXPECT_TRUE(SymbolicLinkSupport());
}
#endif

}  // namespace
}  // namespace kiln::KilnSfsWin::test

namespace kiln::KilnSfsWin::test {
namespace {

// Encryption runs on a thread of its own while the provider waits on the
// hub; this platform has no encryption, so the thread's failure must come
// back as the call's SystemError.
TEST(WorkerThread, ReportsTheThreadsFailure) {
#ifdef _WIN32
    GTEST_SKIP() << "Linux mapping: this platform has no encryption (ERROR_NOT_SUPPORTED)";
#endif
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    run.Sync();
    for (bool encrypt : {true, false}) {
        try {
            run.Provider().RunEncryption(u"C:\\tmp", encrypt);
            ADD_FAILURE() << "no failure reported";
        } catch (const SystemError& error) {
            EXPECT_EQ(S(error.CallName()), encrypt ? u"EncryptFile()" : u"DecryptFile()");
            EXPECT_EQ(error.Code(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        }
    }
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test

#ifdef _WIN32
namespace kiln::KilnSfsWin::test {
namespace {

// The other tests link the module's static twin; this one loads the shipped
// KilnSfsWin.dll from the program's directory, as a host does, and has the
// provider its one export makes serve a request.
class ShippedModuleTest : public DirOpsTest {};

TEST_F(ShippedModuleTest, ServesThroughItsExport) {
    char16_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::u16string dll =
        std::filesystem::path(std::u16string(self, length)).parent_path().u16string() +
        u"\\KilnSfsWin.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr) << "error " << GetLastError();
    m_create = reinterpret_cast<KilnSfsProvider* (*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "CreateSfsProvider")));
    ASSERT_NE(m_create, nullptr);

    Start();
    Reply reply = MkDir(u"/made");
    EXPECT_TRUE(reply.IsStatus());
    EXPECT_EQ(reply.Status(), SfsStatusCode::Ok) << N(reply.StatusText());
    EXPECT_TRUE(std::filesystem::is_directory(Disk("made")));
    m_run.reset();
    FreeLibrary(module);
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
#endif
