#include "sfswin/kiln_sfs_win.h"

#include "platform/config_files.h"
#include "sfswin/dispatch.h"
#include "sfswin/error_mapping.h"
#include "sfswin/handle_closer.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr DWORD kEncryptionStackSize = 0x10000;

// What the encryption thread needs. The thread owns it, so that it stays
// valid even when the provider stops waiting for the thread.
struct EncryptionJob {
    WString path;
    bool encrypt;
};

DWORD WINAPI EncryptionThread(LPVOID parameter) {
    std::unique_ptr<EncryptionJob> job(static_cast<EncryptionJob*>(parameter));
    BOOL ok = job->encrypt ? EncryptFileW(job->path.c_str()) : DecryptFileW(job->path.c_str(), 0);
    if (ok) return 0;
    DWORD error = GetLastError();
    // A failure must never read as success.
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// A whole decimal number that fits 64 bits.
bool ParseDecimal(std::u16string_view text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t n = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return false;
        n = n * 10 + static_cast<uint64_t>(c - u'0');
    }
    *value = n;
    return true;
}

bool SwitchValue(const QtSfsInit& init, std::u16string_view name, bool absentValue) {
    RefPtr<QtStr> value = KilnSfsProvider::Parameter(init, name);
    if (!value) return absentValue;
    return !KilnSfsProvider::IsOffValue(value->Str());
}

}  // namespace

KilnSfsWin::KilnSfsWin() = default;

KilnSfsWin::~KilnSfsWin() {
    m_handles.Clear();
    if (m_overlapped.hEvent != nullptr) CloseHandle(m_overlapped.hEvent);
}

RefPtr<QtSfsProviderInfo> KilnSfsWin::GetProviderInfo() {
    auto vendor = MakeRef<QtSfsVendorInfo>();
    vendor->m_vendorName = MakeStr(u"Kiln SFS");
    vendor->m_productName = MakeStr(u"KilnSfsWin");
    vendor->m_productVersion = MakeStr(u"5.23");
    vendor->m_productBuildNumber = 0;

    auto info = MakeRef<QtSfsProviderInfo>();
    info->m_vendorInfo = vendor;
    info->m_maxReadSize = kMaxReadSize;
    info->m_supportedAttrFields = 0x2BFD;
    info->m_supportedAttrBits = 0xFF;
    info->m_supportedOpenFlags = 0xBFEF;
    info->m_supportedAccessMask = 0;
    info->m_supportedOpenBlockVector = 0x00FF;
    info->m_supportedBlockVector = 0x000C;
    return info;
}

void KilnSfsWin::OnInit(const RefPtr<QtSfsInit>& init) {
    KilnSfsProvider::OnInit(init);

    WString dump(u"KilnSfsWin: Initializing provider with the following parameters:\n");
    dump += init->m_root ? init->m_root->Dump(DumpOptions{0, 2, true}) : WString(u"null");
    LogInit(*init, dump);

    m_initLog = init->m_outLog;
    if (!m_initLog)
        throw Exit(ErrCls::Sfs, 1, u"KilnSfsWin: Missing log port in initialization packet");

    m_overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_overlapped.hEvent == nullptr)
        throw Exit(ErrCls::Win, GetLastError(), u"KilnSfsWin: Error creating overlapped event");

    std::u16string_view root = RootPath();
    if (!root.empty() && CheckWinPath(root) == PathCheck::Invalid)
        throw Exit(ErrCls::Sfs, 1, u"KilnSfsWin: Initialization failed: Invalid root path");
    // The platform holds the line against links that lead out of the root;
    // without it confined, nothing the client reaches is known to stay inside.
    WString confinement(root);
    if (!platform::SetConfinementRoot(confinement.c_str()))
        throw Exit(ErrCls::Win, GetLastError(),
                   u"KilnSfsWin: Initialization failed: Invalid root path");

    m_posixPermissions = SwitchValue(*init, u"PosixPermissions", false);
    m_ownerGroup = SwitchValue(*init, u"OwnerGroup", true);
    m_fileShare = SwitchValue(*init, u"FileShare", true);
    m_showHidden = SwitchValue(*init, u"ShowHidden", true);
    if (RefPtr<QtStr> value = Parameter(*init, u"MaxCheckFileReply")) {
        uint64_t bytes = 0;
        if (ParseDecimal(value->Str().sv(), &bytes) && bytes != 0) m_maxCheckFileReply = bytes;
    }
}

