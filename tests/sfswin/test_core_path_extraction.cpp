// The first step of path-based handlers: a bad path is logged and answered
// NoSuchPath, with the reason in the log only.
#include "sfswin_test_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

class PathExtractionTest : public testing::Test {
  protected:
    void SetUp() override {
        m_run.Init({{u"MountPath", u"/"}, {u"RootPath", m_root.WinPath()}});
        m_run.Sync();
    }

    // Runs the extraction; expects NoSuchPath and returns the Error log text.
    template <class Extract>
    std::u16string Refusal(const RefPtr<QtSfsRequest>& request, Extract extract, SfsLogCode code) {
        size_t before = m_run.Logs().size();
        try {
            extract(*request);
            ADD_FAILURE() << "path accepted";
            return u"";
        } catch (const RefPtr<QtSfsStatus>& status) {
            EXPECT_EQ(status->m_statusCode, SfsStatusCode::NoSuchPath);
            EXPECT_EQ(S(status->m_errorMessage), u"The file path does not exist or is invalid.");
        }
        EXPECT_TRUE(m_run.Host().WaitForCount<QtSfsLog>(before + 1));
        RefPtr<QtSfsLog> log = m_run.Logs().back();
        EXPECT_EQ(log->m_type, SfsLogType::Error);
        EXPECT_EQ(log->m_code, code);
        return S(log->m_message);
    }

    std::u16string R() const { return m_root.WinPath(); }

    TempRoot m_root;
    ProviderRun m_run;
};

struct SingleCase {
    SfsRequest type;
    std::function<RefPtr<QuantumS>(const char16_t*)> content;
    SfsLogCode code;
    std::u16string operation;
};

template <class T, RefPtr<QtStr> T::*Field>
std::function<RefPtr<QuantumS>(const char16_t*)> WithPath() {
    return [](const char16_t* path) -> RefPtr<QuantumS> {
        auto content = MakeRef<T>();
        (*content).*Field = MakeStr(path);
        return content;
    };
}

const SingleCase kSingleCases[] = {
    {SfsRequest::Open, WithPath<QtSfsOpen, &QtSfsOpen::m_fileName>(), SfsLogCode::Open,
     u"Opening file"},
    {SfsRequest::SetStat, WithPath<QtSfsSetStat, &QtSfsSetStat::m_path>(), SfsLogCode::SetStat,
     u"Writing attributes for"},
    {SfsRequest::OpenDir, WithPath<QtSfsOpenDir, &QtSfsOpenDir::m_path>(), SfsLogCode::OpenDir,
     u"Opening directory"},
    {SfsRequest::Remove, WithPath<QtSfsRemove, &QtSfsRemove::m_fileName>(), SfsLogCode::Remove,
     u"Removing file"},
    {SfsRequest::MkDir, WithPath<QtSfsMkDir, &QtSfsMkDir::m_path>(), SfsLogCode::MkDir,
     u"Creating directory"},
    {SfsRequest::RmDir, WithPath<QtSfsRmDir, &QtSfsRmDir::m_path>(), SfsLogCode::RmDir,
     u"Removing directory"},
    {SfsRequest::RealPath, WithPath<QtSfsRealPath, &QtSfsRealPath::m_originalPath>(),
     SfsLogCode::RealPath, u"Querying real path for"},
    {SfsRequest::Stat, WithPath<QtSfsStat, &QtSfsStat::m_path>(), SfsLogCode::Stat,
     u"Reading attributes for"},
    {SfsRequest::ReadLink, WithPath<QtSfsReadLink, &QtSfsReadLink::m_path>(), SfsLogCode::ReadLink,
     u"Resolving symbolic link"},
    {SfsRequest::CheckFileName, WithPath<QtSfsCheckFileName, &QtSfsCheckFileName::m_fileName>(),
     SfsLogCode::CheckFile, u"Hashing file"},
    {SfsRequest::SpaceAvail, WithPath<QtSfsSpaceAvail, &QtSfsSpaceAvail::m_path>(),
     SfsLogCode::SpaceAvail, u"Querying available space on"},
};

TEST_F(PathExtractionTest, EveryPathRequestRefusesABadPath) {
    KilnSfsWin& provider = m_run.Provider();
    auto extract = [&](const QtSfsRequest& r) { provider.ExtractSfsPath(r); };
    for (const SingleCase& c : kSingleCases) {
        SCOPED_TRACE(Narrow(c.operation));
        EXPECT_EQ(S(provider.ExtractSfsPath(*m_run.MakeRequest(c.type, c.content(u"/a/b")))),
                  R() + u"\\a\\b");
        EXPECT_EQ(Refusal(m_run.MakeRequest(c.type, c.content(u"/a|b")), extract, c.code),
                  u"KilnSfsWin: " + c.operation + u" '" + R() +
                      u"\\a|b' failed with NoSuchPath. Path is invalid.");
    }
}

