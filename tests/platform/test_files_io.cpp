// ReadFile/WriteFile, overlapped completion, the pending switch, the file
// pointer and Windows byte-range locks.
#include <cstring>
#include <thread>

#include "files_test_support.h"
#include "support/wine.h"

namespace kiln::platform::testing {
namespace {

class FileIoTest : public FilesTest {
  protected:
    static OVERLAPPED At(ULONGLONG offset, HANDLE event = nullptr) {
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        ov.hEvent = event;
        return ov;
    }
    // Overlapped I/O completes at once or later, as the system chooses; the
    // result once it has completed, with the last error it leaves.
    static bool Finish(BOOL started, HANDLE h, OVERLAPPED* ov, DWORD* n) {
        if (started) return true;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        return GetOverlappedResult(h, ov, n, TRUE);
    }
};

TEST_F(FileIoTest, OverlappedReadAndWriteAtOffsets) {
    MakeFile("f", "0123456789");
    // Shared for reading, so that the disk can be looked at meanwhile.
    ScopedHandle h(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED));
    ASSERT_TRUE(h.valid());
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    OVERLAPPED ov = At(4, event);
    DWORD n = 0;
    ASSERT_TRUE(Finish(WriteFile(h.get(), "AB", 2, &n, &ov), h.get(), &ov, &n));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Content("f"), "0123AB6789");

    char buffer[16] = {};
    ov = At(8, event);
    ASSERT_TRUE(Finish(ReadFile(h.get(), buffer, sizeof buffer, &n, &ov), h.get(), &ov, &n));
    EXPECT_EQ(std::string(buffer, n), "89");  // a short read at the end returns what there is
    ASSERT_TRUE(GetOverlappedResult(h.get(), &ov, &n, FALSE));
    EXPECT_EQ(n, 2u);

    for (ULONGLONG offset : {10ull, 11ull, 1ull << 40}) {
        ov = At(offset, event);
        EXPECT_FAILS_WITH(Finish(ReadFile(h.get(), buffer, 4, &n, &ov), h.get(), &ov, &n),
                          ERROR_HANDLE_EOF);
        EXPECT_FAILS_WITH(GetOverlappedResult(h.get(), &ov, &n, FALSE), ERROR_HANDLE_EOF);
    }
    CloseHandle(event);
}

TEST_F(FileIoTest, WriteAtAllOnesAppends) {
    MakeFile("log", "first.");
    ScopedHandle h(
        Open(Path("log"), GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OVERLAPPED));
    ASSERT_TRUE(h.valid());
    for (const char* part : {"second.", "third."}) {
        OVERLAPPED ov = At(~0ull);
        DWORD n = 0;
        ASSERT_TRUE(Finish(WriteFile(h.get(), part, static_cast<DWORD>(strlen(part)), &n, &ov),
                           h.get(), &ov, &n));
    }
    EXPECT_EQ(Content("log"), "first.second.third.");
}

TEST_F(FileIoTest, SynchronousHandleUsesTheFilePointer) {
    MakeFile("f", "abcdef");
    ScopedHandle h(Open(Path("f")));
    ASSERT_TRUE(h.valid());
    char buffer[4];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h.get(), buffer, 4, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "abcd");
    ASSERT_TRUE(ReadFile(h.get(), buffer, 4, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "ef");
    // At the end a synchronous read succeeds with nothing.
    ASSERT_TRUE(ReadFile(h.get(), buffer, 4, &n, nullptr));
    EXPECT_EQ(n, 0u);

    EXPECT_EQ(SetFilePointer(h.get(), 2, nullptr, FILE_BEGIN), 2u);
    ASSERT_TRUE(WriteFile(h.get(), "XY", 2, &n, nullptr));
    EXPECT_EQ(SetFilePointer(h.get(), -1, nullptr, FILE_END), 5u);
    EXPECT_FAILS_WITH(
        SetFilePointer(h.get(), -10, nullptr, FILE_CURRENT) != INVALID_SET_FILE_POINTER,
        ERROR_NEGATIVE_SEEK);
    LARGE_INTEGER to, now;
    to.QuadPart = 3;
    ASSERT_TRUE(SetFilePointerEx(h.get(), to, &now, FILE_BEGIN));
    EXPECT_EQ(now.QuadPart, 3);
    ASSERT_TRUE(SetEndOfFile(h.get()));
    EXPECT_EQ(Content("f"), "abX");
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h.get(), &high), 3u);
    EXPECT_EQ(high, 0u);
    to.QuadPart = 5ll << 32;
    ASSERT_TRUE(SetFilePointerEx(h.get(), to, nullptr, FILE_BEGIN));
    LONG highPart = 0;
    EXPECT_EQ(SetFilePointer(h.get(), 0, &highPart, FILE_CURRENT), 0u);
    EXPECT_EQ(highPart, 5);
    EXPECT_FAILS_WITH(SetFilePointerEx(h.get(), to, nullptr, 3), ERROR_INVALID_PARAMETER);
}