void KilnSfsWin::OnRequest(const RefPtr<QtSfsRequest>& request) {
    try {
        Dispatch(*this, *request);
    } catch (const RefPtr<QtSfsStatus>& status) {
        AnswerStatus(*request, status ? status : MakeStatus(SfsStatusCode::Failure));
    } catch (...) {
        // The provider is going down: report and close what is open first.
        try {
            OnEof();
        } catch (...) {
        }
        throw;
    }
}

void KilnSfsWin::OnEof() {
    struct ClearAtEnd {
        HandleTable& table;
        ~ClearAtEnd() { table.Clear(); }
    } clearAtEnd{m_handles};

    m_handles.ForEach([this](FsObj& object) {
        if (FsFile* file = object.AsFile())
            NotifyFileTransfer(file->m_outFileTransfer, file->m_accounting, file->WinPath()->Str());
        LogCleanup(object);
    });
}

void KilnSfsWin::LogCleanup(FsObj& object) {
    if (!object.OutLog()) return;
    auto log = MakeRef<QtSfsLog>();
    log->m_type = SfsLogType::Info;
    log->m_code = SfsLogCode::CloseCleanup;
    log->m_message =
        MakeStr(u"KilnSfsWin: Cleanup closed " + object.Description() + u". " + object.Summary());
    Send(*object.OutLog(), log);
}

void KilnSfsWin::StopIfInputEnded(const QtSfsRequest& request, std::u16string_view action) {
    if (!EndOfInputPending()) return;
    constexpr char16_t kStopped[] = u"The session ended before the operation was complete.";
    LogRequest(request, SfsLogType::Error,
               u"KilnSfsWin: " + WString(action) + u" failed" +
                   StatusSuffix(SfsStatusCode::Failure) + u". " + kStopped);
    RaiseStatus(MakeStatus(SfsStatusCode::Failure, kStopped));
}

void KilnSfsWin::WaitOnHub(HANDLE handle) {
    PortHub& hub = RequireHub();
    hub.AddWaitHandle(handle);
    hub.Wait(nullptr, 0, 0, 0);
}

void KilnSfsWin::RunEncryption(std::u16string_view windowsPath, bool encrypt) {
    auto* job = new EncryptionJob{WString(windowsPath), encrypt};
    HANDLE thread = CreateThread(nullptr, kEncryptionStackSize, EncryptionThread, job,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        DWORD error = GetLastError();
        delete job;
        throw SystemError(u"CreateThread()", error);
    }
    HandleCloser closer(thread);
    for (;;) {
        WaitOnHub(thread);
        DWORD wait = WaitForSingleObject(thread, 0);
        if (wait == WAIT_OBJECT_0) break;
        if (wait != WAIT_TIMEOUT) throw SystemError(u"WaitForSingleObject()", GetLastError());
    }
    DWORD exitCode = 0;
    if (!GetExitCodeThread(thread, &exitCode))
        throw SystemError(u"GetExitCodeThread()", GetLastError());
    if (exitCode != 0) throw SystemError(encrypt ? u"EncryptFile()" : u"DecryptFile()", exitCode);
}

MappedPath KilnSfsWin::MapSfsPath(std::u16string_view sfsPath) const {
    return ::kiln::KilnSfsWin::MapSfsPath(RootPath(), sfsPath);
}

PathCheck KilnSfsWin::CheckWinPath(std::u16string_view path) const {
    return ::kiln::KilnSfsWin::CheckWinPath(RootPath(), path);
}

MappedPath KilnSfsWin::ToLongPath(std::u16string_view path) const {
    return ::kiln::KilnSfsWin::ToLongPath(RootPath(), path);
}

MappedPath KilnSfsWin::FromLongPath(std::u16string_view longPath) const {
    return ::kiln::KilnSfsWin::FromLongPath(RootPath(), longPath);
}

WString KilnSfsWin::MapWinPathToSfs(std::u16string_view path) const {
    return ::kiln::KilnSfsWin::MapWinPathToSfs(RootPath(), path);
}

WString KilnSfsWin::CallPath(std::u16string_view path) const {
    MappedPath longPath = ToLongPath(path);
    return longPath.check == PathCheck::Valid ? longPath.path : WString(path);
}

}  // namespace kiln::KilnSfsWin
