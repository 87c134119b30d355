#include "sfswin/attrs_read.h"

#include <algorithm>
#include <chrono>

#include "nocrtlib/dll_loader.h"
#include "nocrtlib/exceptions.h"
#include "nocrtlib/security_privilege.h"
#include "nocrtlib/security_sid.h"
#include "platform/caches.h"
#include "platform/file_modes.h"
#include "platform/filetime.h"
#include "sfswin/attrs_translation.h"
#include "sfswin/error_mapping.h"
#include "sfswin/file_io.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint64_t kTextHintBytes = 65536;

// A Windows handle closed when the scope ends.
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    ~ScopedHandle() {
        if (Valid()) CloseHandle(m_handle);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    HANDLE Get() const { return m_handle; }

  private:
    HANDLE m_handle;
};

uint64_t FileTimeValue(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

struct TimeSlot {
    const FILETIME* time;
    uint32_t flag;
    uint64_t QtSfsAttrs::*seconds;
    uint32_t QtSfsAttrs::*nanoseconds;
};

// What the three information records have in common.
RefPtr<QtSfsAttrs> CommonAttrs(DWORD attributes, const FILETIME& creation, const FILETIME& access,
                               const FILETIME& write, DWORD sizeHigh, DWORD sizeLow, SfsType type,
                               bool caseInsensitive) {
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_type = type;
    attrs->m_size = (uint64_t{sizeHigh} << 32) | sizeLow;
    attrs->m_validAttrFlags |= SfsAttrFlags::Size;

    const TimeSlot slots[] = {
        {&access, SfsAttrFlags::AccessTime, &QtSfsAttrs::m_accessTime, &QtSfsAttrs::m_accessTimeNs},
        {&creation, SfsAttrFlags::CreateTime, &QtSfsAttrs::m_createTime,
         &QtSfsAttrs::m_createTimeNs},
        {&write, SfsAttrFlags::ModifyTime, &QtSfsAttrs::m_modifyTime, &QtSfsAttrs::m_modifyTimeNs},
    };
    for (const TimeSlot& slot : slots) {
        SfsTime converted = FileTimeToSfs(*slot.time);
        if (!converted.ok) continue;
        (*attrs).*slot.seconds = converted.seconds;
        (*attrs).*slot.nanoseconds = converted.nanoseconds;
        attrs->m_validAttrFlags |= slot.flag | SfsAttrFlags::SubsecondTimes;
    }

    struct BitPair {
        DWORD windows;
        uint32_t sfs;
    };
    static constexpr BitPair kBits[] = {
        {FILE_ATTRIBUTE_READONLY, SfsAttrBits::ReadOnly},
        {FILE_ATTRIBUTE_SYSTEM, SfsAttrBits::System},
        {FILE_ATTRIBUTE_HIDDEN, SfsAttrBits::Hidden},
        {FILE_ATTRIBUTE_ARCHIVE, SfsAttrBits::Archive},
        {FILE_ATTRIBUTE_ENCRYPTED, SfsAttrBits::Encrypted},
        {FILE_ATTRIBUTE_COMPRESSED, SfsAttrBits::Compressed},
        {FILE_ATTRIBUTE_SPARSE_FILE, SfsAttrBits::Sparse},
    };
    attrs->m_validAttrFlags |= SfsAttrFlags::Bits;
    attrs->m_attrBitsValid = 0xFF;
    attrs->m_attrBits = caseInsensitive ? SfsAttrBits::CaseInsensitive : 0;
    for (const BitPair& pair : kBits)
        if (attributes & pair.windows) attrs->m_attrBits |= pair.sfs;
    return attrs;
}

SfsType TypeOf(DWORD attributes, bool isLink) {
    if (isLink) return SfsType::Symlink;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? SfsType::Directory : SfsType::Regular;
}

DWORD OpenFlagsFor(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FILE_FLAG_BACKUP_SEMANTICS : 0;
}

[[maybe_unused]] bool GetIdentity(std::u16string_view path, BY_HANDLE_FILE_INFORMATION* info) {
    WString text(path);
    ScopedHandle handle(
        CreateFileW(text.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return handle.Valid() && GetFileInformationByHandle(handle.Get(), info);
}

}  // namespace

SfsTime FileTimeToSfs(const FILETIME& time) {
    const uint64_t value = FileTimeValue(time);
    const uint64_t seconds = value / platform::kFileTimeTicksPerSecond;
    SfsTime result;
    if (seconds < platform::kSecondsFrom1601To1970) return result;
    result.seconds = seconds - platform::kSecondsFrom1601To1970;
    result.nanoseconds = static_cast<uint32_t>(value % platform::kFileTimeTicksPerSecond) * 100;
    result.ok = true;
    return result;
}

RefPtr<QtSfsAttrs> AttrsFromHandleInfo(const BY_HANDLE_FILE_INFORMATION& info, bool isLink,
                                       bool caseInsensitive) {
    RefPtr<QtSfsAttrs> attrs =
        CommonAttrs(info.dwFileAttributes, info.ftCreationTime, info.ftLastAccessTime,
                    info.ftLastWriteTime, info.nFileSizeHigh, info.nFileSizeLow,
                    TypeOf(info.dwFileAttributes, isLink), caseInsensitive);
    attrs->m_linkCount = info.nNumberOfLinks;
    attrs->m_validAttrFlags |= SfsAttrFlags::LinkCount;
    return attrs;
}

RefPtr<QtSfsAttrs> AttrsFromAttributeData(const WIN32_FILE_ATTRIBUTE_DATA& data, bool isLink,
                                          bool caseInsensitive) {
    return CommonAttrs(data.dwFileAttributes, data.ftCreationTime, data.ftLastAccessTime,
                       data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow,
                       TypeOf(data.dwFileAttributes, isLink), caseInsensitive);
}

RefPtr<QtSfsAttrs> AttrsFromFindData(const WIN32_FIND_DATAW& data, bool caseInsensitive) {
    const bool isLink = SymbolicLinkSupport() &&
                        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                        data.dwReserved0 == IO_REPARSE_TAG_SYMLINK;
    return CommonAttrs(data.dwFileAttributes, data.ftCreationTime, data.ftLastAccessTime,
                       data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow,
                       TypeOf(data.dwFileAttributes, isLink), caseInsensitive);
}

bool IsSymlink(std::u16string_view path, const DWORD* attributes) {
    if (!SymbolicLinkSupport()) return false;
    WString text(path);
    DWORD attrs = attributes ? *attributes : GetFileAttributesW(text.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) ThrowLastError(u"GetFileAttributes()");
    if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;

    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileW(text.c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        return found.dwReserved0 == IO_REPARSE_TAG_SYMLINK;
    }
    // The directory may not be listable while the entry itself is readable.
    ScopedHandle handle(CreateFileW(text.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | OpenFlagsFor(attrs), nullptr));
    if (!handle.Valid()) ThrowLastError(u"CreateFile()");
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!sysentry::GetFileInformationByHandleEx(handle.Get(), FileAttributeTagInfo, &tag,
                                                sizeof(tag)))
        ThrowLastError(u"GetFileInformationByHandleEx()");
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           tag.ReparseTag == IO_REPARSE_TAG_SYMLINK;
}

PathInfo GetInfoByPath(std::u16string_view path, bool follow) {
    WString text(path);
    DWORD attrs = GetFileAttributesW(text.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) ThrowLastError(u"GetFileAttributes()");
    PathInfo result;
    result.openFlags = OpenFlagsFor(attrs);
    if (!follow) {
        bool link = false;
        try {
            link = IsSymlink(path, &attrs);
        } catch (const SystemError&) {
        }
        if (link) result.openFlags |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    ScopedHandle handle(CreateFileW(text.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, result.openFlags, nullptr));
    if (!handle.Valid()) ThrowLastError(u"CreateFile()");
    if (!GetFileInformationByHandle(handle.Get(), &result.info))
        ThrowLastError(u"GetFileInformationByHandle()");
    return result;
}

uint8_t GuessTextHint(const uint8_t* data, size_t count) {
    if (count == 0) return SfsTextHint::GuessedText;
    uint64_t high = 0, crlf = 0, loneCr = 0, loneLf = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = data[i];
        if (byte >= 0x80) {
            ++high;
            continue;
        }
        const bool allowed = byte == 0x07 || byte == 0x08 || byte == 0x09 || byte == 0x0A ||
                             byte == 0x0C || byte == 0x0D || byte == 0x1B ||
                             (byte >= 0x20 && byte <= 0x7E);
        if (!allowed) return SfsTextHint::KnownBinary;
        if (byte == 0x0D) {
            if (i + 1 < count && data[i + 1] == 0x0A) {
                ++crlf;
                ++i;
            } else {
                ++loneCr;
            }
        } else if (byte == 0x0A) {
            ++loneLf;
        }
    }
    const bool mixedOrNoCrlf = crlf == 0 || loneCr != 0 || loneLf != 0;
    if (high == 0) return mixedOrNoCrlf ? SfsTextHint::GuessedText : SfsTextHint::KnownText;
    const uint64_t percent = 100 * high / (count + high);
    if (percent > 40 || (percent > 20 && mixedOrNoCrlf)) return SfsTextHint::GuessedBinary;
    return SfsTextHint::GuessedText;
}

bool PathFoldsCase(std::u16string_view path) {
#ifdef _WIN32
    (void)path;
    return true;
#else
    // Only ASCII letters are swapped: their folding is the same everywhere.
    size_t nameStart = path.find_last_of(u"\\/");
    nameStart = nameStart == std::u16string_view::npos ? 0 : nameStart + 1;
    auto isLetter = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
    const std::u16string_view name = path.substr(nameStart);
    if (std::none_of(name.begin(), name.end(), isLetter)) return kCaseInsensitiveByDefault;
    // Folding is a property of a directory (or of its whole volume), and the
    // probe costs two opens: the last directory's answer is kept for a
    // moment, so a stat of every file of a large directory probes it once.
    struct Answer {
        WString directory;
        bool folds = false;
        std::chrono::steady_clock::time_point when;
    };
    thread_local Answer last;
    const std::u16string_view directory = path.substr(0, nameStart);
    const auto now = platform::caches::CoarseNow();
    if (!directory.empty() && last.directory.sv() == directory &&
        now - last.when < platform::caches::kCaseFoldingLifetime)
        return last.folds;
    WString swapped(path);
    for (size_t i = nameStart; i < swapped.size(); ++i) {
        const char16_t c = swapped[i];
        if (c >= u'a' && c <= u'z')
            swapped.at(i) = static_cast<char16_t>(c - u'a' + u'A');
        else if (c >= u'A' && c <= u'Z')
            swapped.at(i) = static_cast<char16_t>(c - u'A' + u'a');
    }
    BY_HANDLE_FILE_INFORMATION original{}, other{};
    DWORD callersError = GetLastError();
    const bool exists = GetIdentity(path, &original);
    bool same = exists && GetIdentity(swapped, &other) &&
                original.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
                original.nFileIndexHigh == other.nFileIndexHigh &&
                original.nFileIndexLow == other.nFileIndexLow;
    SetLastError(callersError);
    // A swapped name that is another file proves as much as one that is the
    // same file; only a missing original leaves the question open.
    if (exists && !directory.empty()) last = Answer{WString(directory), same, now};
    return same;
#endif
}

// ---- Stat and FStat ----------------------------------------------------------------------

namespace {

// A security descriptor that GetSecurityInfo handed out.
class LocalDescriptor {
  public:
    LocalDescriptor() = default;
    ~LocalDescriptor() {
        if (sd != nullptr) LocalFree(sd);
    }
    LocalDescriptor(const LocalDescriptor&) = delete;
    LocalDescriptor& operator=(const LocalDescriptor&) = delete;

    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PACL sacl = nullptr;
};

uint32_t PermissionBits(DWORD rights, uint32_t read, uint32_t write, uint32_t execute) {
    // The file system says which of the write rights w is decided by.
    const DWORD writeTest = platform::RightsThatGrantWrite(kWriteGroup);
    uint32_t bits = 0;
    if ((rights & kReadGroup) == kReadGroup) bits |= read;
    if ((rights & writeTest) == writeTest) bits |= write;
    if ((rights & kExecuteGroup) == kExecuteGroup) bits |= execute;
    return bits;
}

DWORD EffectiveRights(PACL dacl, PSID sid, const char16_t* callName) {
    Trustee trustee(sid);
    ACCESS_MASK rights = 0;
    DWORD result = GetEffectiveRightsFromAclW(dacl, trustee.Get(), &rights);
    if (result != ERROR_SUCCESS) throw SystemError(callName, result);
    return rights;
}

uint32_t PermissionsOf(const LocalDescriptor& security) {
    return PermissionsFromDacl(security.dacl, security.owner, security.group);
}

void AppendAces(QtVectS<QtSfsAce>& aces, PACL acl, const LocalDescriptor& security,
                const char16_t* infoCall, const char16_t* aceCall) {
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(acl, &size, sizeof(size), AclSizeInformation)) ThrowLastError(infoCall);
    for (DWORD i = 0; i < size.AceCount; ++i) {
        LPVOID ace = nullptr;
        if (!GetAce(acl, i, &ace)) ThrowLastError(aceCall);
        RefPtr<QtSfsAce> converted =
            AceToSfs(static_cast<const ACE_HEADER*>(ace), security.owner, security.group);
        if (converted) aces.Append(converted);
    }
}

RefPtr<QtSfsAcl> AclOf(const LocalDescriptor& security, bool withSacl) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(security.sd, &control, &revision))
        ThrowLastError(u"GetSecurityDescriptorControl()");
    auto acl = MakeRef<QtSfsAcl>();
    acl->m_aces = MakeRef<QtVectS<QtSfsAce>>();
    acl->m_flags = 0x01;  // ControlIncluded
    if ((control & SE_DACL_PROTECTED) == 0) acl->m_flags |= 0x04;
    if (security.dacl != nullptr) {
        acl->m_flags |= 0x02;
        AppendAces(*acl->m_aces, security.dacl, security, u"GetAclInformation(dacl)",
                   u"GetAce(dacl)");
    }
    if (withSacl && security.sacl != nullptr) {
        acl->m_flags |= 0x10;
        if ((control & SE_SACL_PROTECTED) == 0) acl->m_flags |= 0x20;
        AppendAces(*acl->m_aces, security.sacl, security, u"GetAclInformation(sacl)",
                   u"GetAce(sacl)");
    }
    return acl;
}

}  // namespace