#ifndef _WIN32
// The switch is our Linux layer's, for the pending path of callers.
TEST_F(FileIoTest, PendingSwitchCompletesOnAHelperThread) {
    MakeFile("f", "pending data");
    ScopedHandle h(
        Open(Path("f"), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED));
    ASSERT_TRUE(h.valid());
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetOverlappedPendingForTests(true);
    HoldOverlappedCompletionsForTests(true);

    char buffer[7] = {};
    OVERLAPPED ov = At(8, event);
    DWORD n = 99;
    EXPECT_FAILS_WITH(ReadFile(h.get(), buffer, 7, &n, &ov), ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_FAILS_WITH(GetOverlappedResult(h.get(), &ov, &n, FALSE), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    HoldOverlappedCompletionsForTests(false);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(h.get(), &ov, &n, TRUE));
    EXPECT_EQ(std::string(buffer, n), "data");

    // End of file arrives through the result as well.
    ov = At(100, event);
    EXPECT_FAILS_WITH(ReadFile(h.get(), buffer, 7, &n, &ov), ERROR_IO_PENDING);
    EXPECT_FAILS_WITH(GetOverlappedResult(h.get(), &ov, &n, TRUE), ERROR_HANDLE_EOF);

    // A write that is pending still lands, and a lock completes the same way.
    ov = At(0, event);
    EXPECT_FAILS_WITH(WriteFile(h.get(), "P", 1, &n, &ov), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(h.get(), &ov, &n, TRUE));
    EXPECT_EQ(Content("f"), "Pending data");
    ov = At(0, event);
    EXPECT_FAILS_WITH(LockFileEx(h.get(), LOCKFILE_FAIL_IMMEDIATELY, 0, 4, 0, &ov),
                      ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(h.get(), &ov, &n, TRUE));

    // Synchronous handles are never made pending.
    ScopedHandle sync(Open(Path("f"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_FALSE(sync.valid());  // the overlapped handle shares nothing
    CloseHandle(event);
}
#endif

TEST_F(FileIoTest, LocksAreMandatoryForOtherHandles) {
    KILN_SKIP_UNDER_WINE(
        "ReadFile and WriteFile of another handle ignore byte-range locks; "
        "Windows refuses them with ERROR_LOCK_VIOLATION");
    MakeFile("f", std::string(100, 'x'));
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ScopedHandle owner(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, share));
    ScopedHandle other(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, share));
    ASSERT_TRUE(owner.valid() && other.valid());
    OVERLAPPED ov = At(10);
    ASSERT_TRUE(LockFileEx(owner.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 20,
                           0, &ov));
    char buffer[8];
    DWORD n = 0;
    struct Case {
        HANDLE handle;
        ULONGLONG offset;
        bool write;
        bool allowed;
    };
    const Case cases[] = {
        {other.get(), 15, false, false}, {other.get(), 15, true, false},
        {other.get(), 5, false, false},  {other.get(), 0, false, true},
        {other.get(), 30, true, true},   {owner.get(), 15, false, true},
        {owner.get(), 15, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        OVERLAPPED at = At(c.offset);
        BOOL ok = c.write ? WriteFile(c.handle, "yyyyyyyy", 8, &n, &at)
                          : ReadFile(c.handle, buffer, 8, &n, &at);
        const DWORD error = GetLastError();
        EXPECT_EQ(ok != FALSE, c.allowed);
        if (!c.allowed) {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_LOCK_VIOLATION));
        }
    }
    // The synchronous path checks too.
    SetFilePointer(other.get(), 12, nullptr, FILE_BEGIN);
    EXPECT_FAILS_WITH(ReadFile(other.get(), buffer, 4, &n, nullptr), ERROR_LOCK_VIOLATION);

    ov = At(15);
    EXPECT_FAILS_WITH(LockFileEx(other.get(), LOCKFILE_FAIL_IMMEDIATELY, 0, 2, 0, &ov),
                      ERROR_LOCK_VIOLATION);
}

TEST_F(FileIoTest, LockRulesOfWindows) {
    MakeFile("f", "x");
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ScopedHandle a(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, share));
    ScopedHandle b(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, share));
    const DWORD now = LOCKFILE_FAIL_IMMEDIATELY;
    const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    auto lock = [&](HANDLE h, DWORD flags, ULONGLONG offset, DWORD length) {
        OVERLAPPED ov = At(offset);
        return LockFileEx(h, flags, 0, length, 0, &ov) != FALSE;
    };
    auto unlock = [&](HANDLE h, ULONGLONG offset, DWORD length) {
        OVERLAPPED ov = At(offset);
        return UnlockFileEx(h, 0, length, 0, &ov) != FALSE;
    };
    EXPECT_TRUE(lock(a.get(), exclusive, 10, 20));
    EXPECT_FALSE(
        lock(a.get(), exclusive, 12, 10));        // exclusive overlaps nothing, own locks neither
    EXPECT_TRUE(lock(a.get(), exclusive, 5, 5));  // adjacent is fine
    // An unlock names exactly a locked range, and belongs to its handle.
    // Wine answers ERROR_LOCK_VIOLATION where Windows says ERROR_NOT_LOCKED.
    const DWORD notLocked =
        kiln::test::RunningUnderWine() ? ERROR_LOCK_VIOLATION : ERROR_NOT_LOCKED;
    EXPECT_FAILS_WITH(unlock(a.get(), 10, 10), notLocked);
    EXPECT_FAILS_WITH(unlock(b.get(), 10, 20), notLocked);
    EXPECT_TRUE(unlock(a.get(), 10, 20));
    EXPECT_FAILS_WITH(unlock(a.get(), 10, 20), notLocked);

    EXPECT_TRUE(lock(a.get(), now, 100, 100));  // shared locks overlap each other
    EXPECT_TRUE(lock(b.get(), now, 150, 100));
    EXPECT_FALSE(lock(b.get(), exclusive, 150, 50));
    char c;
    DWORD n;
    OVERLAPPED at = At(160);
    const bool read = ReadFile(a.get(), &c, 1, &n, &at);
    const DWORD readError = GetLastError();
    EXPECT_TRUE(read || readError == ERROR_HANDLE_EOF);
    // A shared lock stops every writer (Wine's WriteFile ignores locks).
    if (!kiln::test::RunningUnderWine()) {
        EXPECT_FAILS_WITH(WriteFile(a.get(), "z", 1, &n, &at), ERROR_LOCK_VIOLATION);
    }

    EXPECT_TRUE(lock(a.get(), exclusive, 300, 100));
    EXPECT_TRUE(lock(a.get(), now, 300, 100));  // shared over the handle's own exclusive lock
    EXPECT_FALSE(lock(b.get(), now, 300, 100));
    EXPECT_TRUE(unlock(a.get(), 300, 100));  // the exclusive one goes first
    EXPECT_TRUE(lock(b.get(), now, 300, 100));

    EXPECT_TRUE(lock(a.get(), now, 1000, 0));  // a zero-length lock is a point
    EXPECT_FALSE(lock(b.get(), exclusive, 998, 4));
    EXPECT_TRUE(lock(b.get(), exclusive, 990, 10));
    EXPECT_TRUE(unlock(a.get(), 1000, 0));
}

