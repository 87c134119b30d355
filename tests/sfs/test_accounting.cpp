#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "sfs/sfs_control.h"
#include "sfs/transfer_accounting.h"

namespace kiln {
namespace {

std::u16string Text(const WString& s) {
    return std::u16string(s.sv());
}

// A clock that stands still until the test moves it.
struct ManualClock {
    uint64_t now = 133'000'000'000'000'000;  // some day in 2022, in FILETIME units
    FileTimeClock Get() {
        return [this] { return now; };
    }
};

constexpr uint64_t kSecond = 10'000'000;

// ---- Range slots -------------------------------------------------------------

struct Transfer {
    uint64_t position;
    uint64_t length;
};

struct SlotCase {
    const char* name;
    std::vector<Transfer> reads;
    std::vector<TransferRange> slots;  // all five, in order
    TransferRange longest;
};

class RangeSlotsTest : public testing::TestWithParam<SlotCase> {};

TEST_P(RangeSlotsTest, MergesFoldsAndReplaces) {
    const SlotCase& c = GetParam();
    uint32_t registered = 0;
    DirectionStats stats(registered);
    uint64_t bytes = 0;
    for (const Transfer& t : c.reads) {
        stats.RecordRange(t.position, t.length);
        bytes += t.length;
    }
    EXPECT_EQ(registered, c.reads.size());
    EXPECT_EQ(stats.Operations(), c.reads.size());
    EXPECT_EQ(stats.Bytes(), bytes);
    EXPECT_EQ(stats.AppendedBytes(), 0u);
    ASSERT_EQ(c.slots.size(), DirectionStats::kSlotCount);
    for (size_t i = 0; i < DirectionStats::kSlotCount; ++i) {
        EXPECT_EQ(stats.Slots()[i].operations, c.slots[i].operations) << "slot " << i;
        EXPECT_EQ(stats.Slots()[i].begin, c.slots[i].begin) << "slot " << i;
        EXPECT_EQ(stats.Slots()[i].end, c.slots[i].end) << "slot " << i;
    }
    EXPECT_EQ(stats.LongestRange(), c.longest);
}

const TransferRange kEmpty{};

INSTANTIATE_TEST_SUITE_P(
    Accounting, RangeSlotsTest,
    testing::Values(
        SlotCase{"Nothing", {}, {kEmpty, kEmpty, kEmpty, kEmpty, kEmpty}, kEmpty},
        SlotCase{"ThreeAdjacentReadsMakeOneRange",
                 {{0, 100}, {100, 100}, {200, 100}},
                 {{3, 0, 300}, kEmpty, kEmpty, kEmpty, kEmpty},
                 {3, 0, 300}},
        SlotCase{"GapKeepsTwoSlots",
                 {{0, 100}, {200, 100}},
                 {{1, 0, 100}, {1, 200, 300}, kEmpty, kEmpty, kEmpty},
                 {1, 0, 100}},
        SlotCase{"BridgeMergesBothThenFolds",
                 {{0, 100}, {200, 100}, {100, 100}},
                 {{3, 0, 300}, kEmpty, kEmpty, kEmpty, kEmpty},
                 {3, 0, 300}},
        SlotCase{"BridgeFoldsIntoTheLowerSlot",
                 {{200, 100}, {0, 100}, {100, 100}},
                 {{3, 0, 300}, kEmpty, kEmpty, kEmpty, kEmpty},
                 {3, 0, 300}},
        SlotCase{"OneRangeSpanningThreeSlots",
                 {{0, 10}, {20, 10}, {40, 10}, {5, 40}},
                 {{4, 0, 50}, kEmpty, kEmpty, kEmpty, kEmpty},
                 {4, 0, 50}},
        SlotCase{"FoldedSlotIsReusedFirst",
                 {{0, 100}, {200, 100}, {100, 100}, {1000, 5}},
                 {{3, 0, 300}, {1, 1000, 1005}, kEmpty, kEmpty, kEmpty},
                 {3, 0, 300}},
        SlotCase{"OverlapAndContainment",
                 {{0, 100}, {50, 100}, {20, 10}},
                 {{3, 0, 150}, kEmpty, kEmpty, kEmpty, kEmpty},
                 {3, 0, 150}},
        SlotCase{"RangeEndingAtSlotBeginTouches",
                 {{100, 100}, {0, 100}},
                 {{2, 0, 200}, kEmpty, kEmpty, kEmpty, kEmpty},
                 {2, 0, 200}},
        SlotCase{"SixthDisjointReadReplacesTheShortest",
                 {{0, 10}, {100, 20}, {200, 30}, {300, 40}, {400, 50}, {500, 60}},
                 {{1, 500, 560}, {1, 100, 120}, {1, 200, 230}, {1, 300, 340}, {1, 400, 450}},
                 {1, 500, 560}},
        SlotCase{"ShortestInTheMiddleIsReplaced",
                 {{0, 50}, {100, 10}, {200, 40}, {300, 40}, {400, 50}, {500, 45}},
                 {{1, 0, 50}, {1, 500, 545}, {1, 200, 240}, {1, 300, 340}, {1, 400, 450}},
                 {1, 0, 50}},
        SlotCase{"EqualShortestTakesTheLowerSlot",
                 {{0, 40}, {100, 10}, {200, 10}, {300, 40}, {400, 50}, {500, 5}},
                 {{1, 0, 40}, {1, 500, 505}, {1, 200, 210}, {1, 300, 340}, {1, 400, 450}},
                 {1, 400, 450}},
        SlotCase{"EqualLongestIsTheLowerSlot",
                 {{0, 40}, {100, 50}, {200, 50}},
                 {{1, 0, 40}, {1, 100, 150}, {1, 200, 250}, kEmpty, kEmpty},
                 {1, 100, 150}},
        // An empty write must not cost a real range its slot.
        SlotCase{"ZeroLengthTransferKeepsTheSlots",
                 {{0, 10}, {100, 20}, {200, 30}, {300, 40}, {400, 50}, {1000, 0}},
                 {{1, 0, 10}, {1, 100, 120}, {1, 200, 230}, {1, 300, 340}, {1, 400, 450}},
                 {1, 400, 450}},
        SlotCase{
            "RangeAtTheTopOfTheSpaceSaturates",
            {{std::numeric_limits<uint64_t>::max() - 10, 100}},
            {{1, std::numeric_limits<uint64_t>::max() - 10, std::numeric_limits<uint64_t>::max()},
             kEmpty,
             kEmpty,
             kEmpty,
             kEmpty},
            {1, std::numeric_limits<uint64_t>::max() - 10, std::numeric_limits<uint64_t>::max()}}),
    [](const testing::TestParamInfo<SlotCase>& info) { return std::string(info.param.name); });

TEST(DirectionStatsTest, AppendsCountButTakeNoRange) {
    uint32_t registered = 0;
    DirectionStats writes(registered);
    writes.RecordAppend(30);
    writes.RecordRange(0, 10);
    writes.RecordAppend(5);
    EXPECT_EQ(registered, 3u);
    EXPECT_EQ(writes.Operations(), 3u);
    EXPECT_EQ(writes.Bytes(), 45u);
    EXPECT_EQ(writes.AppendedBytes(), 35u);
    EXPECT_EQ(writes.LongestRange(), (TransferRange{1, 0, 10}));
}

// ---- File summaries and notifications ----------------------------------------

struct SummaryCase {
    const char* name;
    void (*fill)(FileAccounting&);
    uint64_t openFor;  // 100-ns units between open and close
    std::u16string expected;
};

class FileSummaryTest : public testing::TestWithParam<SummaryCase> {};

TEST_P(FileSummaryTest, Wording) {
    const SummaryCase& c = GetParam();
    ManualClock clock;
    FileAccounting file(clock.Get());
    c.fill(file);
    clock.now += c.openFor;
    EXPECT_EQ(Text(file.Summary()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Accounting, FileSummaryTest,
    testing::Values(
        SummaryCase{"NothingDone", [](FileAccounting&) {}, 0,
                    u"Registered 0 successful operations."},
        SummaryCase{"OnlyStat", [](FileAccounting& f) { f.RecordOther(); }, 0,
                    u"Registered 1 successful operation."},
        SummaryCase{"ThreeAdjacentReads",
                    [](FileAccounting& f) {
                        f.RecordRead(0, 100);
                        f.RecordRead(100, 100);
                        f.RecordRead(200, 100);
                    },
                    2 * kSecond,
                    u"Registered 3 successful operations. Downloaded 300 bytes in 3 operations."},
        SummaryCase{"OneByte", [](FileAccounting& f) { f.RecordRead(0, 1); }, 0,
                    u"Registered 1 successful operation. Downloaded 1 byte in 1 operation."},
        SummaryCase{"FullReadNotAtTheStart", [](FileAccounting& f) { f.RecordRead(100, 50); }, 0,
                    u"Registered 1 successful operation. Downloaded 50 bytes starting at 100 in 1 "
                    u"operation."},
        SummaryCase{"TwoSeparateReads",
                    [](FileAccounting& f) {
                        f.RecordRead(0, 100);
                        f.RecordRead(200, 100);
                    },
                    0, u"Registered 2 successful operations. 200 bytes read in 2 operations."},
        SummaryCase{"MostlyOneRange",
                    [](FileAccounting& f) {
                        f.RecordRead(10, 40);
                        f.RecordRead(50, 40);
                        f.RecordRead(500, 10);
                    },
                    0,
                    u"Registered 3 successful operations. 90 bytes read in 3 operations. "
                    u"Downloaded 80 bytes starting at 10."},
        SummaryCase{"SeventyPercentExactly",
                    [](FileAccounting& f) {
                        f.RecordRead(0, 140);
                        f.RecordRead(300, 60);
                    },
                    0,
                    u"Registered 2 successful operations. 200 bytes read in 2 operations. "
                    u"Downloaded 140 bytes."},
        SummaryCase{"JustBelowSeventyPercent",
                    [](FileAccounting& f) {
                        f.RecordRead(0, 139);
                        f.RecordRead(300, 61);
                    },
                    0, u"Registered 2 successful operations. 200 bytes read in 2 operations."},
        SummaryCase{"ContiguousUpload",
                    [](FileAccounting& f) {
                        f.RecordWrite(0, 1);
                        f.RecordWrite(1, 1);
                    },
                    0, u"Registered 2 successful operations. Uploaded 2 bytes in 2 operations."},
        SummaryCase{"AppendOnly",
                    [](FileAccounting& f) {
                        f.RecordAppend(100);
                        f.RecordAppend(50);
                    },
                    0, u"Registered 2 successful operations. Appended 150 bytes in 2 operations."},
        SummaryCase{"SingleByteAppend", [](FileAccounting& f) { f.RecordAppend(1); }, 0,
                    u"Registered 1 successful operation. Appended 1 byte in 1 operation."},
        SummaryCase{"WriteThenSmallAppend",
                    [](FileAccounting& f) {
                        f.RecordWrite(0, 100);
                        f.RecordAppend(20);
                    },
                    0,
                    u"Registered 2 successful operations. 120 bytes written in 2 operations. "
                    u"Uploaded 100 bytes."},
        SummaryCase{"MostlyAppended",
                    [](FileAccounting& f) {
                        f.RecordWrite(5, 10);
                        f.RecordAppend(90);
                    },
                    0,
                    u"Registered 2 successful operations. 100 bytes written in 2 operations. "
                    u"Appended 90 bytes."},
        SummaryCase{"ReadsWritesAndStats",
                    [](FileAccounting& f) {
                        f.RecordOther();
                        f.RecordRead(0, 10);
                        f.RecordWrite(4096, 20);
                        f.RecordOther();
                    },
                    0,
                    u"Registered 4 successful operations. Downloaded 10 bytes in 1 operation. "
                    u"Uploaded 20 bytes starting at 4096 in 1 operation."},
        SummaryCase{"ThreeSecondsGetASpeed", [](FileAccounting& f) { f.RecordRead(0, 3300); },
                    3 * kSecond,
                    u"Registered 1 successful operation. Downloaded 3300 bytes in 1 operation. "
                    u"Speed 1.10 kB/s."},
        SummaryCase{"JustUnderThreeSecondsDoesNot",
                    [](FileAccounting& f) { f.RecordRead(0, 3300); }, 3 * kSecond - 1,
                    u"Registered 1 successful operation. Downloaded 3300 bytes in 1 operation."},
        SummaryCase{"TwoPointNineSeconds", [](FileAccounting& f) { f.RecordRead(0, 3300); },
                    29 * kSecond / 10,
                    u"Registered 1 successful operation. Downloaded 3300 bytes in 1 operation."},
        SummaryCase{"SlowTransfer",
                    [](FileAccounting& f) {
                        f.RecordRead(0, 1);
                        f.RecordWrite(0, 1);
                    },
                    3 * kSecond,
                    u"Registered 2 successful operations. Downloaded 1 byte in 1 operation. "
                    u"Uploaded 1 byte in 1 operation. Speed  below 1 B/s."},
        SummaryCase{"SecondsAreWhole",
                    [](FileAccounting& f) {
                        f.RecordRead(0, 1000);
                        f.RecordAppend(3000);
                    },
                    4 * kSecond - 1,  // 3 whole seconds: 1333 B/s, not 1000
                    u"Registered 2 successful operations. Downloaded 1000 bytes in 1 operation. "
                    u"Appended 3000 bytes in 1 operation. Speed 1.33 kB/s."},
        SummaryCase{"NothingMovedOverALongTime", [](FileAccounting& f) { f.RecordOther(); },
                    60 * kSecond, u"Registered 1 successful operation. Speed  below 1 B/s."}),
    [](const testing::TestParamInfo<SummaryCase>& info) { return std::string(info.param.name); });

TEST(FileAccountingTest, ClockGoingBackwardsGivesNoDurationAndNoSpeed) {
    ManualClock clock;
    FileAccounting file(clock.Get());
    file.RecordRead(0, 100);
    clock.now -= 10 * kSecond;
    EXPECT_EQ(file.OpenDuration(), 0u);
    EXPECT_EQ(Text(file.Summary()),
              u"Registered 1 successful operation. Downloaded 100 bytes in 1 operation.");
    EXPECT_EQ(file.MakeNotification(u"C:\\f")->m_openTimer, 0u);
}

TEST(FileAccountingTest, NotificationCarriesCountersAndLongestRanges) {
    ManualClock clock;
    FileAccounting file(clock.Get());
    EXPECT_FALSE(file.HasTransfer());
    file.RecordRead(0, 10);
    file.RecordRead(100, 50);
    file.RecordWrite(7, 3);
    file.RecordAppend(4);
    EXPECT_TRUE(file.HasTransfer());
    EXPECT_EQ(file.CloseTime(), 0u);
    clock.now += 12345;

    RefPtr<QtSfsNotifyFileTransfer> n = file.MakeNotification(u"C:\\data\\f.txt");
    ASSERT_TRUE(n);
    ASSERT_TRUE(n->m_path);
    EXPECT_EQ(std::u16string(n->m_path->sv()), u"C:\\data\\f.txt");
    EXPECT_EQ(n->m_openTimer, 12345u);
    EXPECT_EQ(n->m_readBytes, 60u);
    EXPECT_EQ(n->m_writeBytes, 7u);
    EXPECT_EQ(n->m_writeBytesAppended, 4u);
    EXPECT_EQ(n->m_readMaxRangeBeg, 100u);
    EXPECT_EQ(n->m_readMaxRangeEnd, 150u);
    EXPECT_EQ(n->m_writeMaxRangeBeg, 7u);
    EXPECT_EQ(n->m_writeMaxRangeEnd, 10u);

    // The close time is fixed once taken: a summary made later, after the
    // clock moved past three seconds, still belongs to the same close.
    const uint64_t closed = file.CloseTime();
    EXPECT_EQ(closed, file.OpenTime() + 12345);
    clock.now += 100 * kSecond;
    EXPECT_EQ(Text(file.Summary()).find(u"Speed"), std::u16string::npos);
    EXPECT_EQ(file.CloseTime(), closed);
}

TEST(FileAccountingTest, WriteOnlyNotificationHasEmptyReadRange) {
    ManualClock clock;
    FileAccounting file(clock.Get());
    file.RecordAppend(9);
    RefPtr<QtSfsNotifyFileTransfer> n = file.MakeNotification(u"C:\\x");
    EXPECT_EQ(n->m_readBytes, 0u);
    EXPECT_EQ(n->m_readMaxRangeBeg, 0u);
    EXPECT_EQ(n->m_readMaxRangeEnd, 0u);
    EXPECT_EQ(n->m_writeMaxRangeBeg, 0u);
    EXPECT_EQ(n->m_writeMaxRangeEnd, 0u);
    EXPECT_EQ(n->m_writeBytesAppended, 9u);
}

TEST(FileAccountingTest, SystemClockIsAFileTime) {
    // 2020-01-01 in FILETIME units; any machine running this is later.
    FileAccounting file;
    EXPECT_GT(file.OpenTime(), 132'223'104'000'000'000u);
}

// ---- Listing summaries -------------------------------------------------------

struct ListingCase {
    const char* name;
    std::vector<uint64_t> listings;
    int others;
    std::u16string expected;
};

class ListingSummaryTest : public testing::TestWithParam<ListingCase> {};

TEST_P(ListingSummaryTest, Wording) {
    const ListingCase& c = GetParam();
    ListingAccounting dir;
    for (uint64_t entries : c.listings) dir.RecordListing(entries);
    for (int i = 0; i < c.others; ++i) dir.RecordOther();
    EXPECT_EQ(Text(dir.Summary()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Accounting, ListingSummaryTest,
    testing::Values(
        ListingCase{"NeverListed", {}, 0, u"Registered 0 successful operations."},
        ListingCase{"OnlyStat", {}, 1, u"Registered 1 successful operation."},
        ListingCase{"TwoListingsAndAStat",
                    {25, 15},
                    1,
                    u"Registered 3 successful operations. Listed 40 entries in 2 operations."},
        ListingCase{"OneEntry",
                    {1},
                    0,
                    u"Registered 1 successful operation. Listed 1 entry in 1 operation."},
        ListingCase{"EmptyListing",
                    {0},
                    0,
                    u"Registered 1 successful operation. Listed 0 entries in 1 operation."}),
    [](const testing::TestParamInfo<ListingCase>& info) { return std::string(info.param.name); });

// ---- Rates ---------------------------------------------------------------------

TEST(TransferRateTest, Format) {
    const std::pair<uint64_t, std::u16string> cases[] = {
        {1, u"1 B/s"},
        {999, u"999 B/s"},
        {1099, u"1099 B/s"},
        {1100, u"1.10 kB/s"},
        {1234, u"1.23 kB/s"},
        {9999, u"9.99 kB/s"},
        {10'050, u"10.0 kB/s"},
        {12'345, u"12.3 kB/s"},
        {99'999, u"99.9 kB/s"},
        {123'456, u"123 kB/s"},
        {1'001'000, u"1001 kB/s"},
        {1'099'999, u"1099 kB/s"},
        {1'100'000, u"1.10 MB/s"},
        {2'050'000, u"2.05 MB/s"},
        {1'100'000'000, u"1.10 GB/s"},
        {45'600'000'000, u"45.6 GB/s"},
        {1'100'000'000'000, u"1.10 TB/s"},
        {5'000'000'000'000'000, u"5000 TB/s"},
        {std::numeric_limits<uint64_t>::max(), u"18446744 TB/s"},
    };
    for (const auto& [rate, text] : cases) EXPECT_EQ(Text(FormatTransferRate(rate)), text) << rate;
}

}  // namespace
}  // namespace kiln
