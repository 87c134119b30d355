// Names on disk that UTF-16 cannot carry as they are: each lists as a name of
// its own, and that name opens, renames and removes exactly its own file.
#include <dirent.h>

#include <map>
#include <set>

#include "files_test_support.h"
#include "platform/posix/names/name_mapping.h"

namespace kiln::platform::testing {
namespace {

class AwkwardNamesTest : public FilesTest {
  protected:
    std::set<std::string> DiskNames(std::string_view dir) const {
        std::set<std::string> names;
        DIR* d = ::opendir(Disk(dir).c_str());
        while (dirent* entry = d ? ::readdir(d) : nullptr) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        if (d) ::closedir(d);
        return names;
    }
    std::set<std::u16string> Listed(std::string_view dir) const {
        std::set<std::u16string> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((Path(dir) + u"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            std::u16string name = data.cFileName;
            if (name != u"." && name != u"..") names.insert(name);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return names;
    }
    std::string ReadAll(const std::u16string& path) const {
        ScopedHandle h(Open(path, GENERIC_READ));
        char buffer[64];
        DWORD n = 0;
        if (!h.valid() || !ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr)) return "<error>";
        return std::string(buffer, n);
    }
};

// Bytes that are not UTF-8, look-alikes of each other, characters that are
// themselves stand-ins, and characters that Windows names cannot carry.
const char* const kAwkwardNames[] = {
    "bad\xff",          // a stray byte...
    "bad\xef\xbf\xbd",  // ...and U+FFFD, which lossy decoding makes of it
    "up\xfe",
    "up\xff",
    "x\xef\x80\xba",  // U+F03A, the stand-in of ':'...
    "x:",             // ...and ':' itself
    "y\xef\x83\xbf",  // U+F0FF, the stand-in of byte 0xFF...
    "y\xff",          // ...and that byte
    "\xef\x80\x80",   // U+F000 and U+F02F: no stand-ins, ordinary
    "\xef\x80\xaf",
    "q?",
    "s*",
    "back\\slash",
    "a\"<>|b",
    "ctl\x01\x1f",
    "\xc0\xaf",           // overlong '/'
    "\xed\xa0\x80",       // an encoded surrogate
    "\xf4\x90\x80\x80",   // past U+10FFFF
    "cut\xe0\xa0",        // a truncated sequence
    "\xc3\xa9t\xc3\xa9",  // well-formed: itself
    "\xf0\x9f\x98\x80",   // a character outside the BMP
};

TEST_F(AwkwardNamesTest, EveryNameListsOpensRenamesAndRemovesItsOwnFile) {
    MakeDir("d");
    std::map<std::string, std::string> contentOf;
    for (const char* name : kAwkwardNames) {
        contentOf[name] = std::to_string(contentOf.size());
        MakeFile("d/" + std::string(name), contentOf[name]);
    }
    ASSERT_EQ(DiskNames("d").size(), std::size(kAwkwardNames));

    // Listed names are distinct, and each opens the file it came from.
    const std::set<std::u16string> listed = Listed("d");
    ASSERT_EQ(listed.size(), std::size(kAwkwardNames));
    std::map<std::u16string, std::string> diskNameOf;
    for (const auto& [disk, content] : contentOf) {
        const std::u16string wide = DiskNameToWindows(disk);
        EXPECT_EQ(listed.count(wide), 1u) << disk;
        EXPECT_EQ(ReadAll(Path("d") + u"\\" + wide), content) << disk;
        diskNameOf[wide] = disk;
    }

    // A rename by the listed name moves that file and no other; a removal by
    // the new name removes it and no other.
    size_t left = std::size(kAwkwardNames);
    for (const std::u16string& wide : listed) {
        const std::string& disk = diskNameOf[wide];
        SCOPED_TRACE(disk);
        const std::u16string from = Path("d") + u"\\" + wide;
        const std::u16string to = Path("d") + u"\\" + wide + u".r";
        ASSERT_TRUE(MoveFileExW(from.c_str(), to.c_str(), 0)) << GetLastError();
        EXPECT_FALSE(OnDisk("d/" + disk));
        EXPECT_EQ(Content("d/" + disk + ".r"), contentOf[disk]);
        ASSERT_TRUE(DeleteFileW(to.c_str())) << GetLastError();
        EXPECT_EQ(DiskNames("d").size(), --left);
    }

    // A name made through the API lands on disk as exactly the bytes it lists as.
    for (const char* name : kAwkwardNames) {
        ScopedHandle made(
            Open(Path("d") + u"\\" + DiskNameToWindows(name), GENERIC_WRITE, 0, CREATE_NEW));
        EXPECT_TRUE(made.valid()) << name;
        EXPECT_TRUE(OnDisk("d/" + std::string(name))) << name;
    }
    EXPECT_EQ(DiskNames("d").size(), std::size(kAwkwardNames));
}

TEST_F(AwkwardNamesTest, NamesThatNoNameOnDiskListsAsAreRefused) {
    MakeFile("\xc3\xa9", "e-acute");
    const std::u16string refused[] = {
        u"a\xD800"
        u"z",             // unpaired high surrogate
        u"a\xDC00",       // unpaired low surrogate
        u"\uF0C3\uF0A9",  // stand-ins of the bytes of U+00E9, which lists as itself
        std::u16string(u"n\0l", 3),
        u"a:b",  // ':' lists as U+F03A
    };
    for (const std::u16string& name : refused) {
        std::string disk;
        EXPECT_FALSE(WindowsNameToDisk(name, &disk));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        if (name.find(u'\0') == std::u16string::npos) {
            ScopedHandle h(Open(Path("") + name, GENERIC_READ, 7, OPEN_ALWAYS));
            EXPECT_FALSE(h.valid());
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        }
    }
    EXPECT_EQ(DiskNames("").size(), 1u);
    // Wildcards in a pattern stay wildcards; a stand-in of '*' is a literal star.
    MakeFile("star*", "s");
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((Path("") + u"star\uF02A").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"star\uF02A");
    EXPECT_FALSE(FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(FindFirstFileW((Path("") + u"\xe9\uF02A").c_str(), &data), INVALID_HANDLE_VALUE);
    find = FindFirstFileW((Path("") + u"\xe9*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"\xe9");
    FindClose(find);
}

}  // namespace
}  // namespace kiln::platform::testing
