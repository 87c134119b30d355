// Open and Close on real files below a temporary root.
#ifndef _WIN32
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>

#include "file_ops_support.h"
#include "nocrtlib/security_privilege.h"
#include "support/wine.h"

namespace kiln::KilnSfsWin::test {
namespace {

namespace Open_ = SfsOpenFlags;

struct DispositionCase {
    const char* name;
    bool exists;
    uint32_t disposition;
    std::optional<SfsStatusCode> status;  // nullopt: a handle
    const char16_t* word;                 // "new" or "existing" when opened
    std::optional<std::string> content;   // on disk afterwards
};

class OpenDisposition : public FileOpsTest,
                        public ::testing::WithParamInterface<DispositionCase> {};

TEST_P(OpenDisposition, OpensCreatesOrRefusesAsWindowsDoes) {
    const DispositionCase& c = GetParam();
    if (c.exists) Put("/f", "old");
    Exchange opened = Open(u"/f", c.disposition);
    if (c.status) {
        EXPECT_EQ(opened.Status(), c.status);
        EXPECT_EQ(opened.LogType(), SfsLogType::Error);
        EXPECT_EQ(
            opened.Log().rfind(u"KilnSfsWin: Opening file '" + Win(u"/f") + u"' failed with ", 0),
            0u)
            << Narrow(opened.Log());
    } else {
        ASSERT_TRUE(opened.Handle()) << Narrow(opened.Log());
        EXPECT_EQ(opened.Log(), u"KilnSfsWin: Opened " + std::u16string(c.word) + u" file '" +
                                    Win(u"/f") + u"'.");
        EXPECT_EQ(opened.LogType(), SfsLogType::Info);
        Close(opened.Handle());
    }
    EXPECT_EQ(Get("/f"), c.content);
}

INSTANTIATE_TEST_SUITE_P(
    Dispositions, OpenDisposition,
    ::testing::Values(
        DispositionCase{"CreateNewMissing", false, Open_::CreateNew, {}, u"new", ""},
        DispositionCase{"CreateNewExisting", true, Open_::CreateNew,
                        SfsStatusCode::FileAlreadyExists, nullptr, "old"},
        DispositionCase{"CreateTruncateExisting", true, Open_::CreateTruncate, {}, u"new", ""},
        DispositionCase{"OpenExistingMissing", false, Open_::OpenExisting,
                        SfsStatusCode::NoSuchFile, nullptr, std::nullopt},
        DispositionCase{"OpenExistingExisting", true, Open_::OpenExisting, {}, u"existing", "old"},
        DispositionCase{"OpenOrCreateMissing", false, Open_::OpenOrCreate, {}, u"new", ""},
        DispositionCase{"OpenOrCreateExisting", true, Open_::OpenOrCreate, {}, u"existing", "old"},
        DispositionCase{
            "TruncateExistingExisting", true, Open_::TruncateExisting, {}, u"existing", ""},
        DispositionCase{"TruncateExistingMissing", false, Open_::TruncateExisting,
                        SfsStatusCode::NoSuchFile, nullptr, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// A record that sets the modification time and the given attribute bits.
RefPtr<QtSfsAttrs> TimeAndBits(uint64_t modifySeconds, uint32_t bits) {
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_validAttrFlags = SfsAttrFlags::ModifyTime;
    attrs->m_modifyTime = modifySeconds;
    if (bits != 0) {
        attrs->m_validAttrFlags |= SfsAttrFlags::Bits;
        attrs->m_attrBitsValid = bits;
        attrs->m_attrBits = bits;
    }
    return attrs;
}

DWORD WindowsAttributes(const std::u16string& path) {
    return GetFileAttributesW(path.c_str());
}

DiskFacts StatOf(const std::string& path) {
    std::optional<DiskFacts> facts = ReadDiskFacts(path);
    EXPECT_TRUE(facts) << path;
    return facts.value_or(DiskFacts{});
}

TEST_F(FileOpsTest, OpenOrCreateAppliesAttributesOnlyToANewFile) {
    constexpr uint64_t kWanted = 1'000'000'000;
    Put("/old", "x");
    const int64_t before = StatOf(Disk("/old")).modifySeconds;
    ASSERT_NE(before, static_cast<int64_t>(kWanted));

    Exchange existing =
        Open(u"/old", Open_::OpenOrCreate, kReadWrite, TimeAndBits(kWanted, SfsAttrBits::ReadOnly));
    ASSERT_TRUE(existing.Handle());
    EXPECT_EQ(existing.Log(), u"KilnSfsWin: Opened existing file '" + Win(u"/old") + u"'.");
    Close(existing.Handle());
    EXPECT_EQ(StatOf(Disk("/old")).modifySeconds, before);
    EXPECT_TRUE(StatOf(Disk("/old")).ownerMayWrite);

    Exchange created =
        Open(u"/new", Open_::OpenOrCreate, kReadWrite, TimeAndBits(kWanted, SfsAttrBits::ReadOnly));
    ASSERT_TRUE(created.Handle());
    EXPECT_EQ(created.Log(), u"KilnSfsWin: Opened new file '" + Win(u"/new") + u"'.");
    Close(created.Handle());
    EXPECT_EQ(StatOf(Disk("/new")).modifySeconds, static_cast<int64_t>(kWanted));
    EXPECT_FALSE(StatOf(Disk("/new")).ownerMayWrite) << "ReadOnly not applied";
}

TEST_F(FileOpsTest, CreateTruncateReappliesTimesAndBitsToAnExistingFile) {
    constexpr uint64_t kWanted = 1'200'000'000;
    Put("/f", "content");
    const uint32_t bits = SfsAttrBits::System | SfsAttrBits::Archive;
    ASSERT_EQ(WindowsAttributes(Win(u"/f")) & FILE_ATTRIBUTE_SYSTEM, 0u);
    Exchange opened = Open(u"/f", Open_::CreateTruncate, kReadWrite, TimeAndBits(kWanted, bits));
    ASSERT_TRUE(opened.Handle()) << Narrow(opened.Log());
    EXPECT_EQ(opened.Log(), u"KilnSfsWin: Opened new file '" + Win(u"/f") + u"'.");
    Close(opened.Handle());
    DiskFacts st = StatOf(Disk("/f"));
    EXPECT_EQ(st.size, 0u);
    EXPECT_EQ(st.modifySeconds, static_cast<int64_t>(kWanted));
    KILN_SKIP_UNDER_WINE(
        "CreateFileW with CREATE_ALWAYS gives a file that exists already none of "
        "the attributes asked for; Windows gives them");
    EXPECT_EQ(WindowsAttributes(Win(u"/f")) & (FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE),
              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
}

#ifndef _WIN32  // the Linux layer has no encryption; Windows file systems may
TEST_F(FileOpsTest, AttributesThatCannotBeAppliedMakeTheOpenPartial) {
    // Encryption does not exist here: the file is still created and opened.
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_validAttrFlags = SfsAttrFlags::Bits;
    attrs->m_attrBitsValid = SfsAttrBits::Encrypted;
    attrs->m_attrBits = SfsAttrBits::Encrypted;
    Exchange opened = Open(u"/enc", Open_::CreateNew, kReadWrite, attrs);
    ASSERT_TRUE(opened.Handle());
    ASSERT_EQ(opened.logs.size(), 2u);
    EXPECT_EQ(opened.logs[0]->m_type, SfsLogType::Warning);
    EXPECT_EQ(S(opened.logs[0]->m_message)
                  .rfind(u"KilnSfsWin: Enabling encryption for newly created file '" +
                             Win(u"/enc") + u"' failed. EncryptFile() failed: Windows error 50: ",
                         0),
              0u)
        << Narrow(S(opened.logs[0]->m_message));
    EXPECT_EQ(S(opened.logs[1]->m_message), u"KilnSfsWin: Opened new file '" + Win(u"/enc") +
                                                u"'. Unable to apply all attributes.");
    EXPECT_TRUE(Get("/enc"));
}
#endif

struct RefusedCase {
    const char* name;
    uint32_t flags;
    const char16_t* sentence;
};

class OpenRefusedFlag : public FileOpsTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(OpenRefusedFlag, AnswersFailureWithTheFlagsSentenceAndCreatesNothing) {
    Exchange opened = Open(u"/f", Open_::OpenOrCreate | GetParam().flags);
    EXPECT_EQ(opened.Status(), SfsStatusCode::Failure);
    EXPECT_EQ(opened.StatusText(), GetParam().sentence);
    EXPECT_EQ(opened.Log(),
              u"KilnSfsWin: Opening file '" + Win(u"/f") + u"' failed. " + GetParam().sentence);
    EXPECT_EQ(opened.LogType(), SfsLogType::Error);
    EXPECT_FALSE(Get("/f"));
}

INSTANTIATE_TEST_SUITE_P(Flags, OpenRefusedFlag,
                         ::testing::Values(RefusedCase{"BackupStream", Open_::BackupStream,
                                                       u"The BackupStream flag is not supported."},
                                           RefusedCase{"AppendAtomicAlone", Open_::AppendAtomic,
                                                       u"The AppendAtomic flag is not supported."},
                                           RefusedCase{"AppendAtomicWithBlockRead",
                                                       Open_::AppendAtomic | Open_::BlockRead,
                                                       u"The AppendAtomic flag is not supported."}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileOpsTest, AppendAtomicWithBlockWriteOpensInAppendMode) {
    Put("/log", "one ");
    RefPtr<QtBytes> handle =
        OpenOk(u"/log", Open_::OpenExisting | Open_::AppendAtomic | Open_::BlockWrite);
    Exchange written = Write(handle, 0, "two");
    EXPECT_EQ(written.Status(), SfsStatusCode::Ok);
    EXPECT_EQ(written.Log(), u"KilnSfsWin: Appended 3 bytes to file '" + Win(u"/log") + u"'.");
    Close(handle);
    EXPECT_EQ(Get("/log"), "one two");
}

TEST_F(FileOpsTest, SecondOpenFailsWithLockConflictWhenFileShareIsOff) {
    Start({{u"FileShare", u"No"}});
    Put("/f", "x");
    RefPtr<QtBytes> first = OpenOk(u"/f", Open_::OpenExisting, kReadWrite);
    Exchange second = Open(u"/f", Open_::OpenExisting, kRead);
    EXPECT_EQ(second.Status(), SfsStatusCode::LockConflict);
    EXPECT_EQ(second.Log().rfind(u"KilnSfsWin: Opening file '" + Win(u"/f") +
                                     u"' failed with LockConflict. CreateFile() failed: "
                                     u"Windows error 32: ",
                                 0),
              0u)
        << Narrow(second.Log());
    Close(first);
    EXPECT_TRUE(Open(u"/f", Open_::OpenExisting, kRead).Handle()) << "closing lifts the refusal";
}

TEST_F(FileOpsTest, BlockFlagsWithholdSharingWhenFileShareIsOn) {
    Put("/f", "x");
    RefPtr<QtBytes> reader = OpenOk(u"/f", Open_::OpenExisting, kRead);
    EXPECT_TRUE(Open(u"/f", Open_::OpenExisting, kRead).Handle()) << "readers share";
    RefPtr<QtBytes> blocker = OpenOk(u"/f", Open_::OpenExisting | Open_::BlockWrite, kReadWrite);
    EXPECT_EQ(Open(u"/f", Open_::OpenExisting, kReadWrite).Status(), SfsStatusCode::LockConflict);
    Close(blocker);
    EXPECT_TRUE(Open(u"/f", Open_::OpenExisting, kReadWrite).Handle());
    Close(reader);
}

TEST_F(FileOpsTest, DirectoryAnswersFileIsADirectoryBeforeAnyPrivilege) {
    std::filesystem::create_directory(Disk("/d"));
    const unsigned backupAttempts = BackupPrivilege().Attempts();
    const unsigned restoreAttempts = RestorePrivilege().Attempts();
    Exchange opened = Open(u"/d", Open_::OpenExisting | Open_::AccessBackup, kReadWrite);
    EXPECT_EQ(opened.Status(), SfsStatusCode::FileIsADirectory);
    EXPECT_EQ(opened.Log(),
              u"KilnSfsWin: Opening file '" + Win(u"/d") + u"' failed with FileIsADirectory.");
    EXPECT_EQ(BackupPrivilege().Attempts(), backupAttempts);
    EXPECT_EQ(RestorePrivilege().Attempts(), restoreAttempts);
}

TEST_F(FileOpsTest, BackupPrivilegeIsHeldWhileTheFileIsOpen) {
    Put("/f", "x");
    const unsigned before = BackupPrivilege().UseCount();
    RefPtr<QtBytes> handle = OpenOk(u"/f", Open_::OpenExisting | Open_::AccessBackup, kRead);
    EXPECT_EQ(BackupPrivilege().UseCount(), before + 1);
    Close(handle);
    EXPECT_EQ(BackupPrivilege().UseCount(), before);
}

#ifndef _WIN32  // drops to the Unix user nobody in a forked child
TEST_F(FileOpsTest, PrivilegesThatCannotBeEnabledAnswerPermissionDenied) {
    Put("/f", "x");
    ASSERT_EQ(::chmod(m_root.LinuxPath().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(Disk("/f").c_str(), 0666), 0);
    m_run.reset();  // no provider thread may run while forking
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(3);
        Start({});
        struct {
            uint32_t flags;
            uint32_t access;
            const char16_t* privilege;
        } const cases[] = {
            {Open_::AccessBackup, kRead, u"backup"},
            {Open_::AccessBackup, SfsAccessMask::WriteData, u"restore"},
            {Open_::AccessAuditAlarmInfo, kRead, u"security"},
            {Open_::OverrideOwner, kRead, u"take-ownership"},
        };
        for (const auto& c : cases) {
            Exchange opened = Open(u"/f", Open_::OpenExisting | c.flags, c.access);
            EXPECT_EQ(opened.Status(), SfsStatusCode::PermissionDenied) << Narrow(c.privilege);
            EXPECT_EQ(opened.Log().rfind(u"KilnSfsWin: Opening file '" + Win(u"/f") +
                                             u"' failed with PermissionDenied. Enabling " +
                                             c.privilege + u" privilege failed: Windows error ",
                                         0),
                      0u)
                << Narrow(opened.Log());
        }
        EXPECT_TRUE(Open(u"/f", Open_::OpenExisting, kRead).Handle()) << "without privileges";
        m_run.reset();
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged scenario failed; see its output";
}
#endif

TEST_F(FileOpsTest, NoFollowRefusesASymbolicLinkWithLinkLoop) {
    Put("/target", "t");
    MakeDiskLink("target", Disk("/link"));
    KILN_SKIP_UNDER_WINE(kiln::test::kWineShowsNoLinks);
    Exchange refused = Open(u"/link", Open_::OpenExisting | Open_::NoFollow, kRead);
    EXPECT_EQ(refused.Status(), SfsStatusCode::LinkLoop);
    EXPECT_EQ(refused.Log(),
              u"KilnSfsWin: Opening file '" + Win(u"/link") + u"' failed with LinkLoop.");
    RefPtr<QtBytes> followed = OpenOk(u"/link", Open_::OpenExisting, kRead);
    EXPECT_EQ(ReadText(followed, 0, 10), "t") << "a link inside the root keeps working";
}

TEST_F(FileOpsTest, DeleteOnCloseRemovesTheFileAtClose) {
    RefPtr<QtBytes> handle = OpenOk(u"/tmp", Open_::CreateNew | Open_::DeleteOnClose,
                                    kReadWrite | SfsAccessMask::Delete);
    // Looked at without opening it, which the handle's sharing would refuse.
    EXPECT_TRUE(std::filesystem::exists(Disk("/tmp")));
    Close(handle);
    EXPECT_FALSE(std::filesystem::exists(Disk("/tmp")));
}

TEST_F(FileOpsTest, CloseSendsTheTransferNotificationAndLogsTheSummary) {
    Put("/f", std::string(300, 'r'));
    auto transfer = Run().Host().ReplyPort<QtSfsNotifyFileTransfer>();
    Exchange opened = Open(u"/f", Open_::OpenExisting, kRead, nullptr, transfer);
    ASSERT_TRUE(opened.Handle());
    for (uint64_t offset : {0, 100, 200}) Read(opened.Handle(), offset, 100);
    Exchange closed = Close(opened.Handle());
    EXPECT_EQ(closed.Status(), SfsStatusCode::Ok);
    EXPECT_EQ(closed.Log(), u"KilnSfsWin: Closed file '" + Win(u"/f") +
                                u"'. Registered 3 successful operations. Downloaded 300 bytes "
                                u"in 3 operations.");
    std::vector<RefPtr<QtSfsNotifyFileTransfer>> notes =
        Run().Host().Received<QtSfsNotifyFileTransfer>();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(S(notes[0]->m_path), Win(u"/f"));
    EXPECT_EQ(notes[0]->m_readBytes, 300u);
    EXPECT_EQ(notes[0]->m_readMaxRangeBeg, 0u);
    EXPECT_EQ(notes[0]->m_readMaxRangeEnd, 300u);
    EXPECT_EQ(notes[0]->m_writeBytes, 0u);

    // Without traffic there is nothing to notify; a closed handle is gone.
    Exchange idle = Open(u"/f", Open_::OpenExisting, kRead, nullptr, transfer);
    EXPECT_EQ(Close(idle.Handle()).Log(), u"KilnSfsWin: Closed file '" + Win(u"/f") +
                                              u"'. Registered 0 successful operations.");
    EXPECT_EQ(Run().Host().Received<QtSfsNotifyFileTransfer>().size(), 1u);
    Exchange again = Close(idle.Handle());
    EXPECT_EQ(again.Status(), SfsStatusCode::InvalidHandle);
    EXPECT_EQ(again.Log(), u"KilnSfsWin: Closing handle failed with InvalidHandle.");
}

TEST_F(FileOpsTest, CloseOfADirectoryLogsTheListingSummary) {
    std::filesystem::create_directory(Disk("/d"));
    Exchange opened = OpenDir(u"/d");
    ASSERT_TRUE(opened.Handle());
    EXPECT_EQ(Close(opened.Handle()).Log(), u"KilnSfsWin: Closed directory '" + Win(u"/d") +
                                                u"'. Registered 0 successful operations.");
}

// Nothing outside the root is read, written, created or revealed, whatever
// links or ".." components the request uses.
class Confinement : public FileOpsTest {
  protected:
    void SetUp() override {
        FileOpsTest::SetUp();
        const std::string outside = m_outside.LinuxPath();
        std::ofstream(outside + "/secret") << "secret";
        ASSERT_NO_FATAL_FAILURE(MakeDiskLink(outside + "/secret", Disk("/to-secret")));
        ASSERT_NO_FATAL_FAILURE(MakeDiskLink(outside + "/new", Disk("/to-new")));
        ASSERT_NO_FATAL_FAILURE(MakeDiskLink(outside, Disk("/to-dir")));
        // Up to the directory that holds both the root and the outside one.
#ifdef _WIN32
        ASSERT_NO_FATAL_FAILURE(MakeDiskLink("..", Disk("/up")));
#else
        ASSERT_NO_FATAL_FAILURE(MakeDiskLink("../../../../../../../../../tmp", Disk("/up")));
#endif
    }
    std::string Outside(const char* name) const {
        std::ifstream in(m_outside.LinuxPath() + "/" + name);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<absent>";
    }
    TempRoot m_outside;
};

TEST_F(Confinement, NoOpenReachesOutsideTheRoot) {
    const std::u16string outsideName =
        std::filesystem::path(m_outside.LinuxPath()).filename().u16string();
    const std::u16string paths[] = {
        u"/to-secret",
        u"/to-new",
        u"/to-dir/secret",
        u"/to-dir/new",
        u"/up/" + outsideName + u"/secret",
        u"/../" + outsideName + u"/secret",
        u"/a/../../" + outsideName + u"/secret",
    };
    for (const std::u16string& path : paths) {
        for (uint32_t disposition :
             {Open_::OpenExisting, Open_::OpenOrCreate, Open_::CreateTruncate}) {
            SCOPED_TRACE(Narrow(path) + " disposition " + std::to_string(disposition));
            Exchange opened = Open(path, disposition, kReadWrite);
            ASSERT_FALSE(opened.Handle()) << "opened outside the root";
            EXPECT_TRUE(opened.Status() == SfsStatusCode::NoSuchFile ||
                        opened.Status() == SfsStatusCode::NoSuchPath)
                << "status " << static_cast<int>(opened.Status().value_or(SfsStatusCode::Ok));
        }
    }
    EXPECT_EQ(Outside("secret"), "secret");
    KILN_SKIP_UNDER_WINE(
        "a host link that leads nowhere is invisible to it, so an open that creates through one "
        "makes the file where it leads before the handle can be refused");
    EXPECT_EQ(Outside("new"), "<absent>");
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
