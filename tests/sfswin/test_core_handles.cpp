// SFS handles and the table of open objects.
#include "sfswin_test_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

std::vector<uint8_t> BytesOf(const QtBytes& b) {
    return {b.Data(), b.Data() + b.Size()};
}

TEST(SfsHandles, AreTheCounterInLittleEndianWithoutHighZeroBytes) {
    SfsHandles handles;
    std::vector<std::vector<uint8_t>> issued;
    for (int i = 0; i < 65536; ++i) issued.push_back(BytesOf(*handles.NextHandle()));
    EXPECT_EQ(issued[0], (std::vector<uint8_t>{0x01}));
    EXPECT_EQ(issued[254], (std::vector<uint8_t>{0xFF}));
    EXPECT_EQ(issued[255], (std::vector<uint8_t>{0x00, 0x01}));
    EXPECT_EQ(issued[256], (std::vector<uint8_t>{0x01, 0x01}));
    EXPECT_EQ(issued[65534], (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(issued[65535], (std::vector<uint8_t>{0x00, 0x00, 0x01}));
    std::sort(issued.begin(), issued.end());
    EXPECT_EQ(std::adjacent_find(issued.begin(), issued.end()), issued.end()) << "reused";
}

std::unique_ptr<FsObj> Dir(RefPtr<QtBytes> handle, std::u16string_view path = u"C:\\d") {
    return std::make_unique<FsDir>(MakeStr(u"/d"), MakeStr(path), std::move(handle), nullptr);
}

RefPtr<QtBytes> Handle(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> v(bytes);
    return MakeRef<QtBytes>(v.data(), v.size());
}

TEST(HandleTable, OrdersKeysAsUnsignedByteStrings) {
    HandleTable table;
    for (auto h : {Handle({0x02}), Handle({0x80}), Handle({0x01}), Handle({0x00, 0x01}),
                   Handle({0x01, 0x01}), Handle({0xFF})})
        table.Add(Dir(h));
    std::vector<std::vector<uint8_t>> order;
    table.ForEach([&](FsObj& o) { order.push_back(BytesOf(*o.Handle())); });
    EXPECT_EQ(order, (std::vector<std::vector<uint8_t>>{
                         {0x00, 0x01}, {0x01}, {0x01, 0x01}, {0x02}, {0x80}, {0xFF}}));
}

TEST(HandleTable, FindsAddsAndRemoves) {
    HandleTable table;
    table.Add(Dir(Handle({0x01})));
    EXPECT_NE(table.Find(*Handle({0x01})), nullptr);
    EXPECT_EQ(table.Find(*Handle({0x01, 0x00})), nullptr);
    EXPECT_EQ(table.Find(QtBytes()), nullptr);
    try {
        table.Add(Dir(Handle({0x01})));
        ADD_FAILURE() << "duplicate accepted";
    } catch (const KilnComponent::Exit& exit) {
        EXPECT_EQ(exit.cls, ErrCls::Kiln);
        EXPECT_EQ(S(exit.Description()),
                  u"KilnSfsWin: Adding FS object failed: The associated handle is already used");
    }
    table.Remove(*Handle({0x01}));
    EXPECT_EQ(table.Size(), 0u);
    try {
        table.Remove(*Handle({0x01}));
        ADD_FAILURE() << "unknown handle removed";
    } catch (const KilnComponent::Exit& exit) {
        EXPECT_EQ(S(exit.Description()),
                  u"KilnSfsWin: Removing FS object failed: The provided handle does not exist");
    }
}

TEST(FsObj, KindsAndDescriptions) {
    FsFile file(MakeStr(u"/f"), MakeStr(u"C:\\f"), Handle({1}), nullptr);
    FsDir dir(MakeStr(u"/d"), MakeStr(u"C:\\d"), Handle({2}), nullptr);
    FsRoot root(MakeStr(u"/"), MakeStr(u""), Handle({3}), nullptr);
    EXPECT_EQ(file.AsFile(), &file);
    EXPECT_EQ(file.AsDir(), nullptr);
    EXPECT_EQ(file.AsRoot(), nullptr);
    EXPECT_EQ(dir.AsDir(), &dir);
    EXPECT_EQ(dir.AsFile(), nullptr);
    EXPECT_EQ(root.AsRoot(), &root);
    EXPECT_EQ(root.AsFile(), nullptr);
    EXPECT_EQ(S(file.Description()), u"file 'C:\\f'");
    EXPECT_EQ(S(dir.Description()), u"directory 'C:\\d'");
    EXPECT_EQ(S(root.Description()), u"logical drives");
    EXPECT_EQ(root.m_driveLetter, u'A');
    EXPECT_TRUE(dir.m_firstBatch);
}

TEST(FsFile, ClosesItsWindowsHandleOnce) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    {
        FsFile file(MakeStr(u"/f"), MakeStr(u"C:\\f"), Handle({1}), nullptr);
        file.m_file = event;
    }
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event)) << "the file did not close its handle";
    // The invalid-handle value is never passed to CloseHandle.
    FsFile untouched(MakeStr(u"/f"), MakeStr(u"C:\\f"), Handle({2}), nullptr);
    EXPECT_EQ(untouched.m_file, INVALID_HANDLE_VALUE);
}

