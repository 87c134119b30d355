// KilnSfsWin: the Windows file-system backend, the provider that the module
// creates. It reads its switches at initialisation, routes every request
// through the dispatch table to its handler, answers what a handler raises,
// and at end of input closes and reports whatever is still open.
//
// The handlers are members defined one family per source file; a handler
// enters service when its entry in the dispatch table (dispatch.cpp) names it.
#pragma once

#include <memory>
#include <string_view>

#include "platform/win32.h"
#include "sfs/kiln_sfs_provider.h"
#include "sfswin/handles.h"
#include "sfswin/path_mapping.h"

namespace kiln::KilnSfsWin {

class KilnSfsWin : public KilnSfsProvider, public SfsHandles {
  public:
    using Handler = void (KilnSfsWin::*)(const QtSfsRequest& request);

    static constexpr uint32_t kMaxReadSize = 0x400000;
    static constexpr uint64_t kDefaultMaxCheckFileReply = 256 * 1024;

    KilnSfsWin();
    // Closes the overlapped event and destroys what is still open, silently.
    ~KilnSfsWin() override;

    RefPtr<QtSfsProviderInfo> GetProviderInfo() override;
    void OnInit(const RefPtr<QtSfsInit>& init) override;
    void OnRequest(const RefPtr<QtSfsRequest>& request) override;
    void OnEof() override;

    // ---- Switches, fixed at initialisation ----------------------------------
    bool PosixPermissions() const { return m_posixPermissions; }
    bool OwnerGroup() const { return m_ownerGroup; }
    bool FileShare() const { return m_fileShare; }
    bool ShowHidden() const { return m_showHidden; }
    // The most digest bytes one CheckFile reply may carry: the host's packet
    // size bounds what it can pass on ("MaxCheckFileReply", 256 KiB when the
    // host does not say).
    uint64_t MaxCheckFileReply() const { return m_maxCheckFileReply; }

    // ---- What handlers share --------------------------------------------------

    // The one overlapped record of every overlapped call; its event is
    // manual-reset. Requests never overlap, so one is enough.
    OVERLAPPED& Overlapped() { return m_overlapped; }
    HandleTable& Handles() { return m_handles; }

    // Lets the host run other components until the event or thread behind
    // the handle may be signalled (or earlier: callers test again).
    void WaitOnHub(HANDLE handle);

    // Runs EncryptFileW or DecryptFileW on a thread of its own, since either
    // may take long, and waits on the hub meanwhile. SystemError on failure.
    void RunEncryption(std::u16string_view windowsPath, bool encrypt);

    // Long operations call this between chunks. Once end of input waits, the
    // client has gone and nobody takes the answer: the operation is logged
    // as stopped and the request answered Failure.
    void StopIfInputEnded(const QtSfsRequest& request, std::u16string_view action);

    // The object named by a handle-based request (see ExtractFsObj).
    FsObj& Extract(const QtSfsRequest& request) { return ExtractFsObj(*this, m_handles, request); }

    // Path mapping against this provider's root.
    MappedPath MapSfsPath(std::u16string_view sfsPath) const;
    PathCheck CheckWinPath(std::u16string_view path) const;
    MappedPath ToLongPath(std::u16string_view path) const;
    MappedPath FromLongPath(std::u16string_view longPath) const;
    WString MapWinPathToSfs(std::u16string_view path) const;
    // The long form of a path that ExtractSfsPath gave, or the path itself
    // when there is none (a bare drive root).
    WString CallPath(std::u16string_view path) const;
    // The Windows path of a path-based request; an unusable path is logged
    // and answered NoSuchPath, so this returns only on success.
    WString ExtractSfsPath(const QtSfsRequest& request);
    struct PathPair {
        WString first;   // Rename: the old path; Link: the new link path
        WString second;  // Rename: the new path; Link: the existing path
    };
    PathPair ExtractSfsPaths(const QtSfsRequest& request);

    // ---- Handlers (each in the source file of its family) ---------------------
    void Open(const QtSfsRequest& request);
    void Close(const QtSfsRequest& request);
    void Read(const QtSfsRequest& request);
    void Write(const QtSfsRequest& request);
    void FSync(const QtSfsRequest& request);
    void Stat(const QtSfsRequest& request);     // FStat and Stat
    void SetStat(const QtSfsRequest& request);  // SetStat, FSetStat and LSetStat
    void OpenDir(const QtSfsRequest& request);
    void ReadDir(const QtSfsRequest& request);
    void Remove(const QtSfsRequest& request);
    void MkDir(const QtSfsRequest& request);
    void RmDir(const QtSfsRequest& request);
    void RealPath(const QtSfsRequest& request);
    void Rename(const QtSfsRequest& request);
    void ReadLink(const QtSfsRequest& request);
    void Link(const QtSfsRequest& request);
    void Block(const QtSfsRequest& request);
    void Unblock(const QtSfsRequest& request);
    void TextSeek(const QtSfsRequest& request);
    void CheckFile(const QtSfsRequest& request);  // by handle and by name
    void SpaceAvail(const QtSfsRequest& request);

  private:
    // Sends the record about an object closed at end of input on its own
    // log port.
    void LogCleanup(FsObj& object);

    TypedInPort<QtError> m_errorIn;  // neither registered nor read
    OVERLAPPED m_overlapped{};
    RefPtr<QtOutPort<QtSfsLog>> m_initLog;
    bool m_posixPermissions = false;
    bool m_ownerGroup = true;
    bool m_fileShare = true;
    bool m_showHidden = true;
    uint64_t m_maxCheckFileReply = kDefaultMaxCheckFileReply;
    HandleTable m_handles;
};

}  // namespace kiln::KilnSfsWin

// The module's export: a new provider, or null when it cannot be made.
extern "C" __attribute__((visibility("default"))) kiln::KilnSfsProvider* CreateSfsProvider();
