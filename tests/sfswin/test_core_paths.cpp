// Path mapping: SFS paths to Windows paths below the root and back.
#include <gtest/gtest.h>

#include <string>

#include "component/kiln_component.h"
#include "sfswin/path_mapping.h"

namespace kiln::KilnSfsWin {
namespace {

std::u16string S(const WString& w) {
    return std::u16string(w.sv());
}

const char* Name(PathCheck check) {
    switch (check) {
        case PathCheck::Valid:
            return "Valid";
        case PathCheck::DriveRoot:
            return "DriveRoot";
        case PathCheck::Invalid:
            return "Invalid";
        case PathCheck::Outside:
            return "Outside";
    }
    return "?";
}

struct MapCase {
    std::u16string root;
    std::u16string sfs;
    PathCheck check;
    std::u16string win;
};

void PrintTo(const MapCase& c, std::ostream* os) {
    *os << Narrow(c.root) << " + " << Narrow(c.sfs) << " -> " << Name(c.check);
}

class MapSfsPathTest : public testing::TestWithParam<MapCase> {};

TEST_P(MapSfsPathTest, GivesTheWindowsPathAndItsCheck) {
    const MapCase& c = GetParam();
    MappedPath mapped = MapSfsPath(c.root, c.sfs);
    EXPECT_STREQ(Name(mapped.check), Name(c.check));
    EXPECT_EQ(S(mapped.path), c.win);
}

INSTANTIATE_TEST_SUITE_P(
    RootData, MapSfsPathTest,
    testing::Values(MapCase{u"C:\\data", u"/", PathCheck::Valid, u"C:\\data"},
                    MapCase{u"C:\\data", u"/a/b", PathCheck::Valid, u"C:\\data\\a\\b"},
                    MapCase{u"C:\\data", u"/a|b", PathCheck::Invalid, u"C:\\data\\a|b"},
                    MapCase{u"C:\\data", u"/a<b", PathCheck::Invalid, u"C:\\data\\a<b"},
                    MapCase{u"C:\\data", u"/a\"b:c", PathCheck::Valid, u"C:\\data\\a\"b:c"},
                    MapCase{u"C:\\data", u"/...", PathCheck::Valid, u"C:\\data\\..."},
                    MapCase{u"C:\\data", u"/.profile", PathCheck::Valid, u"C:\\data\\.profile"}));

INSTANTIATE_TEST_SUITE_P(
    RootWithTrailingBackslash, MapSfsPathTest,
    testing::Values(MapCase{u"C:\\data\\", u"/a", PathCheck::Valid, u"C:\\data\\a"},
                    MapCase{u"C:\\data\\", u"/", PathCheck::Valid, u"C:\\data\\"},
                    MapCase{u"C:\\data\\", u"/a/b/", PathCheck::Valid, u"C:\\data\\a\\b\\"}));

INSTANTIATE_TEST_SUITE_P(
    EmptyRoot, MapSfsPathTest,
    testing::Values(MapCase{u"", u"/", PathCheck::Valid, u""},
                    MapCase{u"", u"/C", PathCheck::Valid, u"C:\\"},
                    MapCase{u"", u"/C/", PathCheck::Valid, u"C:\\"},
                    MapCase{u"", u"/C/x", PathCheck::Valid, u"C:\\x"},
                    MapCase{u"", u"/srv/share/x", PathCheck::Valid, u"\\\\srv\\share\\x"},
                    MapCase{u"", u"/srv/share", PathCheck::Valid, u"\\\\srv\\share"},
                    MapCase{u"", u"/ab", PathCheck::Invalid, u"\\\\ab"},
                    MapCase{u"", u"/srv", PathCheck::Invalid, u"\\\\srv"},
                    MapCase{u"", u"/srv/", PathCheck::Invalid, u"\\\\srv\\"},
                    MapCase{u"", u"//x", PathCheck::Invalid, u"\\\\\\x"}));

// The file system below resolves "..", so a path that names one must never
// reach it: the textual containment test cannot see where ".." leads.
INSTANTIATE_TEST_SUITE_P(
    DotComponents, MapSfsPathTest,
    testing::Values(MapCase{u"C:\\data", u"/../etc", PathCheck::Invalid, u"C:\\data\\..\\etc"},
                    MapCase{u"C:\\data", u"/a/../../etc", PathCheck::Invalid,
                            u"C:\\data\\a\\..\\..\\etc"},
                    MapCase{u"C:\\data", u"/./x", PathCheck::Invalid, u"C:\\data\\.\\x"},
                    MapCase{u"C:\\data", u"/..", PathCheck::Invalid, u"C:\\data\\.."},
                    MapCase{u"C:\\data", u"/a/.", PathCheck::Invalid, u"C:\\data\\a\\."},
                    MapCase{u"C:\\data\\", u"/..", PathCheck::Invalid, u"C:\\data\\.."},
                    MapCase{u"", u"/C/../x", PathCheck::Invalid, u"C:\\..\\x"},
                    MapCase{u"", u"/srv/../x", PathCheck::Invalid, u"\\\\srv\\..\\x"}));

TEST(MapSfsPath, RelativePathStopsTheProvider) {
    for (std::u16string path : {u"", u"a/b", u"C:\\x"}) {
        try {
            MapSfsPath(u"C:\\data", path);
            ADD_FAILURE() << "no exit for " << Narrow(path);
        } catch (const KilnComponent::Exit& exit) {
            EXPECT_EQ(exit.cls, ErrCls::Kiln);
            EXPECT_EQ(exit.code, 0u);
            EXPECT_EQ(S(exit.Description()),
                      u"KilnSfsWin: Unexpected SFS path received: Expecting absolute path");
        }
    }
}

struct CheckCase {
    std::u16string root;
    std::u16string path;
    PathCheck check;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << Narrow(c.root) << " : " << Narrow(c.path);
}

class CheckWinPathTest : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckWinPathTest, ClassifiesThePath) {
    EXPECT_STREQ(Name(CheckWinPath(GetParam().root, GetParam().path)), Name(GetParam().check));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckWinPathTest,
    testing::Values(CheckCase{u"", u"C:", PathCheck::Invalid},
                    CheckCase{u"", u"C:x", PathCheck::Invalid},
                    CheckCase{u"", u"\\:\\x", PathCheck::Invalid},
                    CheckCase{u"", u"Q:\\", PathCheck::Valid},
                    CheckCase{u"", u"\\\\s\\x", PathCheck::Valid},
                    CheckCase{u"", u"\\\\s\\", PathCheck::Invalid},
                    CheckCase{u"", u"\\\\s\\\\x", PathCheck::Invalid},
                    CheckCase{u"", u"\\\\\\s\\x", PathCheck::Invalid},
                    CheckCase{u"", u"\\\\server", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\a*b", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\a?b", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\a>b", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\a/b", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\a|b", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\a<b", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\a\\.", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\a\\..", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\.\\a", PathCheck::Invalid},
                    CheckCase{u"", u"C:\\...\\.x\\x.\\a..b\\..c", PathCheck::Valid},
                    CheckCase{u"", u"C:\\a\x01:b", PathCheck::Valid},
                    // Only ASCII letters fold when the root is compared.
                    CheckCase{u"C:\\Data", u"c:\\data\\x", PathCheck::Valid},
                    CheckCase{u"C:\\D\u00c4ta", u"C:\\d\u00e4ta\\x", PathCheck::Outside},
                    CheckCase{u"C:\\data", u"C:\\database", PathCheck::Outside},
                    CheckCase{u"C:\\data", u"C:\\dat", PathCheck::Outside},
                    CheckCase{u"C:\\data", u"D:\\data\\x", PathCheck::Outside},
                    CheckCase{u"C:\\data", u"C:\\data", PathCheck::Valid},
                    CheckCase{u"C:\\data\\", u"C:\\data\\x", PathCheck::Valid},
                    CheckCase{u"C:\\data\\", u"C:\\data", PathCheck::Outside},
                    CheckCase{u"\\\\srv\\share", u"\\\\SRV\\Share\\x", PathCheck::Valid},
                    CheckCase{u"\\\\srv\\share", u"\\\\srv\\shares", PathCheck::Outside}));

struct LongCase {
    std::u16string path;
    PathCheck check;
    std::u16string longPath;
};

class ToLongPathTest : public testing::TestWithParam<LongCase> {};

TEST_P(ToLongPathTest, AddsThePrefix) {
    MappedPath result = ToLongPath(u"", GetParam().path);
    EXPECT_STREQ(Name(result.check), Name(GetParam().check));
    EXPECT_EQ(S(result.path), GetParam().longPath);
}

INSTANTIATE_TEST_SUITE_P(Cases, ToLongPathTest,
                         testing::Values(LongCase{u"C:\\", PathCheck::DriveRoot, u"\\\\?\\C:\\"},
                                         LongCase{u"C:\\x", PathCheck::Valid, u"\\\\?\\C:\\x"},
                                         LongCase{u"\\\\srv\\share\\x", PathCheck::Valid,
                                                  u"\\\\?\\UNC\\srv\\share\\x"},
                                         LongCase{u"C:\\a|b", PathCheck::Invalid, u""},
                                         LongCase{u"C:\\..\\x", PathCheck::Invalid, u""}));

TEST(ToLongPath, KeepsOutsideApart) {
    EXPECT_EQ(ToLongPath(u"C:\\data", u"C:\\other").check, PathCheck::Outside);
}

class FromLongPathTest : public testing::TestWithParam<LongCase> {};

// Here `longPath` is the input and `path` the plain form expected.
TEST_P(FromLongPathTest, DropsThePrefix) {
    MappedPath result = FromLongPath(u"", GetParam().longPath);
    EXPECT_STREQ(Name(result.check), Name(GetParam().check));
    if (GetParam().check == PathCheck::Valid) {
        EXPECT_EQ(S(result.path), GetParam().path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FromLongPathTest,
    testing::Values(LongCase{u"\\\\srv\\share\\x", PathCheck::Valid, u"\\\\?\\UNC\\srv\\share\\x"},
                    LongCase{u"\\\\srv\\share\\x", PathCheck::Valid, u"\\\\?\\unc\\srv\\share\\x"},
                    LongCase{u"C:\\x", PathCheck::Valid, u"\\\\?\\C:\\x"},
                    LongCase{u"", PathCheck::Invalid, u"\\\\.\\x"},
                    LongCase{u"", PathCheck::Invalid, u"\\\\?\\"},
                    LongCase{u"", PathCheck::Invalid, u"\\\\?"},
                    LongCase{u"", PathCheck::Invalid, u"//?/C:\\x"},
                    LongCase{u"", PathCheck::Invalid, u"\\\\?\\C:\\..\\x"}));

TEST(FromLongPath, ChecksContainment) {
    EXPECT_EQ(FromLongPath(u"C:\\data", u"\\\\?\\C:\\etc\\passwd").check, PathCheck::Outside);
    MappedPath inside = FromLongPath(u"C:\\data", u"\\\\?\\C:\\data\\f");
    EXPECT_EQ(inside.check, PathCheck::Valid);
    EXPECT_EQ(S(inside.path), u"C:\\data\\f");
}

struct BackCase {
    std::u16string root;
    std::u16string win;
    std::u16string sfs;
};

class MapWinPathToSfsTest : public testing::TestWithParam<BackCase> {};

TEST_P(MapWinPathToSfsTest, GivesTheSfsPath) {
    EXPECT_EQ(S(MapWinPathToSfs(GetParam().root, GetParam().win)), GetParam().sfs);
}

INSTANTIATE_TEST_SUITE_P(Cases, MapWinPathToSfsTest,
                         testing::Values(BackCase{u"", u"C:\\dir", u"/C/dir"},
                                         BackCase{u"", u"C:\\", u"/C/"},
                                         BackCase{u"C:\\data", u"C:\\data\\x", u"/x"},
                                         BackCase{u"C:\\data", u"C:\\data", u"/"},
                                         BackCase{u"C:\\data\\", u"C:\\data\\x\\y", u"/x/y"},
                                         BackCase{u"C:\\data\\", u"C:\\data\\", u"/"},
                                         // MapSfsPath does not take this form back.
                                         BackCase{u"", u"\\\\srv\\share\\x", u"//srv/share/x"}));

TEST(PathMapping, BelowRootRoundTrips) {
    for (std::u16string root : {u"C:\\data", u"C:\\data\\", u""}) {
        for (std::u16string sfs : {u"/C/a/b", u"/C/x y/\u00e9t\u00e9"}) {
            MappedPath mapped = MapSfsPath(root, sfs);
            ASSERT_EQ(mapped.check, PathCheck::Valid) << Narrow(root) << Narrow(sfs);
            EXPECT_EQ(S(MapWinPathToSfs(root, mapped.path)), sfs) << Narrow(root);
        }
    }
}

}  // namespace
}  // namespace kiln::KilnSfsWin
