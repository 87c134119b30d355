// Byte-range locks and share modes between processes: a forked child holds a
// handle while this process probes, as two server sessions do.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <thread>

#include "files_test_support.h"
#include "platform/posix/files/file_object.h"

namespace kiln::platform::testing {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;
constexpr ULONGLONG k2To63 = 1ull << 63;
constexpr ULONGLONG kLast = ~0ull;

OVERLAPPED At(ULONGLONG offset) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ov;
}

bool Lock(HANDLE h, ULONGLONG offset, ULONGLONG length, bool exclusive) {
    OVERLAPPED ov = At(offset);
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return LockFileEx(h, flags, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                      &ov);
}

// A child process that runs `hold` and keeps what it opened until the object
// goes or Kill() ends it.
class OtherProcess {
  public:
    explicit OtherProcess(const std::function<bool()>& hold) {
        int ready[2], done[2];
        if (::pipe(ready) != 0 || ::pipe(done) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(done[1]);
            char ok = hold() ? 1 : 0;
            char ignored;
            if (::write(ready[1], &ok, 1) == 1) (void)!::read(done[0], &ignored, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(done[0]);
        done_ = done[1];
        char ok = 0;
        holds_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~OtherProcess() { Reap(); }
    bool Holds() const { return holds_; }
    void Kill() {
        ::kill(pid_, SIGKILL);
        Reap();
    }

  private:
    void Reap() {
        if (pid_ <= 0) return;
        ::close(done_);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid_ = -1;
    int done_ = -1;
    bool holds_ = false;
};

class CrossProcessTest : public FilesTest {
  protected:
    void SetUp() override {
        FilesTest::SetUp();
        MakeFile("f", std::string(4096, 'x'));
    }
};

enum class Probe { Read, Write, LockShared, LockExclusive };

TEST_F(CrossProcessTest, LocksOfAnotherProcessAndTheTopOfTheRange) {
    struct Case {
        ULONGLONG offset, length;
        bool exclusive;
        DWORD access;  // of the child's handle
        Probe probe;
        ULONGLONG at, count;
        bool allowed;
    } cases[] = {
        {100, 50, true, GENERIC_READ | GENERIC_WRITE, Probe::Read, 120, 10, false},
        {100, 50, true, GENERIC_READ | GENERIC_WRITE, Probe::Write, 149, 1, false},
        {100, 50, true, GENERIC_READ | GENERIC_WRITE, Probe::Read, 150, 10, true},
        {100, 50, true, GENERIC_READ | GENERIC_WRITE, Probe::Write, 90, 10, true},
        {100, 50, true, GENERIC_READ | GENERIC_WRITE, Probe::LockShared, 149, 1, false},
        {100, 50, false, GENERIC_READ | GENERIC_WRITE, Probe::Read, 120, 10, true},
        {100, 50, false, GENERIC_READ | GENERIC_WRITE, Probe::Write, 120, 10, false},
        {100, 50, false, GENERIC_READ | GENERIC_WRITE, Probe::LockShared, 120, 100, true},
        {100, 50, false, GENERIC_READ | GENERIC_WRITE, Probe::LockExclusive, 140, 100, false},
        // A handle open for reading alone takes no lock, which would keep
        // writers out; one open for writing alone still keeps writers out.
        {100, 50, true, GENERIC_READ, Probe::Write, 120, 10, true},
        {100, 50, false, GENERIC_READ, Probe::Write, 120, 10, true},
        {100, 50, false, GENERIC_WRITE, Probe::Write, 120, 10, false},
        // The whole Windows range.
        {0, kLast, true, GENERIC_READ | GENERIC_WRITE, Probe::Read, 0, 1, false},
        {0, kLast, true, GENERIC_READ | GENERIC_WRITE, Probe::LockShared, kLast - 1, 1, false},
        // Above 2^63 - 64 ranges meet on the last byte below it: disjoint
        // ranges up there conflict, ranges below stay apart.
        {k2To63 + 100, 10, true, GENERIC_READ | GENERIC_WRITE, Probe::LockExclusive, kLast - 5, 5,
         false},
        {k2To63 + 100, 10, true, GENERIC_READ | GENERIC_WRITE, Probe::LockExclusive, k2To63 - 100,
         35, true},
        {k2To63 - 70, 10, true, GENERIC_READ | GENERIC_WRITE, Probe::LockExclusive, k2To63 - 66, 1,
         false},
        // A zero-length lock blocks no I/O and stays in its process.
        {100, 0, true, GENERIC_READ | GENERIC_WRITE, Probe::LockExclusive, 90, 20, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.offset << "+" << c.length << " probe "
                                          << static_cast<int>(c.probe) << " at " << c.at);
        OtherProcess child([&] {
            HANDLE h = Open(Path("f"), c.access, kShareRW);
            return h != INVALID_HANDLE_VALUE &&
                   Lock(h, c.offset, c.length, c.exclusive) == !!(c.access & GENERIC_WRITE) &&
                   (c.access & GENERIC_WRITE || GetLastError() == ERROR_ACCESS_DENIED);
        });
        ASSERT_TRUE(child.Holds());
        ScopedHandle h(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, kShareRW));
        ASSERT_TRUE(h.valid());
        char buffer[128] = {};
        DWORD n = 0;
        OVERLAPPED ov = At(c.at);
        const DWORD count = static_cast<DWORD>(c.count);
        BOOL ok = c.probe == Probe::Read ? ReadFile(h.get(), buffer, count, &n, &ov)
                  : c.probe == Probe::Write
                      ? WriteFile(h.get(), buffer, count, &n, &ov)
                      : Lock(h.get(), c.at, c.count, c.probe == Probe::LockExclusive);
        EXPECT_EQ(ok != FALSE, c.allowed);
        if (!c.allowed) {
            EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
        }
    }
}

enum class Act { Open, Delete, Rename };

TEST_F(CrossProcessTest, ShareModesOfAnotherProcess) {
    MakeDir("d");
    MakeFile("d/inner");
    struct Case {
        const char* name;
        DWORD access, share, flags;  // of the child's handle
        Act act;
        DWORD actAccess, actShare;
        DWORD error;  // 0: allowed
    } cases[] = {
        {"f", kRW, FILE_SHARE_READ, 0, Act::Open, GENERIC_WRITE, kShareAll,
         ERROR_SHARING_VIOLATION},
        {"f", GENERIC_READ, kShareRW, 0, Act::Open, GENERIC_WRITE, kShareAll, 0},
        {"f", GENERIC_READ, kShareAll, 0, Act::Open, kRW, FILE_SHARE_WRITE | FILE_SHARE_DELETE,
         ERROR_SHARING_VIOLATION},
        // A handle open for writing alone, and one with delete access alone
        // (no data descriptor), are seen all the same.
        {"f", GENERIC_WRITE, kShareAll, 0, Act::Open, GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_DELETE, ERROR_SHARING_VIOLATION},
        {"f", DELETE, 0, 0, Act::Open, DELETE, kShareAll, ERROR_SHARING_VIOLATION},
        // Opens without data or delete access take no part.
        {"f", FILE_READ_ATTRIBUTES, 0, 0, Act::Open, GENERIC_WRITE, 0, 0},
        {"f", GENERIC_READ | DELETE, kShareRW, 0, Act::Delete, 0, 0, ERROR_SHARING_VIOLATION},
        {"f", GENERIC_READ | DELETE, kShareRW, 0, Act::Rename, 0, 0, ERROR_SHARING_VIOLATION},
        {"d", FILE_LIST_DIRECTORY | DELETE, kShareRW, FILE_FLAG_BACKUP_SEMANTICS, Act::Rename, 0, 0,
         ERROR_SHARING_VIOLATION},
        {"f", GENERIC_READ, kShareAll, 0, Act::Rename, 0, 0, 0},
        // A handle denies only what it may do itself: a reader neither
        // reading nor writing, one without delete access no delete, whatever
        // its flags; a new open likewise.
        {"f", GENERIC_READ, 0, 0, Act::Open, kRW, kShareAll, 0},
        {"f", GENERIC_READ, 0, 0, Act::Delete, 0, 0, 0},
        {"f", DELETE, 0, 0, Act::Open, kRW, kShareAll, 0},
        {"f", kRW, kShareAll, 0, Act::Open, GENERIC_READ, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.name << " held with " << std::hex << c.access << "/"
                                          << c.share << ", act " << static_cast<int>(c.act));
        OtherProcess child([&] {
            return Open(Path(c.name), c.access, c.share, OPEN_EXISTING, c.flags) !=
                   INVALID_HANDLE_VALUE;
        });
        ASSERT_TRUE(child.Holds());
        BOOL ok = FALSE;
        if (c.act == Act::Open) {
            ScopedHandle h(Open(Path(c.name), c.actAccess, c.actShare));
            ok = h.valid();
        } else if (c.act == Act::Delete) {
            ok = DeleteFileW(Path(c.name).c_str());
        } else {
            ok = MoveFileExW(Path(c.name).c_str(), Path("moved").c_str(), 0);
            if (ok) MoveFileExW(Path("moved").c_str(), Path(c.name).c_str(), 0);
        }
        EXPECT_EQ(ok != FALSE, c.error == 0);
        if (c.error) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (c.act == Act::Delete && ok) MakeFile(c.name, std::string(4096, 'x'));
        EXPECT_TRUE(OnDisk(c.name));
    }
}

TEST_F(CrossProcessTest, KilledProcessLeavesNothingHeld) {
    MakeFile("g", "0123456789");
    OtherProcess child([&] {
        HANDLE f = Open(Path("f"), GENERIC_READ | GENERIC_WRITE, 0);
        HANDLE g = Open(Path("g"), GENERIC_READ | GENERIC_WRITE, kShareRW);
        return f != INVALID_HANDLE_VALUE && g != INVALID_HANDLE_VALUE && Lock(g, 0, 10, true);
    });
    ASSERT_TRUE(child.Holds());
    EXPECT_EQ(Open(Path("f"), GENERIC_READ, kShareAll), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ScopedHandle g(Open(Path("g"), GENERIC_READ | GENERIC_WRITE, kShareRW));
    ASSERT_TRUE(g.valid());
    // A waiting lock is granted once the holder is gone.
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        child.Kill();
    });
    OVERLAPPED ov = At(0);
    EXPECT_TRUE(LockFileEx(g.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 10, 0, &ov));
    killer.join();
    ScopedHandle f(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, 0));
    EXPECT_TRUE(f.valid());
}

// Other programs' POSIX locks stop our I/O as Windows locks would, and are
// not share modes.
TEST_F(CrossProcessTest, LocksOfOtherPrograms) {
    OtherProcess program([&] {
        int fd = ::open(Disk("f").c_str(), O_RDWR);
        struct flock exclusive {
        }, shared{};
        exclusive.l_type = F_WRLCK;
        exclusive.l_start = 100;
        exclusive.l_len = 50;
        shared.l_type = F_RDLCK;
        shared.l_start = 1000;  // to the end of any file
        return fd >= 0 && ::fcntl(fd, F_SETLK, &exclusive) == 0 &&
               ::fcntl(fd, F_SETLK, &shared) == 0;
    });
    ASSERT_TRUE(program.Holds());
    ScopedHandle h(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, 0));
    ASSERT_TRUE(h.valid());
    char buffer[10];
    DWORD n;
    OVERLAPPED in = At(120), after = At(2000);
    EXPECT_FALSE(ReadFile(h.get(), buffer, 10, &n, &in));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_TRUE(ReadFile(h.get(), buffer, 10, &n, &after));
    EXPECT_FALSE(WriteFile(h.get(), buffer, 10, &n, &after));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(Lock(h.get(), 2000, 10, true));
}

// A closed handle shares nothing any more with other processes, whether its
// descriptor is closed with it (its marks go with the descriptor) or lives on
// while a call through the handle still runs (its marks are removed).
TEST_F(CrossProcessTest, ClosedHandlesLeaveNothingForOtherProcesses) {
    const struct {
        const char* what;
        DWORD access, disposition;
        bool callRuns;  // a call still holds the handle's object at the close
    } cases[] = {
        {"read and write", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, false},
        {"created", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, false},
        {"write alone", GENERIC_WRITE, OPEN_EXISTING, false},
        {"read, call running", GENERIC_READ, OPEN_EXISTING, true},
        {"write alone, call running", GENERIC_WRITE, OPEN_EXISTING, true},
    };
    auto otherOpens = [&] {
        OtherProcess child([&] { return Open(Path("f"), kRW, 0) != INVALID_HANDLE_VALUE; });
        return child.Holds();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE h = Open(Path("f"), c.access, 0, c.disposition);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(otherOpens());
        std::shared_ptr<FileObject> call = c.callRuns ? LookupFile(h) : nullptr;
        ASSERT_TRUE(CloseHandle(h));
        EXPECT_TRUE(otherOpens());
    }
}

}  // namespace
}  // namespace kiln::platform::testing
