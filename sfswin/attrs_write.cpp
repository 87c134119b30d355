// SetStat, FSetStat and LSetStat: everything that can fail for want of input is
// prepared before the first write, so that a bad request changes nothing;
// the writes then go in a fixed order, and a failure after the first of them
// says "partially" so that the client knows the file did change.
#include "sfswin/attrs_write.h"

#include <cstddef>

#include "nocrtlib/dll_loader.h"
#include "nocrtlib/exceptions.h"
#include "nocrtlib/security_privilege.h"
#include "sfswin/attrs_read.h"
#include "sfswin/attrs_translation.h"
#include "sfswin/error_mapping.h"
#include "sfswin/file_io.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kUnsupportedFlags = SfsAttrFlags::AllocSize | SfsAttrFlags::CTime;
constexpr uint32_t kTimeFlags =
    SfsAttrFlags::AccessTime | SfsAttrFlags::CreateTime | SfsAttrFlags::ModifyTime;
constexpr const char16_t* kUnsupportedText =
    u"The following attributes are not supported: AllocSize, CTime.";
// A symbolic link itself has an owner, a group and times of its own, as
// lchown and lutimes set them; its mode and the rest belong to its target.
constexpr uint32_t kLinkSettableFlags = SfsAttrFlags::OwnerGroup | SfsAttrFlags::AccessTime |
                                        SfsAttrFlags::ModifyTime | SfsAttrFlags::SubsecondTimes;
constexpr const char16_t* kLinkUnsupportedText =
    u"Only the owner, group and times of a symbolic link itself can be set.";

