// Open and Close. Open turns the SFS open flags, access mask and initial
// attributes into one CreateFileW call, enables the privileges the request
// needs (they stay enabled while the file is open), and gives a file it
// created the attributes that CreateFileW cannot set. Close reports the
// transfer that went through the object and removes it.
#include <memory>

#include "nocrtlib/security_privilege.h"
#include "sfswin/attrs_read.h"
#include "sfswin/attrs_translation.h"
#include "sfswin/error_mapping.h"
#include "sfswin/file_io.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

// The Windows access rights that a client may ask for; all others are
// dropped before they reach CreateFileW.
constexpr DWORD kPassedAccessBits = 0x011F01FF;
constexpr DWORD kSystemSecurityAccess = 0x01000000;
// Rights that a backup reads with, and rights that a restore writes with.
constexpr DWORD kBackupReadAccess = 0x00020089;
constexpr DWORD kRestoreWriteAccess = 0x000D0156;

constexpr char16_t kBackupStreamRefused[] = u"The BackupStream flag is not supported.";
constexpr char16_t kAppendAtomicRefused[] = u"The AppendAtomic flag is not supported.";

// One use of a process-wide privilege, given back when the file object that
// keeps it is destroyed.
class PrivilegeUse final : public PrivilegeHold {
  public:
    explicit PrivilegeUse(Privilege& privilege) : m_user(privilege) {}
    bool Enable() { return m_user.Enable(); }

  private:
    PrivilegeUser m_user;
};

struct PrivilegeNeed {
    FsFile::PrivilegeSlot slot;
    Privilege& (*privilege)();
    const char16_t* failureText;  // follows the quoted path
};

// In the order in which they are enabled.
const PrivilegeNeed kPrivilegeNeeds[] = {
    {FsFile::kBackup, BackupPrivilege,
     u"' failed with PermissionDenied. Enabling backup privilege failed: "},
    {FsFile::kRestore, RestorePrivilege,
     u"' failed with PermissionDenied. Enabling restore privilege failed: "},
    {FsFile::kSecurity, SecurityPrivilege,
     u"' failed with PermissionDenied. Enabling security privilege failed: "},
    {FsFile::kTakeOwnership, TakeOwnershipPrivilege,
     u"' failed with PermissionDenied. Enabling take-ownership privilege failed: "},
};

bool NeedsPrivilege(FsFile::PrivilegeSlot slot, uint32_t flags, DWORD access) {
    switch (slot) {
        case FsFile::kBackup:
            return (flags & SfsOpenFlags::AccessBackup) && (access & kBackupReadAccess);
        case FsFile::kRestore:
            return (flags & SfsOpenFlags::AccessBackup) && (access & kRestoreWriteAccess);
        case FsFile::kSecurity:
            return (flags & SfsOpenFlags::AccessAuditAlarmInfo) || (access & kSystemSecurityAccess);
        case FsFile::kTakeOwnership:
            return (flags & SfsOpenFlags::OverrideOwner) != 0;
        case FsFile::kPrivilegeSlots:
            break;
    }
    return false;
}

void OverlappedControl(KilnSfsWin& provider, HANDLE file, DWORD code, void* input,
                       DWORD inputSize) {
    OVERLAPPED& overlapped = provider.Overlapped();
    overlapped.Offset = 0;
    overlapped.OffsetHigh = 0;
    overlapped.Internal = 0;
    overlapped.InternalHigh = 0;
    ResetEvent(overlapped.hEvent);
    DWORD returned = 0;
    if (DeviceIoControl(file, code, input, inputSize, nullptr, 0, &returned, &overlapped)) return;
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) throw SystemError(u"DeviceIoControl()", error);
    if (!AwaitOverlapped(provider, file, &returned))
        throw SystemError(u"GetOverlappedResult()", GetLastError());
}

bool BitRequested(const QtSfsAttrs& attrs, uint32_t bit) {
    return (attrs.m_validAttrFlags & SfsAttrFlags::Bits) && (attrs.m_attrBitsValid & bit);
}

}  // namespace

void SetCompression(KilnSfsWin& provider, HANDLE file, bool compress) {
    USHORT state = compress ? 1 : 0;
    OverlappedControl(provider, file, FSCTL_SET_COMPRESSION, &state, sizeof(state));
}

void SetSparse(KilnSfsWin& provider, HANDLE file) {
    OverlappedControl(provider, file, FSCTL_SET_SPARSE, nullptr, 0);
}