uint32_t PermissionsFromDacl(PACL dacl, PSID owner, PSID group) {
    if (dacl == nullptr) return 0x1FF;
    // Made once: every stat asks. Never destroyed, as a provider thread may
    // still ask while the process ends.
    static const OwnedSid& world = *new OwnedSid(WorldSidOwned());
    return PermissionBits(EffectiveRights(dacl, owner, u"GetEffectiveRightsFromAcl(owner)"), 0x100,
                          0x80, 0x40) |
           PermissionBits(EffectiveRights(dacl, group, u"GetEffectiveRightsFromAcl(group)"), 0x20,
                          0x10, 0x08) |
           PermissionBits(EffectiveRights(dacl, world.Get(), u"GetEffectiveRightsFromAcl(world)"),
                          0x04, 0x02, 0x01) |
           platform::SpecialModeBits(dacl);
}

void KilnSfsWin::Stat(const QtSfsRequest& request) {
    const bool byHandle = request.m_type == SfsRequest::FStat;
    FsObj* object = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD granted = 0;
    WString path;
    uint32_t flags = 0;
    bool follow = true;
    if (byHandle) {
        object = &Extract(request);
        flags = QuantumPtrCast<const QtSfsFStat>(request.m_content.get())->m_flags;
        if (FsFile* file = object->AsFile()) {
            handle = file->m_file;
            granted = file->m_accessMask;
        }
        path = object->WinPath() ? object->WinPath()->Str() : WString();
    } else {
        const auto& stat = *QuantumPtrCast<const QtSfsStat>(request.m_content.get());
        flags = stat.m_flags;
        follow = stat.m_followSymlink;
        path = ExtractSfsPath(request);
    }

    if (path.empty()) {
        auto attrs = MakeRef<QtSfsAttrs>();
        attrs->m_type = SfsType::Directory;
        attrs->m_size = 0;
        attrs->m_linkCount = 1;
        attrs->m_validAttrFlags = SfsAttrFlags::Size | SfsAttrFlags::LinkCount;
        LogRequest(request, SfsLogType::Trace, u"KilnSfsWin: Read attributes for logical drives.");
        AnswerAttrs(request, attrs);
        return;
    }

    const char16_t* const suffix = byHandle ? u" (by handle)" : follow ? u" (follow symlink)" : u"";
    // Texts for the log only, made when there is something to log.
    auto quoted = [&] { return u"'" + path + u"'" + suffix; };
    const WString callPath = CallPath(path);
    const bool hasHandle = handle != INVALID_HANDLE_VALUE && handle != nullptr;

    uint32_t securityFlags = SfsAttrFlags::Acl;
    if (PosixPermissions()) securityFlags |= SfsAttrFlags::Permissions;
    if (OwnerGroup()) securityFlags |= SfsAttrFlags::OwnerGroup;
    const bool wantSecurity = (flags & securityFlags) != 0;
    const bool wantAcl = (flags & SfsAttrFlags::Acl) != 0;
    const bool wantPermissions = PosixPermissions() && (flags & SfsAttrFlags::Permissions) != 0;
    const bool wantOwnerGroup = OwnerGroup() && (flags & SfsAttrFlags::OwnerGroup) != 0;
    PrivilegeUser securityPrivilege(SecurityPrivilege());
    const bool withSacl = wantAcl && securityPrivilege.Enable();

    bool probed = false, isLink = false;
    auto probe = [&] {
        probed = true;
        isLink = IsSymlink(callPath);
    };
    if (hasHandle) {
        DWORD needed = FILE_READ_ATTRIBUTES;
        if (wantSecurity) needed |= READ_CONTROL;
        if (withSacl) needed |= ACCESS_SYSTEM_SECURITY;
        if (flags & SfsAttrFlags::TextHint) needed |= FILE_READ_DATA;
        if ((granted & needed) != needed) {
            try {
                probe();
            } catch (const SystemError&) {
                isLink = false;
            }
        }
    }

    // The basic layer: without it there is nothing to answer.
    const bool foldsCase = PathFoldsCase(callPath);
    DWORD openFlags = 0;
    auto reading = [&] { return u"Reading attributes for " + quoted(); };
    RefPtr<QtSfsAttrs> attrs = WithWindowsErrors(*this, request, reading, [&] {
        if (hasHandle && (granted & FILE_READ_ATTRIBUTES)) {
            BY_HANDLE_FILE_INFORMATION info{};
            if (!GetFileInformationByHandle(handle, &info))
                ThrowLastError(u"GetFileInformationByHandle()");
            openFlags = OpenFlagsFor(info.dwFileAttributes);
            return AttrsFromHandleInfo(info, false, foldsCase);
        }
        if (!probed) probe();
        const bool followIt = follow || !isLink;
        const bool linkItself = isLink && !followIt;
        try {
            PathInfo info = GetInfoByPath(callPath, followIt);
            openFlags = OpenFlagsFor(info.info.dwFileAttributes) |
                        (linkItself ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
            return AttrsFromHandleInfo(info.info, linkItself, foldsCase);
        } catch (const SystemError& error) {
            if (error.Code() != ERROR_ACCESS_DENIED || (isLink && followIt)) throw;
        }
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(callPath.c_str(), GetFileExInfoStandard, &data))
            ThrowLastError(u"GetFileAttributesEx()");
        openFlags =
            OpenFlagsFor(data.dwFileAttributes) | (linkItself ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
        return AttrsFromAttributeData(data, isLink, foldsCase);
    });

    bool partial = false;
    auto warn = [&](std::u16string_view what, const SystemError& error) {
        LogRequest(request, SfsLogType::Warning,
                   WString(u"KilnSfsWin: ") + what + quoted() + u" failed. " + error.Description());
        partial = true;
    };

    if (wantSecurity) {
        try {
            SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
            if (wantAcl || wantPermissions) info |= DACL_SECURITY_INFORMATION;
            if (withSacl) info |= SACL_SECURITY_INFORMATION;
            const DWORD access = READ_CONTROL | (withSacl ? ACCESS_SYSTEM_SECURITY : 0);
            LocalDescriptor security;
            auto getBy = [&](HANDLE h) {
                return GetSecurityInfo(h, SE_FILE_OBJECT, info, &security.owner, &security.group,
                                       &security.dacl, &security.sacl, &security.sd);
            };
            if (hasHandle && (granted & access) == access) {
                DWORD result = getBy(handle);
                if (result != ERROR_SUCCESS) throw SystemError(u"GetSecurityInfo()", result);
            } else {
                const char16_t* failedCall = nullptr;
                DWORD failure = ERROR_SUCCESS;
                ScopedHandle opened(CreateFileW(callPath.c_str(), access, kShareAll, nullptr,
                                                OPEN_EXISTING, openFlags, nullptr));
                if (!opened.Valid()) {
                    failedCall = u"CreateFile()";
                    failure = GetLastError();
                } else if (DWORD result = getBy(opened.Get()); result != ERROR_SUCCESS) {
                    failedCall = u"GetSecurityInfo()";
                    failure = result;
                }
                if (failure != ERROR_SUCCESS) {
                    const bool linkProbeMissing = byHandle && !probed;
                    if (failure != ERROR_ACCESS_DENIED || (isLink && follow) || linkProbeMissing)
                        throw SystemError(failedCall, failure);
                    DWORD result = GetNamedSecurityInfoW(
                        callPath.c_str(), SE_FILE_OBJECT, info, &security.owner, &security.group,
                        &security.dacl, &security.sacl, &security.sd);
                    if (result != ERROR_SUCCESS)
                        throw SystemError(u"GetNamedSecurityInfo()", result);
                }
            }

            if (wantOwnerGroup) {
                attrs->m_owner = SidToNameStr(security.owner);
                attrs->m_group = SidToNameStr(security.group);
                attrs->m_validAttrFlags |= SfsAttrFlags::OwnerGroup;
            }
            if (wantPermissions) {
                try {
                    attrs->m_permissions = PermissionsOf(security);
                    attrs->m_validAttrFlags |= SfsAttrFlags::Permissions;
                } catch (const SystemError& error) {
                    warn(u"Interpreting permissions while reading attributes for ", error);
                }
            }
            if (wantAcl) {
                try {
                    attrs->m_acl = AclOf(security, withSacl);
                    attrs->m_validAttrFlags |= SfsAttrFlags::Acl;
                } catch (const SystemError& error) {
                    warn(u"Interpreting ACL while reading attributes for ", error);
                }
            }
        } catch (const SystemError& error) {
            warn(u"Retrieving security info while reading attributes for ", error);
        }
    }

    if ((flags & SfsAttrFlags::TextHint) && attrs->m_type == SfsType::Regular) {
        try {
            const uint32_t count =
                static_cast<uint32_t>(std::min<uint64_t>(attrs->m_size, kTextHintBytes));
            datavect<uint8_t> data;
            bool gotData = true;
            if (count != 0) {
                if (hasHandle && (granted & FILE_READ_DATA)) {
                    gotData = !OverlappedRead(*this, handle, 0, count, data);
                } else {
                    ScopedHandle opened(CreateFileW(callPath.c_str(), FILE_READ_DATA, kShareAll,
                                                    nullptr, OPEN_EXISTING, openFlags, nullptr));
                    if (!opened.Valid()) ThrowLastError(u"CreateFile()");
                    gotData = !OverlappedRead(*this, opened.Get(), 0, count, data);
                }
            }
            if (gotData) {
                attrs->m_textHint = GuessTextHint(data.data(), data.size());
                attrs->m_validAttrFlags |= SfsAttrFlags::TextHint;
            }
        } catch (const SystemError& error) {
            LogRequest(request, SfsLogType::Warning,
                       WString(u"KilnSfsWin: Setting text hint while reading attributes") + suffix +
                           u" for '" + path + u"' failed. " + error.Description());
            partial = true;
        }
    }

    if (LogWanted(request)) {
        WString done = u"KilnSfsWin: Read attributes for " + quoted() + u".";
        if (partial) done += u" Unable to retrieve all attributes.";
        LogRequest(request, SfsLogType::Info, done);
    }
    if (object != nullptr) {
        if (FsFile* file = object->AsFile())
            file->m_accounting.RecordOther();
        else if (FsDir* dir = object->AsDir())
            dir->m_listing.RecordOther();
    }
    AnswerAttrs(request, attrs);
}

}  // namespace kiln::KilnSfsWin