class OwnedHandle {
  public:
    OwnedHandle() = default;
    ~OwnedHandle() { Reset(INVALID_HANDLE_VALUE); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    void Reset(HANDLE handle) {
        if (m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr) CloseHandle(m_handle);
        m_handle = handle;
    }
    HANDLE Get() const { return m_handle; }

  private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// Owner and group as GetSecurityInfo handed them out.
struct CurrentOwnerGroup {
    ~CurrentOwnerGroup() {
        if (sd != nullptr) LocalFree(sd);
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    PSID group = nullptr;
};

DWORD ReadAttributes(const WString& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError(u"GetFileAttributes()");
    return attributes;
}

bool BitWanted(const QtSfsAttrs& record, uint32_t bit) {
    return (record.m_attrBits & bit) != 0;
}
bool BitValid(const QtSfsAttrs& record, uint32_t bit) {
    return (record.m_validAttrFlags & SfsAttrFlags::Bits) && (record.m_attrBitsValid & bit);
}

bool ChangesCompression(const QtSfsAttrs& record, DWORD current) {
    return BitValid(record, SfsAttrBits::Compressed) &&
           BitWanted(record, SfsAttrBits::Compressed) !=
               ((current & FILE_ATTRIBUTE_COMPRESSED) != 0);
}
bool ChangesEncryption(const QtSfsAttrs& record, DWORD current) {
    return BitValid(record, SfsAttrBits::Encrypted) &&
           BitWanted(record, SfsAttrBits::Encrypted) != ((current & FILE_ATTRIBUTE_ENCRYPTED) != 0);
}
// Sparseness is only ever switched on: a file is never made dense again.
bool ChangesSparse(const QtSfsAttrs& record, DWORD current) {
    return BitValid(record, SfsAttrBits::Sparse) && BitWanted(record, SfsAttrBits::Sparse) &&
           (current & (FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

}  // namespace

void KilnSfsWin::SetStat(const QtSfsRequest& request) {
    // ---- Preparation: nothing is written until all of it has succeeded.
    const RequestAttrs requestAttrs = ExtractSfsAttrs(request);
    const QtSfsAttrs& record = *requestAttrs.attrs;
    const bool byHandle = request.m_type == SfsRequest::FSetStat;
    const bool linkItself = request.m_type == SfsRequest::LSetStat;
    FsObj* object = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD granted = 0;
    WString path;
    if (byHandle) {
        object = &Extract(request);
        if (FsFile* file = object->AsFile()) {
            handle = file->m_file;
            granted = file->m_accessMask;
        }
        path = object->WinPath() ? object->WinPath()->Str() : WString();
    } else {
        path = ExtractSfsPath(request);
    }

    if (path.empty()) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: Writing attributes for logical drives failed with "
                   u"PermissionDenied. Access to logical drives is limited to read-only.");
        RaiseStatus(SfsStatusCode::PermissionDenied);
    }

    const WString suffix(byHandle     ? u" (by handle)"
                         : linkItself ? u" (not following a link)"
                                      : u"");
    const WString action = u"Writing attributes for '" + path + u"'" + suffix;
    const WString callPath = CallPath(path);
    const uint32_t flags = record.m_validAttrFlags;

    if (flags & kUnsupportedFlags) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: " + action + u" failed. " + kUnsupportedText);
        RaiseStatus(MakeStatus(SfsStatusCode::Failure, kUnsupportedText));
    }

    const bool wantAcl = (flags & SfsAttrFlags::Acl) != 0;
    const bool wantPermissions = PosixPermissions() && (flags & SfsAttrFlags::Permissions);
    const bool wantOwnerGroup = OwnerGroup() && (flags & SfsAttrFlags::OwnerGroup);
    const bool wantBits = (flags & SfsAttrFlags::Bits) != 0;
    if (wantAcl && !record.m_acl) {
        const WString reason(u"The Acl attribute carries no access control list.");
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: Writing attributes for '" + path +
                       u"' failed with InvalidParameter. " + reason);
        RaiseStatus(MakeStatus(SfsStatusCode::InvalidParameter, reason));
    }
    const bool readCurrentSecurity = (wantAcl || wantPermissions) && !wantOwnerGroup;
    const bool withAudit = wantAcl && (record.m_acl->m_flags & 0x10) != 0;

    PrivilegeUser securityPrivilege(SecurityPrivilege());
    if (withAudit && !securityPrivilege.Enable()) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: " + action +
                       u" failed with PermissionDenied. Enabling security privilege failed: " +
                       WindowsErrorText(GetLastError()));
        RaiseStatus(SfsStatusCode::PermissionDenied);
    }

    DWORD needed = 0;
    if (readCurrentSecurity) needed |= READ_CONTROL;
    if (withAudit) needed |= ACCESS_SYSTEM_SECURITY;
    if (wantBits) needed |= FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    if (flags & SfsAttrFlags::Size) needed |= FILE_WRITE_DATA;
    if (wantOwnerGroup) needed |= WRITE_OWNER;
    if (wantAcl || wantPermissions) needed |= WRITE_DAC;
    if (flags & kTimeFlags) needed |= FILE_WRITE_ATTRIBUTES;
    if (BitValid(record, SfsAttrBits::Compressed))
        needed |= FILE_READ_DATA | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
    if (BitValid(record, SfsAttrBits::Sparse)) needed |= FILE_WRITE_DATA;

    OwnedHandle opened;
    DWORD current = 0;
    bool currentKnown = false;
    CurrentOwnerGroup currentSecurity;
    NativeFileTimes times;
    std::unique_ptr<NativeFileSecurity> security;

    WithWindowsErrors(*this, request, action, [&] {
        const bool hasHandle = handle != INVALID_HANDLE_VALUE && handle != nullptr;
        if (!hasHandle || (granted & needed) != needed) {
            DWORD openFlags = 0;
            if (!hasHandle || wantBits) {
                current = ReadAttributes(callPath);
                currentKnown = true;
                if (!hasHandle && (current & FILE_ATTRIBUTE_DIRECTORY))
                    openFlags = FILE_FLAG_BACKUP_SEMANTICS;
            }
            if (linkItself && (current & FILE_ATTRIBUTE_REPARSE_POINT)) {
                const uint32_t wanted =
                    (wantPermissions ? SfsAttrFlags::Permissions : 0) |
                    (wantOwnerGroup ? SfsAttrFlags::OwnerGroup : 0) |
                    (flags & ~(SfsAttrFlags::Permissions | SfsAttrFlags::OwnerGroup));
                if (wanted & ~kLinkSettableFlags) {
                    LogRequest(request, SfsLogType::Error,
                               u"KilnSfsWin: " + action + u" failed" +
                                   StatusSuffix(SfsStatusCode::OpUnsupported) + u". " +
                                   kLinkUnsupportedText);
                    RaiseStatus(MakeStatus(SfsStatusCode::OpUnsupported, kLinkUnsupportedText));
                }
            }
            if (linkItself) openFlags |= FILE_FLAG_OPEN_REPARSE_POINT;
            HANDLE h = CreateFileW(callPath.c_str(), needed, kShareAll, nullptr, OPEN_EXISTING,
                                   openFlags, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                opened.Reset(h);
                handle = h;
                granted = needed;
            } else {
                const DWORD error = GetLastError();
                // Attribute bits and security can still be set by path when the
                // object cannot be opened for them; sizes and times cannot.
                const bool byPathWillDo =
                    error == ERROR_ACCESS_DENIED &&
                    (flags & (SfsAttrFlags::Size | kTimeFlags)) == 0 &&
                    !(currentKnown &&
                      (ChangesCompression(record, current) || ChangesSparse(record, current))) &&
                    !(!currentKnown && (BitValid(record, SfsAttrBits::Compressed) ||
                                        BitValid(record, SfsAttrBits::Sparse))) &&
                    !IsSymlink(callPath, currentKnown ? &current : nullptr);
                if (!byPathWillDo) throw SystemError(u"CreateFile()", error);
            }
        }
        if (wantBits && !currentKnown) {
            BY_HANDLE_FILE_INFORMATION info{};
            if (granted & FILE_READ_ATTRIBUTES) {
                if (!GetFileInformationByHandle(handle, &info))
                    ThrowLastError(u"GetFileInformationByHandle()");
                current = info.dwFileAttributes;
            } else {
                current = ReadAttributes(callPath);
            }
            currentKnown = true;
        }
        times = NativeTimes(*this, request, requestAttrs, path);
        if (readCurrentSecurity) {
            const SECURITY_INFORMATION info =
                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
            DWORD result = 0;
            if (granted & READ_CONTROL) {
                result =
                    GetSecurityInfo(handle, SE_FILE_OBJECT, info, &currentSecurity.owner,
                                    &currentSecurity.group, nullptr, nullptr, &currentSecurity.sd);
                if (result != ERROR_SUCCESS) throw SystemError(u"GetSecurityInfo()", result);
            } else {
                result = GetNamedSecurityInfoW(callPath.c_str(), SE_FILE_OBJECT, info,
                                               &currentSecurity.owner, &currentSecurity.group,
                                               nullptr, nullptr, &currentSecurity.sd);
                if (result != ERROR_SUCCESS) throw SystemError(u"GetNamedSecurityInfo()", result);
            }
        }
        security = NativeSecurity(*this, request, requestAttrs, path, currentSecurity.owner,
                                  currentSecurity.group, false);
    });

    // ---- The writes, in their order.
    const bool hasHandle = handle != INVALID_HANDLE_VALUE && handle != nullptr;
    bool written = false;
    try {
        if (flags & SfsAttrFlags::Size) {
            LONG high = static_cast<LONG>(record.m_size >> 32);
            SetLastError(ERROR_SUCCESS);
            if (SetFilePointer(handle, static_cast<LONG>(record.m_size & 0xFFFFFFFFu), &high,
                               FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
                GetLastError() != ERROR_SUCCESS)
                ThrowLastError(u"SetFilePointer()");
            if (!SetEndOfFile(handle)) ThrowLastError(u"SetEndOfFile()");
            written = true;
        }

        if (security && security->built) {
            SECURITY_INFORMATION info = 0;
            DWORD access = 0;
            PrivilegeUser takeOwnership(TakeOwnershipPrivilege());
            PrivilegeUser auditPrivilege(SecurityPrivilege());
            if (security->ownerFromRequest) info |= OWNER_SECURITY_INFORMATION;
            if (security->groupFromRequest) info |= GROUP_SECURITY_INFORMATION;
            if (info != 0) {
                access |= WRITE_OWNER;
                takeOwnership.Enable();
            }
            if (security->daclPresent) {
                info |= DACL_SECURITY_INFORMATION |
                        (security->daclProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION);
                access |= WRITE_DAC;
            }
            if (security->saclPresent) {
                info |= SACL_SECURITY_INFORMATION |
                        (security->saclProtected ? PROTECTED_SACL_SECURITY_INFORMATION
                                                 : UNPROTECTED_SACL_SECURITY_INFORMATION);
                access |= ACCESS_SYSTEM_SECURITY | WRITE_DAC;
                auditPrivilege.Enable();
            }
            if (info != 0) {
                PSID owner = security->owner.Get();
                PSID group = security->group.Get();
                DWORD result = 0;
                if (hasHandle && (granted & access) == access) {
                    result = SetSecurityInfo(handle, SE_FILE_OBJECT, info, owner, group,
                                             security->dacl.Get(), security->sacl.Get());
                    if (result != ERROR_SUCCESS) throw SystemError(u"SetSecurityInfo()", result);
                } else {
                    WString target = callPath;
                    result =
                        SetNamedSecurityInfoW(target.mutable_data(), SE_FILE_OBJECT, info, owner,
                                              group, security->dacl.Get(), security->sacl.Get());
                    if (result != ERROR_SUCCESS)
                        throw SystemError(u"SetNamedSecurityInfo()", result);
                }
                written = true;
            }
        }

        if (times.Any()) {
            if (!SetFileTime(handle, times.creation.Get(), times.access.Get(),
                             times.modification.Get()))
                ThrowLastError(u"SetFileTime");
            written = true;
        }

        if (wantBits) {
            const DWORD wanted = ApplyAttrBits(record, current);
            if ((wanted ^ current) & kSettableAttributes) {
                // Windows reads 0 in FILE_BASIC_INFO as "leave the attributes
                // alone"; clearing the last bit must say NORMAL instead.
                DWORD settable = wanted & kSettableAttributes;
                if (settable == 0) settable = FILE_ATTRIBUTE_NORMAL;
                if (!hasHandle || (granted & FILE_WRITE_ATTRIBUTES) == 0 ||
                    !sysentry::HasSetFileInformationByHandle()) {
                    if (!SetFileAttributesW(callPath.c_str(), settable))
                        ThrowLastError(u"SetFileAttributes()");
                } else {
                    FILE_BASIC_INFO basic{};
                    basic.CreationTime.QuadPart = -1;
                    basic.LastAccessTime.QuadPart = -1;
                    basic.LastWriteTime.QuadPart = -1;
                    basic.ChangeTime.QuadPart = -1;
                    basic.FileAttributes = settable;
                    // The whole record, padding included: Windows refuses a
                    // shorter length for this class.
                    if (!sysentry::SetFileInformationByHandle(handle, FileBasicInfo, &basic,
                                                              sizeof basic))
                        ThrowLastError(u"SetFileInformationByHandle()");
                }
                written = true;
            }
            if (ChangesCompression(record, current)) {
                SetCompression(*this, handle, BitWanted(record, SfsAttrBits::Compressed));
                written = true;
            }
            if (ChangesEncryption(record, current)) {
                RunEncryption(callPath, BitWanted(record, SfsAttrBits::Encrypted));
                written = true;
            }
            if (ChangesSparse(record, current)) {
                SetSparse(*this, handle);
                written = true;
            }
        }
    } catch (const SystemError& error) {
        const SfsStatusCode code = MapWindowsError(error.Code());
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: " + action + u" failed" + (written ? u" partially" : u"") +
                       StatusSuffix(code) + u". " + error.Description());
        RaiseStatus(code);
    }

    if (object != nullptr) {
        if (FsFile* file = object->AsFile())
            file->m_accounting.RecordOther();
        else if (FsDir* dir = object->AsDir())
            dir->m_listing.RecordOther();
    }
    opened.Reset(INVALID_HANDLE_VALUE);
    LogRequest(request, SfsLogType::Info,
               u"KilnSfsWin: Wrote attributes for '" + path + u"'" + suffix + u".");
    AnswerCode(request, SfsStatusCode::Ok);
}

}  // namespace kiln::KilnSfsWin
