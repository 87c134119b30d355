// Names: paths and their forms, directories, delete, rename, find, links,
// attributes, final paths and volumes.
#include <sys/xattr.h>

#include <set>

#include "files_test_support.h"
#include "platform/posix/names/name_mapping.h"

namespace kiln::platform::testing {
namespace {

class NamesTest : public FilesTest {};

TEST_F(NamesTest, PathFormsAndNameRules) {
    MakeDir("d");
    MakeFile("d/f", "x");
    struct Case {
        std::u16string path;
        DWORD expected;  // attributes, or the error when INVALID_FILE_ATTRIBUTES comes back
        bool fails;
    };
    const Case cases[] = {
        {Path("d/./f"), FILE_ATTRIBUTE_NORMAL, false},
        {Path("d/../d/f"), FILE_ATTRIBUTE_NORMAL, false},
        {Path("../../../d/f"), FILE_ATTRIBUTE_NORMAL, false},  // never above the drive root
        {u"t:/d//f", FILE_ATTRIBUTE_NORMAL, false},
        {LongPath("d/f"), FILE_ATTRIBUTE_NORMAL, false},
        {LongPath("d/./f"), ERROR_INVALID_NAME, true},
        {LongPath("d/../d/f"), ERROR_INVALID_NAME, true},
        {u"\\\\?\\T:\\d/f", ERROR_INVALID_NAME, true},
        {Path("d/f:stream"), ERROR_INVALID_NAME, true},
        {Path("d/f*"), ERROR_INVALID_NAME, true},
        {u"relative\\f", ERROR_INVALID_NAME, true},
        {u"Q:\\f", ERROR_PATH_NOT_FOUND, true},
        {u"\\\\server\\share\\f", ERROR_BAD_NETPATH, true},
        {u"\\\\?\\UNC\\server\\share\\f", ERROR_BAD_NETPATH, true},
        {Path("d/missing"), ERROR_FILE_NOT_FOUND, true},
        {Path("missing/f"), ERROR_PATH_NOT_FOUND, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        SetLastError(0);
        DWORD attributes = GetFileAttributesW(c.path.c_str());
        if (c.fails) {
            EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES);
            EXPECT_EQ(GetLastError(), c.expected);
        } else {
            EXPECT_EQ(attributes, c.expected);
        }
    }
}

TEST_F(NamesTest, ShareTableResolvesUncPaths) {
    MakeFile("shared", "x");
    ASSERT_TRUE(SetShare(u"Server", u"Data", scratch_));
    EXPECT_EQ(GetFileAttributesW(u"\\\\server\\DATA\\shared"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesW(u"\\\\?\\UNC\\server\\data\\shared"), FILE_ATTRIBUTE_NORMAL);
    ScopedHandle h(Open(u"\\\\server\\data\\shared", GENERIC_READ));
    ASSERT_TRUE(h.valid());
    ClearShares();
    EXPECT_EQ(GetFileAttributesW(u"\\\\server\\data\\shared"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
}

TEST_F(NamesTest, PrivateUseCharactersRoundTrip) {
    // A name on disk that Windows cannot spell: listed with stand-ins, and
    // the stand-ins open it again.
    MakeFile("a:b*c?\"d<e>f|g\\h", "odd");
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Path("a*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::u16string listed = data.cFileName;
    FindClose(find);
    EXPECT_EQ(listed, std::u16string(u"a\uF03Ab\uF02Ac\uF03F\uF022d\uF03Ce\uF03Ef\uF07Cg\uF05Ch"));
    ScopedHandle h(Open(u"T:\\" + listed, GENERIC_READ));
    ASSERT_TRUE(h.valid());
    char buffer[8];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "odd");
    ScopedHandle made(Open(u"T:\\x\uF03Ay", GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_TRUE(made.valid());
    EXPECT_TRUE(OnDisk("x:y"));
    EXPECT_EQ(DiskNameToWindows("\xc3\xa9t\xc3\xa9"), u"\u00e9t\u00e9");
    std::string disk;
    EXPECT_TRUE(WindowsNameToDisk(u"\u00e9t\u00e9", &disk));
    EXPECT_EQ(disk, "\xc3\xa9t\xc3\xa9");

    // Every ASCII character between two letters: reserved ones stand in as
    // U+F000 + the character, the rest are themselves, and a path through
    // the name reaches the same bytes on disk.
    for (int code = 1; code < 0x80; ++code) {
        const char c = static_cast<char>(code);
        if (c == '/') continue;
        const std::string onDisk = std::string("a") + c + "b";
        const bool reserved =
            c < 0x20 || std::string_view("\"*:<>?|\\").find(c) != std::string_view::npos;
        const char16_t shown =
            reserved ? static_cast<char16_t>(0xF000 + c) : static_cast<char16_t>(c);
        const std::u16string name = std::u16string(u"a") + shown + u"b";
        EXPECT_EQ(DiskNameToWindows(onDisk), name) << code;
        std::string back;
        EXPECT_TRUE(WindowsNameToDisk(name, &back)) << code;
        EXPECT_EQ(back, onDisk) << code;
        MakeFile(onDisk, "x");
        EXPECT_NE(GetFileAttributesW((Root() + name).c_str()), INVALID_FILE_ATTRIBUTES) << code;
    }
}

TEST_F(NamesTest, DirectoriesAndDeletion) {
    ASSERT_TRUE(CreateDirectoryW(Path("d").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(Path("d").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(Path("no/d").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    MakeFile("d/f");
    EXPECT_FALSE(RemoveDirectoryW(Path("d").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryW(Path("d/f").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(DeleteFileW(Path("d").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    {
        ScopedHandle open(Open(Path("d/f"), GENERIC_READ | DELETE, FILE_SHARE_READ));
        EXPECT_FALSE(DeleteFileW(Path("d/f").c_str()));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    EXPECT_TRUE(DeleteFileW(Path("d/f").c_str()));
    EXPECT_FALSE(DeleteFileW(Path("d/f").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(RemoveDirectoryW(Path("d").c_str()));
    EXPECT_FALSE(OnDisk("d"));
}

TEST_F(NamesTest, MoveFileEx) {
    MakeFile("a", "A");
    MakeFile("b", "B");
    EXPECT_FALSE(MoveFileExW(Path("a").c_str(), Path("b").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(Content("b"), "B");
    ASSERT_TRUE(MoveFileExW(Path("a").c_str(), Path("b").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(Content("b"), "A");
    EXPECT_FALSE(OnDisk("a"));
    ASSERT_TRUE(MoveFileExW(Path("b").c_str(), Path("c").c_str(), MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(Content("c"), "A");
    EXPECT_FALSE(MoveFileExW(Path("missing").c_str(), Path("x").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    MakeDir("dir");
    EXPECT_FALSE(MoveFileExW(Path("c").c_str(), Path("dir").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ScopedHandle open(Open(Path("c"), GENERIC_READ | DELETE, FILE_SHARE_READ));
    EXPECT_FALSE(MoveFileExW(Path("c").c_str(), Path("e").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExW(Path("c").c_str(), nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(NamesTest, FindFirstFileWithPatternAndPlainName) {
    MakeDir("d");
    for (const char* name : {"one.txt", "two.txt", "three.log", ".hidden"})
        MakeFile(std::string("d/") + name, "12345");
    MakeDir("d/sub");
    auto list = [&](const std::u16string& pattern) {
        std::set<std::u16string> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(pattern.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do names.insert(data.cFileName);
        while (FindNextFileW(find, &data));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_TRUE(FindClose(find));
        return names;
    };
    EXPECT_EQ(list(Path("d/*")), (std::set<std::u16string>{u".", u"..", u"one.txt", u"two.txt",
                                                           u"three.log", u".hidden", u"sub"}));
    EXPECT_EQ(list(Path("d/*.TXT")), (std::set<std::u16string>{u"one.txt", u"two.txt"}));
    EXPECT_EQ(list(Path("d/t??.*")), (std::set<std::u16string>{u"two.txt"}));
    EXPECT_EQ(list(Path("d/sub.*")), (std::set<std::u16string>{u"sub"}));

    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Path("d/one.txt").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"one.txt");
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_FALSE(FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(find);
    find = FindFirstFileW(Path("d/.hidden").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
    FindClose(find);

    EXPECT_EQ(FindFirstFileW(Path("d/none*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileW(Path("nodir/*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // The drive root lists no "." and "..".
    std::set<std::u16string> root = list(u"T:\\*");
    EXPECT_EQ(root.count(u"."), 0u);
    EXPECT_EQ(root.count(u"d"), 1u);
}

TEST_F(NamesTest, SymbolicLinksCarryTheReparseTag) {
    MakeDir("target");
    MakeFile("file", "content");
    ASSERT_TRUE(
        CreateSymbolicLinkW(Path("dirlink").c_str(), u"target", SYMBOLIC_LINK_FLAG_DIRECTORY));
    ASSERT_TRUE(CreateSymbolicLinkW(Path("filelink").c_str(), Path("file").c_str(), 0));
    EXPECT_EQ(GetFileAttributesW(Path("dirlink").c_str()),
              FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesW(Path("filelink").c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
    char target[256] = {};
    ASSERT_GT(::readlink(Disk("filelink").c_str(), target, sizeof target), 0);
    EXPECT_EQ(std::string(target),
              Disk("file"));  // an absolute target maps through the drive table

    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Path("dirlink").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwReserved0, IO_REPARSE_TAG_SYMLINK);
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    FindClose(find);

    ScopedHandle link(Open(Path("filelink"), FILE_READ_ATTRIBUTES, 7, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT));
    ASSERT_TRUE(link.valid());
    FILE_ATTRIBUTE_TAG_INFO tag{};
    ASSERT_TRUE(GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag));
    EXPECT_EQ(tag.ReparseTag, IO_REPARSE_TAG_SYMLINK);
    EXPECT_TRUE(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_FALSE(GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, 4));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);

    ScopedHandle followed(Open(Path("filelink"), GENERIC_READ));
    ASSERT_TRUE(followed.valid());
    char buffer[16];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(followed.get(), buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "content");
    EXPECT_TRUE(RemoveDirectoryW(Path("dirlink").c_str()));  // a directory link goes this way
    EXPECT_TRUE(OnDisk("target"));
}

TEST_F(NamesTest, HardLinks) {
    MakeFile("file", "same");
    ASSERT_TRUE(CreateHardLinkW(Path("twin").c_str(), Path("file").c_str(), nullptr));
    EXPECT_EQ(Content("twin"), "same");
    EXPECT_FALSE(CreateHardLinkW(Path("twin").c_str(), Path("file").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateHardLinkW(Path("x").c_str(), Path("missing").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(NamesTest, FinalPathNameInLongForm) {
    MakeDir("d");
    MakeFile("d/f");
    ASSERT_TRUE(CreateSymbolicLinkW(Path("link").c_str(), u"d\\f", 0));
    ScopedHandle h(Open(Path("link"), FILE_READ_ATTRIBUTES));
    ASSERT_TRUE(h.valid());
    DWORD needed = GetFinalPathNameByHandleW(h.get(), nullptr, 0, FILE_NAME_NORMALIZED);
    std::u16string expected = LongPath("d/f");
    EXPECT_EQ(needed, expected.size() + 1);
    std::vector<char16_t> small(needed - 1);
    EXPECT_EQ(GetFinalPathNameByHandleW(h.get(), small.data(), needed - 1, 0), needed);
    std::vector<char16_t> buffer(needed + 260);
    DWORD length = GetFinalPathNameByHandleW(h.get(), buffer.data(), needed + 260, 0);
    ASSERT_EQ(length, expected.size());
    EXPECT_EQ(std::u16string(buffer.data()), expected);
}

TEST_F(NamesTest, AttributesLiveInModeAndOneSmallRecord) {
    MakeFile("f", "x");
    MakeDir("d");
    const DWORD stored = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    ASSERT_TRUE(SetFileAttributesW(Path("f").c_str(), stored | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(Path("f").c_str()), stored | FILE_ATTRIBUTE_READONLY);
    struct stat st;
    ASSERT_EQ(::stat(Disk("f").c_str(), &st), 0);
    EXPECT_FALSE(st.st_mode & S_IWUSR);
    EXPECT_LT(::getxattr(Disk("f").c_str(), "user.kiln.attrib", nullptr, 0), 40);
    ASSERT_TRUE(SetFileAttributesW(Path("d").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(Path("d").c_str()),
              FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(::stat(Disk("d").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR);  // a directory keeps its permissions
    ASSERT_TRUE(SetFileAttributesW(Path("f").c_str(), 0));
    EXPECT_EQ(GetFileAttributesW(Path("f").c_str()), FILE_ATTRIBUTE_NORMAL);

    // Times: FILETIME in 100 ns since 1601; an explicit creation time is kept.
    ScopedHandle h(Open(Path("f"), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES));
    ASSERT_TRUE(h.valid());
    const ULONGLONG y2000 = 125911584000000000ull;  // 2000-01-01T00:00:00Z
    FILETIME t{static_cast<DWORD>(y2000), static_cast<DWORD>(y2000 >> 32)};
    ASSERT_TRUE(SetFileTime(h.get(), &t, nullptr, &t));
    ASSERT_EQ(::stat(Disk("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 946684800);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(Path("f").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.ftCreationTime.dwLowDateTime, t.dwLowDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, t.dwHighDateTime);
    EXPECT_EQ(data.nFileSizeLow, 1u);

    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileInformationByHandle(h.get(), FileBasicInfo, &basic, sizeof basic));
    EXPECT_EQ(GetFileAttributesW(Path("f").c_str()), FILE_ATTRIBUTE_SYSTEM);
    ScopedHandle reader(Open(Path("f"), FILE_READ_ATTRIBUTES));
    EXPECT_FALSE(SetFileInformationByHandle(reader.get(), FileBasicInfo, &basic, sizeof basic));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // Compression and sparseness through the control codes.
    ScopedHandle data2(Open(Path("f"), GENERIC_READ | GENERIC_WRITE));
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    DWORD returned = 0;
    if (DeviceIoControl(data2.get(), FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
                        &returned, nullptr)) {
        EXPECT_TRUE(GetFileAttributesW(Path("f").c_str()) & FILE_ATTRIBUTE_COMPRESSED);
    } else {
        EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    }
    ASSERT_TRUE(
        DeviceIoControl(data2.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(GetFileAttributesW(Path("f").c_str()) & FILE_ATTRIBUTE_SPARSE_FILE);
    EXPECT_FALSE(DeviceIoControl(data2.get(), 0x12345, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(EncryptFileW(Path("f").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(DecryptFileW(Path("f").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(NamesTest, AttributesWhereExtendedAttributesAreRefused) {
    // tmpfs before 6.6 refuses user.* attributes; where it accepts them this
    // test has nothing to show.
    if (::setxattr("/dev/shm", "user.kiln.probe", "x", 1, 0) == 0 || errno != EOPNOTSUPP) {
        ::removexattr("/dev/shm", "user.kiln.probe");
        GTEST_SKIP() << "/dev/shm keeps user.* attributes";
    }
    ASSERT_TRUE(SetDrive(u'S', "/dev/shm"));
    std::string name = "kiln-attr-" + std::to_string(::getpid());
    std::ofstream("/dev/shm/" + name) << "x";
    std::u16string path = u"S:\\" + Wide(name);
    EXPECT_EQ(GetFileAttributesW(path.c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    ::unlink(("/dev/shm/" + name).c_str());
    RemoveDrive(u'S');
}

TEST_F(NamesTest, VolumesAndDrives) {
    MakeDir("d");
    EXPECT_TRUE(GetLogicalDrives() & (1u << ('T' - 'A')));
    char16_t volume[64];
    ASSERT_TRUE(GetVolumePathNameW(Path("d").c_str(), volume, 64));
    EXPECT_EQ(std::u16string(volume), u"T:\\");
    ASSERT_TRUE(GetVolumePathNameW(LongPath("d").c_str(), volume, 64));
    EXPECT_EQ(std::u16string(volume), u"\\\\?\\T:\\");
    EXPECT_FALSE(GetVolumePathNameW(Path("d").c_str(), volume, 3));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(GetDiskFreeSpaceW(u"T:\\", &spc, &bps, &freeClusters, &total));
    EXPECT_GT(spc * bps, 0u);
    EXPECT_GT(total, 0u);
    ULARGE_INTEGER available, totalBytes, totalFree;
    ASSERT_TRUE(GetDiskFreeSpaceExW(Path("d").c_str(), &available, &totalBytes, &totalFree));
    EXPECT_GT(totalBytes.QuadPart, 0u);
    EXPECT_LE(available.QuadPart, totalFree.QuadPart);
    EXPECT_FALSE(GetDiskFreeSpaceExW(u"Q:\\", &available, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
}  // namespace kiln::platform::testing
