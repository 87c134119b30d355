#include "sfs/transfer_accounting.h"

#include <limits>

#include "platform/win32.h"
#include "sfs/sfs_control.h"

namespace kiln {

namespace {

// Closed intervals: ranges that merely touch still make one contiguous run.
bool Touch(const TransferRange& slot, uint64_t begin, uint64_t end) {
    return begin <= slot.end && end >= slot.begin;
}

void AppendNumber(WString& text, uint64_t value) {
    text += NumberToText(value);
}

void AppendBytes(WString& text, uint64_t count) {
    AppendNumber(text, count);
    text += count == 1 ? u" byte" : u" bytes";
}

void AppendOperations(WString& text, uint64_t count) {
    AppendNumber(text, count);
    text += count == 1 ? u" operation." : u" operations.";
}

void AppendRegistered(WString& text, uint32_t registered) {
    text += u"Registered ";
    AppendNumber(text, registered);
    text += u" successful ";
    text += registered == 1 ? u"operation." : u"operations.";
}

// Summaries report a range when it covers at least this share of the bytes.
bool Dominates(uint64_t total, uint64_t part) {
    return static_cast<double>(total) * 0.7 <= static_cast<double>(part);
}

// " Downloaded 300 bytes starting at 100 in 3 operations." and the like.
void AppendRangeClause(WString& text, std::u16string_view verb, uint64_t length, uint64_t begin,
                       bool full, uint32_t operations) {
    text += verb;
    AppendBytes(text, length);
    if (begin != 0) {
        text += u" starting at ";
        AppendNumber(text, begin);
    }
    if (full) {
        text += u" in ";
        AppendOperations(text, operations);
    } else {
        text += u".";
    }
}

uint64_t Power10(unsigned exponent) {
    uint64_t value = 1;
    while (exponent-- > 0) value *= 10;
    return value;
}

}  // namespace

// ---- DirectionStats ---------------------------------------------------------

void DirectionStats::RecordRange(uint64_t position, uint64_t length) {
    ++m_registered;
    ++m_operations;
    m_bytes += length;
    // A transfer of nothing adds no bytes to any range, and letting it take a
    // slot would evict a real range.
    if (length == 0) return;

    const uint64_t begin = position;
    // Successful transfers never reach the end of the 64-bit space; saturate
    // rather than wrap if a caller ever says otherwise.
    const uint64_t end = length > std::numeric_limits<uint64_t>::max() - position
                             ? std::numeric_limits<uint64_t>::max()
                             : position + length;

    size_t merged = 0;
    size_t shortest = 0;
    for (size_t i = 0; i < kSlotCount; ++i) {
        TransferRange& slot = m_slots[i];
        if (!slot.Empty() && Touch(slot, begin, end)) {
            ++slot.operations;
            if (begin < slot.begin) slot.begin = begin;
            if (end > slot.end) slot.end = end;
            ++merged;
        }
        if (slot.Length() < m_slots[shortest].Length()) shortest = i;
    }

    if (merged == 0) {
        m_slots[shortest] = TransferRange{1, begin, end};
        return;
    }
    if (merged == 1) return;

    // The new range bridged several slots: they now overlap one another and
    // become one. The new operation was counted in each of them, so it is
    // taken off once for every slot folded away.
    for (size_t i = 0; i + 1 < kSlotCount; ++i) {
        for (size_t j = i + 1; j < kSlotCount; ++j) {
            TransferRange& a = m_slots[i];
            TransferRange& b = m_slots[j];
            if (a.Empty() || b.Empty() || !Touch(a, b.begin, b.end)) continue;
            a.operations = a.operations + b.operations - 1;
            if (b.begin < a.begin) a.begin = b.begin;
            if (b.end > a.end) a.end = b.end;
            b = TransferRange{};
        }
    }
}

void DirectionStats::RecordAppend(uint64_t length) {
    ++m_registered;
    ++m_operations;
    m_bytes += length;
    m_appendedBytes += length;
}

const TransferRange& DirectionStats::LongestRange() const {
    size_t longest = 0;
    for (size_t i = 1; i < kSlotCount; ++i)
        if (m_slots[i].Length() > m_slots[longest].Length()) longest = i;
    return m_slots[longest];
}

// ---- FileAccounting ---------------------------------------------------------

uint64_t SystemFileTimeNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

FileAccounting::FileAccounting(FileTimeClock clock)
    : m_clock(clock ? std::move(clock) : FileTimeClock(SystemFileTimeNow)), m_openTime(m_clock()) {}

uint64_t FileAccounting::FixCloseTime() {
    if (m_closeTime == 0) m_closeTime = m_clock();
    return m_closeTime;
}

uint64_t FileAccounting::OpenDuration() {
    const uint64_t close = FixCloseTime();
    return close > m_openTime ? close - m_openTime : 0;
}

RefPtr<QtSfsNotifyFileTransfer> FileAccounting::MakeNotification(std::u16string_view path) {
    RefPtr<QtSfsNotifyFileTransfer> notification = MakeRef<QtSfsNotifyFileTransfer>();
    notification->m_path = MakeStr(path);
    notification->m_openTimer = OpenDuration();
    notification->m_readBytes = m_reads.Bytes();
    notification->m_writeBytes = m_writes.Bytes();
    notification->m_writeBytesAppended = m_writes.AppendedBytes();
    const TransferRange& read = m_reads.LongestRange();
    notification->m_readMaxRangeBeg = read.begin;
    notification->m_readMaxRangeEnd = read.end;
    const TransferRange& write = m_writes.LongestRange();
    notification->m_writeMaxRangeBeg = write.begin;
    notification->m_writeMaxRangeEnd = write.end;
    return notification;
}

WString FileAccounting::Summary() {
    WString text;
    AppendRegistered(text, m_registered);

    const uint64_t readBytes = m_reads.Bytes();
    if (readBytes != 0) {
        const TransferRange& longest = m_reads.LongestRange();
        const bool full = longest.Length() == readBytes;
        if (!full) {
            text += u" ";
            AppendBytes(text, readBytes);
            text += u" read in ";
            AppendOperations(text, m_reads.Operations());
        }
        if (Dominates(readBytes, longest.Length()))
            AppendRangeClause(text, u" Downloaded ", longest.Length(), longest.begin, full,
                              m_reads.Operations());
    }

    const uint64_t writeBytes = m_writes.Bytes();
    if (writeBytes != 0) {
        const TransferRange& longest = m_writes.LongestRange();
        const uint64_t appended = m_writes.AppendedBytes();
        const bool full = longest.Length() == writeBytes || appended == writeBytes;
        if (!full) {
            text += u" ";
            AppendBytes(text, writeBytes);
            text += u" written in ";
            AppendOperations(text, m_writes.Operations());
        }
        if (Dominates(writeBytes, longest.Length()))
            AppendRangeClause(text, u" Uploaded ", longest.Length(), longest.begin, full,
                              m_writes.Operations());
        if (Dominates(writeBytes, appended)) {
            text += u" Appended ";
            AppendBytes(text, appended);
            if (full) {
                text += u" in ";
                AppendOperations(text, m_writes.Operations());
            } else {
                text += u".";
            }
        }
    }

    // A rate over a shorter time says more about timer resolution than about
    // the transfer.
    const uint64_t elapsed = OpenDuration();
    if (elapsed >= 30'000'000) {
        const uint64_t seconds = elapsed / 10'000'000;
        const uint64_t rate = (readBytes + writeBytes) / seconds;
        text += u" Speed ";
        text += rate == 0 ? WString(u" below 1 B/s") : FormatTransferRate(rate);
        text += u".";
    }
    return text;
}

// ---- ListingAccounting ------------------------------------------------------

void ListingAccounting::RecordListing(uint64_t entries) {
    ++m_registered;
    ++m_listingOperations;
    m_entries += entries;
}

WString ListingAccounting::Summary() const {
    WString text;
    AppendRegistered(text, m_registered);
    if (m_listingOperations != 0) {
        text += u" Listed ";
        AppendNumber(text, m_entries);
        text += m_entries == 1 ? u" entry" : u" entries";
        text += u" in ";
        AppendOperations(text, m_listingOperations);
    }
    return text;
}

// ---- Rate -------------------------------------------------------------------

WString FormatTransferRate(uint64_t bytesPerSecond) {
    static constexpr const char16_t* kUnits[] = {u"B/s", u"kB/s", u"MB/s", u"GB/s", u"TB/s"};
    const uint64_t rate = bytesPerSecond;
    unsigned unit = 0;
    uint64_t whole = rate;
    while (whole > 1099 && unit < 4) {
        ++unit;
        whole = rate / Power10(3 * unit);
    }
    WString text = NumberToText(whole);
    if (unit > 0 && whole < 10) {
        const uint64_t hundredths = (rate / Power10(3 * unit - 2)) % 100;
        text += u".";
        if (hundredths < 10) text += u"0";
        AppendNumber(text, hundredths);
    } else if (unit > 0 && whole < 100) {
        text += u".";
        AppendNumber(text, (rate / Power10(3 * unit - 1)) % 10);
    }
    text += u" ";
    text += kUnits[unit];
    return text;
}

}  // namespace kiln
