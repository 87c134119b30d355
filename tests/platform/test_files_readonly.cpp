// A read-only file (no owner write bit) refuses writing, but whether its name
// may be removed or renamed is its directory's decision, as on Linux.
#include "files_test_support.h"
#include "security_test_support.h"

namespace kiln::platform::testing {
namespace {

class ReadOnlyFiles : public FilesTest {};

TEST_F(ReadOnlyFiles, TheDirectoryDecidesRemovalAndTheModeWriting) {
    struct Case {
        const char* label;
        bool asNobody;
        mode_t directoryMode;
        std::function<bool()> act;  // on dir/ro, a 0444 file owned by root
        bool succeeds;
        bool roRemains;
    };
    const Case cases[] = {
        {"delete", false, 0755, [this] { return DeleteFileW(Path("dir/ro").c_str()) != FALSE; },
         true, false},
        {"rename", false, 0755,
         [this] {
             return MoveFileExW(Path("dir/ro").c_str(), Path("dir/moved").c_str(), 0) != FALSE;
         },
         true, false},
        {"rename replacing it", false, 0755,
         [this] {
             MakeFile("dir/new", "new");
             return MoveFileExW(Path("dir/new").c_str(), Path("dir/ro").c_str(),
                                MOVEFILE_REPLACE_EXISTING) != FALSE &&
                    Content("dir/ro") == "new";
         },
         true, true},
        {"delete on close", false, 0755,
         [this] {
             HANDLE h = Open(Path("dir/ro"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                             FILE_FLAG_DELETE_ON_CLOSE);
             return h != INVALID_HANDLE_VALUE && CloseHandle(h);
         },
         true, false},
        {"open for writing", false, 0755,
         [this] {
             HANDLE h = Open(Path("dir/ro"), GENERIC_WRITE);
             return h != INVALID_HANDLE_VALUE && CloseHandle(h);
         },
         false, true},
        {"truncate", false, 0755,
         [this] {
             HANDLE h = Open(Path("dir/ro"), GENERIC_READ, 0, CREATE_ALWAYS);
             return h != INVALID_HANDLE_VALUE && CloseHandle(h);
         },
         false, true},
        {"delete by nobody in a directory it may write", true, 0777,
         [this] { return DeleteFileW(Path("dir/ro").c_str()) != FALSE; }, true, false},
        {"delete by nobody in a directory it may not write", true, 0755,
         [this] { return DeleteFileW(Path("dir/ro").c_str()) != FALSE; }, false, true},
    };
    ASSERT_EQ(::chmod(scratch_.c_str(), 0755), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MakeDir("dir");
        MakeFile("dir/ro", "old");
        ASSERT_EQ(::chmod(Disk("dir/ro").c_str(), 0444), 0);
        ASSERT_EQ(::chmod(Disk("dir").c_str(), c.directoryMode), 0);
        bool succeeded =
            c.asNobody ? kiln::test::RunAsNobody([&] { return c.act() ? 1 : 0; }) == 1 : c.act();
        EXPECT_EQ(succeeded, c.succeeds);
        if (!c.succeeds && !c.asNobody) {
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        }
        EXPECT_EQ(OnDisk("dir/ro"), c.roRemains);
        if (c.roRemains && std::string(c.label) != "rename replacing it") {
            EXPECT_EQ(Content("dir/ro"), "old");
        }
        std::filesystem::remove_all(Disk("dir"));
    }
}

}  // namespace
}  // namespace kiln::platform::testing
