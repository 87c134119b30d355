// Transfer accounting: what an open file or directory counts while it is open
// and what those counts become when it closes, a transfer notification for
// the host and a one-line English summary for the close log record.
//
// Only the largest contiguous ranges matter to the people who read these
// summaries ("Downloaded 4 MB starting at 1 MB"), so each direction keeps
// five range slots: a new range merges into every slot it touches, and a
// range that touches none replaces the shortest slot.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

#include "nocrtlib/ncstring.h"
#include "nocrtlib/refptr.h"

namespace kiln {

class QtSfsNotifyFileTransfer;

// A contiguous byte range [begin, end) and the operations that made it up. A
// slot whose end equals its begin is empty.
struct TransferRange {
    uint32_t operations = 0;
    uint64_t begin = 0;
    uint64_t end = 0;

    uint64_t Length() const { return end - begin; }
    bool Empty() const { return end == begin; }
    friend bool operator==(const TransferRange&, const TransferRange&) = default;
};

// The counters of one direction (reads or writes) of one open file. Every
// operation recorded here also counts as a registered operation of the file.
class DirectionStats {
  public:
    static constexpr size_t kSlotCount = 5;

    explicit DirectionStats(uint32_t& registered) : m_registered(registered) {}
    DirectionStats(const DirectionStats&) = delete;
    DirectionStats& operator=(const DirectionStats&) = delete;

    // A successful transfer of `length` bytes at `position`.
    void RecordRange(uint64_t position, uint64_t length);
    // A successful append of `length` bytes: counted, but not a range, since
    // its position is wherever the end of the file was.
    void RecordAppend(uint64_t length);

    // The slot with the greatest length; the lower-numbered one on equal
    // lengths, slot 0 when all are empty.
    const TransferRange& LongestRange() const;

    uint32_t Operations() const { return m_operations; }
    uint64_t Bytes() const { return m_bytes; }
    uint64_t AppendedBytes() const { return m_appendedBytes; }
    const std::array<TransferRange, kSlotCount>& Slots() const { return m_slots; }

  private:
    uint32_t& m_registered;
    uint32_t m_operations = 0;
    uint64_t m_bytes = 0;
    uint64_t m_appendedBytes = 0;
    std::array<TransferRange, kSlotCount> m_slots{};
};

// System time as a Windows FILETIME value: 100-nanosecond units since
// 1601-01-01 UTC.
using FileTimeClock = std::function<uint64_t()>;
uint64_t SystemFileTimeNow();

// The counters of one open file.
class FileAccounting {
  public:
    // Takes the open time from the clock now. Tests pass a clock of their own.
    explicit FileAccounting(FileTimeClock clock = SystemFileTimeNow);
    FileAccounting(const FileAccounting&) = delete;
    FileAccounting& operator=(const FileAccounting&) = delete;

    void RecordRead(uint64_t position, uint64_t length) { m_reads.RecordRange(position, length); }
    void RecordWrite(uint64_t position, uint64_t length) { m_writes.RecordRange(position, length); }
    void RecordAppend(uint64_t length) { m_writes.RecordAppend(length); }
    // Any other successful operation through the handle (FStat, FSetStat).
    void RecordOther() { ++m_registered; }

    const DirectionStats& Reads() const { return m_reads; }
    const DirectionStats& Writes() const { return m_writes; }
    uint32_t Registered() const { return m_registered; }
    uint64_t OpenTime() const { return m_openTime; }
    // Zero until first needed; then fixed.
    uint64_t CloseTime() const { return m_closeTime; }
    // Fixes the close time from the clock if it is not fixed yet.
    uint64_t FixCloseTime();
    // How long the file was open, in 100-nanosecond units; fixes the close
    // time. A clock that went backwards gives 0, not a wrapped-around value.
    uint64_t OpenDuration();

    // Whether at least one byte was read or written: only then does the host
    // get a transfer notification.
    bool HasTransfer() const { return m_reads.Bytes() != 0 || m_writes.Bytes() != 0; }
    // The notification for the host; fixes the close time.
    RefPtr<QtSfsNotifyFileTransfer> MakeNotification(std::u16string_view path);
    // "Registered 3 successful operations. Downloaded 300 bytes in 3
    // operations."; fixes the close time.
    WString Summary();

  private:
    FileTimeClock m_clock;
    uint32_t m_registered = 0;
    DirectionStats m_reads{m_registered};
    DirectionStats m_writes{m_registered};
    uint64_t m_openTime = 0;
    uint64_t m_closeTime = 0;
};

// The counters of one open directory or virtual root.
class ListingAccounting {
  public:
    // A successful ReadDir that returned `entries` names.
    void RecordListing(uint64_t entries);
    // Any other successful operation through the handle (FStat, FSetStat).
    void RecordOther() { ++m_registered; }

    uint32_t Registered() const { return m_registered; }
    uint32_t ListingOperations() const { return m_listingOperations; }
    uint64_t Entries() const { return m_entries; }

    // "Registered 3 successful operations. Listed 40 entries in 2 operations."
    WString Summary() const;

  private:
    uint32_t m_registered = 0;
    uint32_t m_listingOperations = 0;
    uint64_t m_entries = 0;
};

// A transfer rate for people: "1099 B/s", "1.10 kB/s", "12.3 kB/s",
// "123 kB/s", up to TB/s. `bytesPerSecond` must be at least 1.
WString FormatTransferRate(uint64_t bytesPerSecond);

}  // namespace kiln