struct ExtractCase {
    SfsRequest type;
    std::function<RefPtr<QuantumS>(RefPtr<QtBytes>)> content;
    SfsLogCode logCode;
    std::u16string logText;
};

template <class T>
std::function<RefPtr<QuantumS>(RefPtr<QtBytes>)> WithHandle() {
    return [](RefPtr<QtBytes> handle) -> RefPtr<QuantumS> {
        auto content = MakeRef<T>();
        content->m_handle = std::move(handle);
        return content;
    };
}

class ExtractTest : public testing::TestWithParam<ExtractCase> {};

// A handle that was closed is never issued again, so it names nothing.
TEST_P(ExtractTest, ClosedHandleAnswersInvalidHandle) {
    const ExtractCase& c = GetParam();
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    run.Sync();
    KilnSfsWin& provider = run.Provider();
    RefPtr<QtBytes> handle = provider.NextHandle();
    provider.Handles().Add(Dir(handle));
    FsObj& found = provider.Extract(*run.MakeRequest(c.type, c.content(handle)));
    EXPECT_EQ(found.Handle().get(), handle.get());
    provider.Handles().Remove(*handle);

    try {
        provider.Extract(*run.MakeRequest(c.type, c.content(handle)));
        ADD_FAILURE() << "closed handle found";
    } catch (const RefPtr<QtSfsStatus>& status) {
        EXPECT_EQ(status->m_statusCode, SfsStatusCode::InvalidHandle);
        EXPECT_EQ(S(status->m_errorMessage), u"The handle is invalid.");
    }
    ASSERT_TRUE(run.Host().WaitForCount<QtSfsLog>(2));
    RefPtr<QtSfsLog> log = run.Logs().back();
    EXPECT_EQ(log->m_type, SfsLogType::Error);
    EXPECT_EQ(log->m_code, c.logCode);
    EXPECT_EQ(S(log->m_message), c.logText);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExtractTest,
    testing::Values(
        ExtractCase{SfsRequest::Close, WithHandle<QtSfsClose>(), SfsLogCode::Close,
                    u"KilnSfsWin: Closing handle failed with InvalidHandle."},
        ExtractCase{SfsRequest::Read, WithHandle<QtSfsRead>(), SfsLogCode::Read,
                    u"KilnSfsWin: Reading file failed with InvalidHandle."},
        ExtractCase{SfsRequest::Write, WithHandle<QtSfsWrite>(), SfsLogCode::Write,
                    u"KilnSfsWin: Writing file failed with InvalidHandle."},
        ExtractCase{SfsRequest::FStat, WithHandle<QtSfsFStat>(), SfsLogCode::Stat,
                    u"KilnSfsWin: Reading attributes failed with InvalidHandle."},
        ExtractCase{SfsRequest::FSetStat, WithHandle<QtSfsFSetStat>(), SfsLogCode::SetStat,
                    u"KilnSfsWin: Writing attributes failed with InvalidHandle."},
        ExtractCase{SfsRequest::ReadDir, WithHandle<QtSfsReadDir>(), SfsLogCode::ReadDir,
                    u"KilnSfsWin: Listing directory failed with InvalidHandle."},
        ExtractCase{SfsRequest::Block, WithHandle<QtSfsBlock>(), SfsLogCode::Block,
                    u"KilnSfsWin: Blocking file failed with InvalidHandle."},
        ExtractCase{SfsRequest::Unblock, WithHandle<QtSfsUnblock>(), SfsLogCode::Unblock,
                    u"KilnSfsWin: Unblocking file failed with InvalidHandle."},
        ExtractCase{SfsRequest::TextSeek, WithHandle<QtSfsTextSeek>(), SfsLogCode::TextSeek,
                    u"KilnSfsWin: Moving position of text file failed with InvalidHandle."},
        ExtractCase{SfsRequest::CheckFileHandle, WithHandle<QtSfsCheckFileHandle>(),
                    SfsLogCode::CheckFile,
                    u"KilnSfsWin: Hashing file failed with InvalidHandle."}));