void KilnSfsWin::Open(const QtSfsRequest& request) {
    const auto& content = *QuantumPtrCast<const QtSfsOpen>(request.m_content.get());
    const WString path = ExtractSfsPath(request);
    const WString quoted = u"'" + path + u"'";
    const uint32_t flags = content.m_flags;

    auto refuse = [&](const char16_t* sentence) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: Opening file " + quoted + u" failed. " + sentence);
        RaiseStatus(MakeStatus(SfsStatusCode::Failure, sentence));
    };
    auto failWith = [&](SfsStatusCode code) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: Opening file " + quoted + u" failed" + StatusSuffix(code) + u".");
        RaiseStatus(code);
    };
    if (flags & SfsOpenFlags::BackupStream) refuse(kBackupStreamRefused);
    if ((flags & SfsOpenFlags::AppendAtomic) &&
        !(flags & (SfsOpenFlags::AppendData | SfsOpenFlags::BlockWrite)))
        refuse(kAppendAtomicRefused);

    // Everything a new file gets is prepared before anything is touched, so
    // that bad attributes fail the request without leaving a file behind.
    const RequestAttrs attrs = ExtractSfsAttrs(request);
    const NativeFileTimes times = NativeTimes(*this, request, attrs, path);
    const std::unique_ptr<NativeFileSecurity> security =
        NativeSecurity(*this, request, attrs, path, nullptr, nullptr, true);

    const DWORD existing = GetFileAttributesW(path.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES) {
        if (existing & FILE_ATTRIBUTE_DIRECTORY) failWith(SfsStatusCode::FileIsADirectory);
        if (flags & SfsOpenFlags::NoFollow) {
            bool link = false;
            try {
                link = IsSymlink(path, &existing);
            } catch (const SystemError&) {
                // A probe that fails cannot show a link; CreateFileW decides.
            }
            if (link) failWith(SfsStatusCode::LinkLoop);
        }
    }

    const DWORD disposition = (flags & SfsOpenFlags::AccessDisposition) + 1;
    DWORD shareMode = 0;
    if (FileShare()) {
        if (!(flags & SfsOpenFlags::BlockRead)) shareMode |= FILE_SHARE_READ;
        if (!(flags & SfsOpenFlags::BlockWrite)) shareMode |= FILE_SHARE_WRITE;
        if (!(flags & SfsOpenFlags::BlockDelete)) shareMode |= FILE_SHARE_DELETE;
    }
    DWORD flagsAndAttributes = FILE_FLAG_OVERLAPPED;
    if (flags & SfsOpenFlags::DeleteOnClose) flagsAndAttributes |= FILE_FLAG_DELETE_ON_CLOSE;
    if (flags & SfsOpenFlags::AccessBackup) flagsAndAttributes |= FILE_FLAG_BACKUP_SEMANTICS;
    DWORD access = content.m_desiredAccess & kPassedAccessBits;
    if (flags & SfsOpenFlags::AccessAuditAlarmInfo) access |= kSystemSecurityAccess;

    std::unique_ptr<PrivilegeUse> holds[FsFile::kPrivilegeSlots];
    for (const PrivilegeNeed& need : kPrivilegeNeeds) {
        if (!NeedsPrivilege(need.slot, flags, access)) continue;
        auto use = std::make_unique<PrivilegeUse>(need.privilege());
        if (!use->Enable()) {
            const DWORD error = GetLastError();
            LogRequest(request, SfsLogType::Error,
                       u"KilnSfsWin: Opening file '" + path + need.failureText +
                           SystemError(u"", error).Description());
            RaiseStatus(SfsStatusCode::PermissionDenied);
        }
        holds[need.slot] = std::move(use);
    }

    const QtSfsAttrs& record = *attrs.attrs;
    if (record.m_validAttrFlags & SfsAttrFlags::Bits) {
        flagsAndAttributes |= ApplyAttrBits(record, 0);
        if ((record.m_attrBitsValid & record.m_attrBits) & SfsAttrBits::Encrypted)
            flagsAndAttributes |= FILE_ATTRIBUTE_ENCRYPTED;
    }

    SECURITY_ATTRIBUTES securityAttributes{};
    securityAttributes.nLength = sizeof(securityAttributes);
    securityAttributes.lpSecurityDescriptor = security ? security->Descriptor() : nullptr;
    securityAttributes.bInheritHandle = FALSE;

    const WString callPath = CallPath(path);
    HANDLE handle = CreateFileW(callPath.c_str(), access, shareMode, &securityAttributes,
                                disposition, flagsAndAttributes, nullptr);
    const DWORD createError = GetLastError();
    if (handle == INVALID_HANDLE_VALUE) {
        FailRequest(*this, request,
                    DescribeHandlerFailure(u"Opening file " + quoted,
                                           SystemError(u"CreateFile()", createError)));
    }
    const bool created = disposition == CREATE_NEW || disposition == CREATE_ALWAYS ||
                         (disposition == OPEN_ALWAYS && createError != ERROR_ALREADY_EXISTS);

    // The file object owns the Windows handle from here on, whatever happens.
    auto file =
        std::make_unique<FsFile>(content.m_fileName, MakeStr(path), NextHandle(), request.m_outLog);
    file->m_file = handle;
    file->m_accessMask = access;
    file->m_append = (flags & (SfsOpenFlags::AppendData | SfsOpenFlags::AppendAtomic)) != 0;
    file->m_textMode = (flags & SfsOpenFlags::TextMode) != 0;
    file->m_outFileTransfer = content.m_outFileTransfer;
    for (size_t slot = 0; slot < FsFile::kPrivilegeSlots; ++slot)
        file->m_privileges[slot] = std::move(holds[slot]);

    bool partial = false;
    if (created) {
        auto attempt = [&](const WString& failureText, auto&& step) {
            try {
                step();
            } catch (const SystemError& error) {
                LogRequest(request, SfsLogType::Warning, failureText + error.Description());
                partial = true;
            }
        };
        if (times.Any()) {
            attempt(
                u"KilnSfsWin: Setting file times for newly created file " + quoted + u" failed. ",
                [&] {
                    if (!SetFileTime(handle, times.creation.Get(), times.access.Get(),
                                     times.modification.Get()))
                        ThrowLastError(u"SetFileTime()");
                });
        }
        BY_HANDLE_FILE_INFORMATION info{};
        bool known = false;
        if (record.m_validAttrFlags & SfsAttrFlags::Bits)
            known = GetFileInformationByHandle(handle, &info) != FALSE;
        auto differs = [&](uint32_t bit, DWORD windowsBit) {
            const bool wanted = (record.m_attrBits & bit) != 0;
            return !known || wanted != ((info.dwFileAttributes & windowsBit) != 0);
        };
        if (BitRequested(record, SfsAttrBits::Compressed) &&
            differs(SfsAttrBits::Compressed, FILE_ATTRIBUTE_COMPRESSED)) {
            const bool compress = (record.m_attrBits & SfsAttrBits::Compressed) != 0;
            attempt(WString(compress ? u"KilnSfsWin: Enabling" : u"KilnSfsWin: Disabling") +
                        u" compression for newly created file " + quoted + u" failed. ",
                    [&] { SetCompression(*this, handle, compress); });
        }
        if (BitRequested(record, SfsAttrBits::Encrypted) &&
            differs(SfsAttrBits::Encrypted, FILE_ATTRIBUTE_ENCRYPTED)) {
            const bool encrypt = (record.m_attrBits & SfsAttrBits::Encrypted) != 0;
            attempt(WString(encrypt ? u"KilnSfsWin: Enabling" : u"KilnSfsWin: Disabling") +
                        u" encryption for newly created file " + quoted + u" failed. ",
                    [&] { RunEncryption(path, encrypt); });
        }
        if (BitRequested(record, SfsAttrBits::Sparse) &&
            (record.m_attrBits & SfsAttrBits::Sparse)) {
            attempt(
                u"KilnSfsWin: Enabling sprase mode for newly created file " + quoted + u" failed. ",
                [&] { SetSparse(*this, handle); });
        }
    }

    RefPtr<QtBytes> sfsHandle = file->Handle();
    Handles().Add(std::move(file));

    if (LogWanted(request)) {
        WString text(created ? u"KilnSfsWin: Opened new file "
                             : u"KilnSfsWin: Opened existing file ");
        text += quoted + u".";
        if (partial) text += u" Unable to apply all attributes.";
        LogRequest(request, text);
    }
    auto answer = MakeRef<QtSfsHandle>();
    answer->m_handle = sfsHandle;
    AnswerHandle(request, answer);
}

void KilnSfsWin::Close(const QtSfsRequest& request) {
    FsObj& object = Extract(request);
    if (FsFile* file = object.AsFile())
        NotifyFileTransfer(file->m_outFileTransfer, file->m_accounting, file->WinPath()->Str());
    if (LogWanted(request))
        LogRequest(request,
                   u"KilnSfsWin: Closed " + object.Description() + u". " + object.Summary());
    // The table's key views the object's own handle bytes: hold them while
    // the object goes.
    RefPtr<QtBytes> handle = object.Handle();
    Handles().Remove(*handle);
    AnswerCode(request, SfsStatusCode::Ok);
}

}  // namespace kiln::KilnSfsWin