// Dot components are refused before anything touches the disk, whatever the
// handler would have done with the path.
TEST_F(PathExtractionTest, DotComponentsNeverReachTheDisk) {
    KilnSfsWin& provider = m_run.Provider();
    auto extract = [&](const QtSfsRequest& r) { provider.ExtractSfsPath(r); };
    for (const char16_t* path : {u"/../etc", u"/a/../../etc", u"/./x", u"/.."}) {
        std::u16string windows = R() + path;
        for (char16_t& ch : windows)
            if (ch == u'/') ch = u'\\';
        EXPECT_EQ(Refusal(m_run.MakeRequest(SfsRequest::Remove, kSingleCases[3].content(path)),
                          extract, SfsLogCode::Remove),
                  u"KilnSfsWin: Removing file '" + windows +
                      u"' failed with NoSuchPath. Path is invalid.");
    }
}

TEST_F(PathExtractionTest, OtherRequestTypesStopTheProvider) {
    try {
        m_run.Provider().ExtractSfsPath(
            *m_run.MakeRequest(SfsRequest::Close, MakeRef<QtSfsClose>()));
        ADD_FAILURE() << "no exit";
    } catch (const KilnComponent::Exit& exit) {
        EXPECT_EQ(S(exit.Description()),
                  u"KilnSfsWin: Requested path extraction for SfsRequest.Close packet");
    }
    try {
        m_run.Provider().ExtractSfsPaths(
            *m_run.MakeRequest(SfsRequest::Stat, MakeRef<QtSfsStat>()));
        ADD_FAILURE() << "no exit";
    } catch (const KilnComponent::Exit& exit) {
        EXPECT_EQ(S(exit.Description()),
                  u"KilnSfsWin: Requested paths extraction for SfsRequest.Stat packet");
    }
}

RefPtr<QuantumS> Rename(const char16_t* from, const char16_t* to) {
    auto rename = MakeRef<QtSfsRename>();
    rename->m_oldPath = MakeStr(from);
    rename->m_newPath = MakeStr(to);
    return rename;
}

RefPtr<QuantumS> Link(const char16_t* newLink, const char16_t* existing, bool symbolic) {
    auto link = MakeRef<QtSfsLink>();
    link->m_newLinkPath = MakeStr(newLink);
    link->m_existingPath = MakeStr(existing);
    link->m_symlink = symbolic;
    return link;
}

TEST_F(PathExtractionTest, RenameReportsBothPaths) {
    KilnSfsWin& provider = m_run.Provider();
    auto extract = [&](const QtSfsRequest& r) { provider.ExtractSfsPaths(r); };
    KilnSfsWin::PathPair ok =
        provider.ExtractSfsPaths(*m_run.MakeRequest(SfsRequest::Rename, Rename(u"/a", u"/b")));
    EXPECT_EQ(S(ok.first), R() + u"\\a");
    EXPECT_EQ(S(ok.second), R() + u"\\b");

    EXPECT_EQ(Refusal(m_run.MakeRequest(SfsRequest::Rename, Rename(u"/a*", u"/b?")), extract,
                      SfsLogCode::Rename),
              u"KilnSfsWin: Moving '" + R() + u"\\a*' to '" + R() +
                  u"\\b?' failed with NoSuchPath. Old path is invalid. New path is invalid.");
    EXPECT_EQ(Refusal(m_run.MakeRequest(SfsRequest::Rename, Rename(u"/a", u"/..")), extract,
                      SfsLogCode::Rename),
              u"KilnSfsWin: Moving '" + R() + u"\\a' to '" + R() +
                  u"\\..' failed with NoSuchPath. New path is invalid.");
}

TEST_F(PathExtractionTest, LinkReportsBothPaths) {
    KilnSfsWin& provider = m_run.Provider();
    auto extract = [&](const QtSfsRequest& r) { provider.ExtractSfsPaths(r); };
    KilnSfsWin::PathPair ok =
        provider.ExtractSfsPaths(*m_run.MakeRequest(SfsRequest::Link, Link(u"/l", u"/t", true)));
    EXPECT_EQ(S(ok.first), R() + u"\\l");
    EXPECT_EQ(S(ok.second), R() + u"\\t");

    EXPECT_EQ(Refusal(m_run.MakeRequest(SfsRequest::Link, Link(u"/l|", u"/t>", true)), extract,
                      SfsLogCode::Link),
              u"KilnSfsWin: Creating symbolic link '" + R() + u"\\l|' to '" + R() +
                  u"\\t>' failed with NoSuchPath.  New link path is invalid. Existing path is "
                  u"invalid.");
    EXPECT_EQ(Refusal(m_run.MakeRequest(SfsRequest::Link, Link(u"/l", u"/t|", false)), extract,
                      SfsLogCode::Link),
              u"KilnSfsWin: Creating hard link '" + R() + u"\\l' to '" + R() +
                  u"\\t|' failed with NoSuchPath.  Existing path is invalid.");
}

TEST(PathExtraction, MembersMapAgainstTheProvidersRoot) {
    TempRoot root;
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}, {u"RootPath", root.WinPath()}});
    run.Sync();
    MappedPath mapped = run.Provider().MapSfsPath(u"/x");
    EXPECT_EQ(mapped.check, PathCheck::Valid);
    EXPECT_EQ(run.Provider().CheckWinPath(u"D:\\x"), PathCheck::Outside);
    EXPECT_EQ(S(run.Provider().CallPath(root.WinPath() + u"\\x")),
              u"\\\\?\\" + root.WinPath() + u"\\x");
    EXPECT_EQ(S(run.Provider().CallPath(u"C:\\")), u"C:\\");
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
