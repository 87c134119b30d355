// Open files and directories between the request that opens them and the
// request that closes them. The host knows them only by their SFS handle: the
// little-endian bytes of a per-provider counter without high zero bytes, so
// that handles are short, never reused, and a stale handle can only ever name
// nothing.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "platform/win32.h"
#include "quantum/qt_bytes.h"
#include "quantum/qt_str.h"
#include "sfs/kiln_sfs_provider.h"
#include "sfs/transfer_accounting.h"

namespace kiln::KilnSfsWin {

// Issues the SFS handles of one provider.
class SfsHandles {
  public:
    // 01 for the first, FF for the 255th, 00 01 for the 256th.
    RefPtr<QtBytes> NextHandle();
    uint64_t IssuedCount() const { return m_counter; }

  private:
    uint64_t m_counter = 0;
};

class FsRoot;
class FsDir;
class FsFile;

class FsObj {
  public:
    FsObj(RefPtr<QtStr> sfsPath, RefPtr<QtStr> winPath, RefPtr<QtBytes> handle,
          RefPtr<QtOutPort<QtSfsLog>> outLog);
    FsObj(const FsObj&) = delete;
    FsObj& operator=(const FsObj&) = delete;

    virtual ~FsObj();
    virtual FsRoot* AsRoot() { return nullptr; }
    virtual FsDir* AsDir() { return nullptr; }
    virtual FsFile* AsFile() { return nullptr; }

    const RefPtr<QtStr>& SfsPath() const { return m_sfsPath; }
    // What log texts about the object quote.
    const RefPtr<QtStr>& WinPath() const { return m_winPath; }
    const RefPtr<QtBytes>& Handle() const { return m_handle; }
    // The log port of the request that opened it, for the end-of-input records.
    const RefPtr<QtOutPort<QtSfsLog>>& OutLog() const { return m_outLog; }

    // "file 'C:\x'", "directory 'C:\d'" or "logical drives".
    WString Description();
    // The transfer summary of a file, the listing summary otherwise.
    WString Summary();

  private:
    RefPtr<QtStr> m_sfsPath;
    RefPtr<QtStr> m_winPath;
    RefPtr<QtBytes> m_handle;
    RefPtr<QtOutPort<QtSfsLog>> m_outLog;
};

// One use of a process-wide privilege that an open enabled; destroying the
// hold gives the use back.
class PrivilegeHold {
  public:
    virtual ~PrivilegeHold() = default;
};

class FsFile final : public FsObj {
  public:
    enum PrivilegeSlot { kSecurity, kBackup, kRestore, kTakeOwnership, kPrivilegeSlots };

    FsFile(RefPtr<QtStr> sfsPath, RefPtr<QtStr> winPath, RefPtr<QtBytes> handle,
           RefPtr<QtOutPort<QtSfsLog>> outLog, FileTimeClock clock = SystemFileTimeNow);
    ~FsFile() override;
    FsFile* AsFile() override { return this; }

    HANDLE m_file = INVALID_HANDLE_VALUE;  // closed on destruction when valid
    DWORD m_accessMask = 0;                // as passed to CreateFileW
    bool m_append = false;
    bool m_textMode = false;
    uint64_t m_textPosition = 0;
    std::array<std::unique_ptr<PrivilegeHold>, kPrivilegeSlots> m_privileges;
    FileAccounting m_accounting;
    RefPtr<QtOutPort<QtSfsNotifyFileTransfer>> m_outFileTransfer;
};

class FsDir final : public FsObj {
  public:
    using FsObj::FsObj;
    ~FsDir() override;
    FsDir* AsDir() override { return this; }

    HANDLE m_find = INVALID_HANDLE_VALUE;  // closed with FindClose when valid
    bool m_endOfListing = false;
    bool m_firstBatch = true;
    RefPtr<QtSfsName> m_pending;  // found but not yet sent
    ListingAccounting m_listing;
};

// The virtual directory of logical drives, when the provider has no root.
class FsRoot final : public FsObj {
  public:
    using FsObj::FsObj;
    FsRoot* AsRoot() override { return this; }

    DWORD m_driveMask = 0;  // bit 0 is drive A
    char16_t m_driveLetter = u'A';
    bool m_firstBatch = true;
    RefPtr<QtSfsName> m_pending;
    ListingAccounting m_listing;
};

// Handle bytes to open object, ordered as byte strings (unsigned, a prefix
// first), which is the order of the end-of-input clean-up. Owns the objects.
class HandleTable {
  public:
    // Takes ownership; KilnComponent::Exit when the handle is already used.
    void Add(std::unique_ptr<FsObj> object);
    // Destroys the object; KilnComponent::Exit when the handle is unknown.
    void Remove(const QtBytes& handle);
    // Null when unknown.
    FsObj* Find(const QtBytes& handle) const;
    // Every object in key order.
    void ForEach(const std::function<void(FsObj&)>& visit) const;
    // Destroys every object.
    void Clear();
    size_t Size() const { return m_objects.size(); }

  private:
    // The key views the handle bytes that the object itself holds.
    std::map<std::string_view, std::unique_ptr<FsObj>> m_objects;
};

// The object named by the handle in a handle-based request. An unknown handle
// is logged at Error ("KilnSfsWin: Reading file failed with InvalidHandle.")
// and raises the status InvalidHandle; a request type without a handle is a
// dispatcher fault and raises KilnComponent::Exit.
FsObj& ExtractFsObj(KilnSfsProvider& provider, const HandleTable& table,
                    const QtSfsRequest& request);

}  // namespace kiln::KilnSfsWin