TEST_F(FileIoTest, LocksGoWithTheHandle) {
    MakeFile("f", "x");
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE a = Open(Path("f"), GENERIC_READ | GENERIC_WRITE, share);
    ScopedHandle b(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, share));
    OVERLAPPED ov = At(0);
    ASSERT_TRUE(LockFileEx(a, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 10, 0, &ov));
    EXPECT_FALSE(LockFileEx(b.get(), LOCKFILE_FAIL_IMMEDIATELY, 0, 10, 0, &ov));
    ASSERT_TRUE(CloseHandle(a));
    EXPECT_TRUE(LockFileEx(b.get(), LOCKFILE_FAIL_IMMEDIATELY, 0, 10, 0, &ov));
}

TEST_F(FileIoTest, WaitingLockIsGrantedWhenReleased) {
    MakeFile("f", "x");
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ScopedHandle a(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, share));
    ScopedHandle b(Open(Path("f"), GENERIC_READ | GENERIC_WRITE, share));
    OVERLAPPED ov = At(0);
    ASSERT_TRUE(LockFileEx(a.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 10, 0, &ov));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        OVERLAPPED at = At(0);
        UnlockFileEx(a.get(), 0, 10, 0, &at);
    });
    OVERLAPPED wait = At(0);
    EXPECT_TRUE(LockFileEx(b.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 10, 0, &wait));
    releaser.join();
}

}  // namespace
}  // namespace kiln::platform::testing