TEST(Extract, RequestWithoutHandleStopsTheProvider) {
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    run.Sync();
    try {
        run.Provider().Extract(*run.MakeRequest(SfsRequest::Open, MakeRef<QtSfsOpen>()));
        ADD_FAILURE() << "no exit";
    } catch (const KilnComponent::Exit& exit) {
        EXPECT_EQ(S(exit.Description()),
                  u"KilnSfsWin: Requested handle extraction for SfsRequest.Open packet");
    }
}

// The 256th handle, 00 01, sorts before the first, 01: the clean-up meets it
// first. Objects without a log port close silently.
TEST(Cleanup, ReportsEveryObjectInHandleOrder) {
    ProviderRun run;
    run.Init({{u"MountPath", u"/"}});
    run.Sync();
    KilnSfsWin& provider = run.Provider();
    RefPtr<QtOutPort<QtSfsLog>> log = run.Host().ReplyPort<QtSfsLog>();
    std::vector<RefPtr<QtBytes>> handles;
    for (int i = 0; i < 256; ++i) handles.push_back(provider.NextHandle());

    auto file = std::make_unique<FsFile>(MakeStr(u"/f"), MakeStr(u"C:\\f"), handles[0], log);
    file->m_accounting.RecordRead(0, 100);
    auto transfer = run.Host().ReplyPort<QtSfsNotifyFileTransfer>();
    file->m_outFileTransfer = transfer;
    provider.Handles().Add(std::move(file));
    provider.Handles().Add(
        std::make_unique<FsDir>(MakeStr(u"/d"), MakeStr(u"C:\\d"), handles[255], log));
    provider.Handles().Add(std::make_unique<FsRoot>(MakeStr(u"/"), MakeStr(u""), handles[1], log));
    provider.Handles().Add(
        std::make_unique<FsDir>(MakeStr(u"/q"), MakeStr(u"C:\\q"), handles[2], nullptr));

    run.Host().Send(MakeRef<QtEof>());
    EXPECT_EQ(run.Finish().kind, RunOutcome::Kind::Returned);

    std::vector<std::u16string> texts;
    for (const RefPtr<QtSfsLog>& l : run.Logs()) {
        if (l->m_code != SfsLogCode::CloseCleanup) continue;
        EXPECT_EQ(l->m_type, SfsLogType::Info);
        texts.push_back(S(l->m_message));
    }
    EXPECT_EQ(texts, (std::vector<std::u16string>{
                         u"KilnSfsWin: Cleanup closed directory 'C:\\d'. Registered 0 successful "
                         u"operations.",
                         u"KilnSfsWin: Cleanup closed file 'C:\\f'. Registered 1 successful "
                         u"operation. Downloaded 100 bytes in 1 operation.",
                         u"KilnSfsWin: Cleanup closed logical drives. Registered 0 successful "
                         u"operations."}));
    std::vector<RefPtr<QtSfsNotifyFileTransfer>> notes =
        run.Host().Received<QtSfsNotifyFileTransfer>();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(S(notes[0]->m_path), u"C:\\f");
    EXPECT_EQ(notes[0]->m_readBytes, 100u);
    EXPECT_EQ(provider.Handles().Size(), 0u);
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
