// Directory listing: OpenDir and ReadDir for real directories (FsDir, read
// with FindFirstFileW/FindNextFileW in batches) and for the virtual directory
// of logical drives (FsRoot, every drive in one batch).
//
// A batch is answered only once the entry after it has been looked for, so
// that a client learns about the end of a directory in the same answer that
// carries its last entries; the entry found beyond a full batch waits in the
// object for the next request.
//
// The directory tells type, size and times; owner, group and permissions,
// which every `ls -l` and recursive transfer wants, are read here for each
// entry as it is found, so that a client need not stat every entry after the
// listing. Links are left without them (their own security needs an open
// that does not follow them); an entry whose security cannot be read is
// listed without it.
#include <cstring>
#include <string>
#include <vector>

#include "sfswin/attrs_read.h"
#include "sfswin/attrs_translation.h"
#include "sfswin/error_mapping.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

// The name of a find record as the system's wide string (the SDK's WCHAR is
// another type of the same representation).
std::u16string_view FileNameOf(const WIN32_FIND_DATAW& data) {
    return reinterpret_cast<const char16_t*>(data.cFileName);
}

constexpr size_t kBatchLimit = 50;
constexpr char16_t kLogicalDrives[] = u"logical drives";

// "." and ".." never come from the disk; hidden entries only when asked.
bool PassesFilter(const WIN32_FIND_DATAW& data, bool showHidden) {
    std::u16string_view name = FileNameOf(data);
    if (name == u"." || name == u"..") return false;
    return showHidden || (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) == 0;
}

RefPtr<QtSfsName> NameOf(std::u16string_view fileName, RefPtr<QtSfsAttrs> attrs) {
    auto name = MakeRef<QtSfsName>();
    name->m_fileName = MakeStr(fileName);
    name->m_attrs = attrs ? std::move(attrs) : MakeRef<QtSfsAttrs>();
    return name;
}

bool IsLinkEntry(const WIN32_FIND_DATAW& data) {
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           data.dwReserved0 == IO_REPARSE_TAG_SYMLINK;
}

// Whether the bytes kept equal the object of `length` bytes at `data`; keeps
// them when not.
bool SameBytes(std::vector<BYTE>& kept, const void* data, size_t length) {
    if (kept.size() == length && std::memcmp(kept.data(), data, length) == 0) return true;
    kept.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + length);
    return false;
}

// Owner, group and permissions of the entries of one batch. The entries of a
// directory mostly share owner, group and access, so the last translation of
// each is kept for the batch (never longer): names and permissions come from
// the entry's own security descriptor, looked up again only when it differs.
class EntrySecurity {
  public:
    EntrySecurity(const KilnSfsWin& provider, std::u16string_view directoryPrefix)
        : m_ownerGroup(provider.OwnerGroup()),
          m_permissions(provider.PosixPermissions()),
          m_path(directoryPrefix),
          m_prefixLength(directoryPrefix.size()) {}

    void AddTo(const WIN32_FIND_DATAW& data, QtSfsAttrs& attrs) {
        if ((!m_ownerGroup && !m_permissions) || IsLinkEntry(data)) return;
        m_path.resize(m_prefixLength);
        m_path.append(FileNameOf(data));
        SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
        if (m_permissions) info |= DACL_SECURITY_INFORMATION;
        PSID owner = nullptr, group = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (GetNamedSecurityInfoW(m_path.c_str(), SE_FILE_OBJECT, info, &owner, &group, &dacl,
                                  nullptr, &sd) != ERROR_SUCCESS)
            return;
        if (owner && group) Translate(owner, group, dacl, attrs);
        LocalFree(sd);
    }

  private:
    void Translate(PSID owner, PSID group, PACL dacl, QtSfsAttrs& attrs) {
        const bool sameOwner = SameBytes(m_owner, owner, GetLengthSid(owner));
        const bool sameGroup = SameBytes(m_group, group, GetLengthSid(group));
        if (m_ownerGroup) {
            if (!sameOwner || !m_ownerName) m_ownerName = SidToNameStr(owner);
            if (!sameGroup || !m_groupName) m_groupName = SidToNameStr(group);
            attrs.m_owner = m_ownerName;
            attrs.m_group = m_groupName;
            attrs.m_validAttrFlags |= SfsAttrFlags::OwnerGroup;
        }
        if (m_permissions) {
            const bool sameDacl =
                dacl ? SameBytes(m_dacl, dacl, dacl->AclSize) : (m_dacl.clear(), m_nullDacl);
            m_nullDacl = dacl == nullptr;
            if (!sameOwner || !sameGroup || !sameDacl || !m_permissionsKnown) {
                try {
                    m_permissionBits = PermissionsFromDacl(dacl, owner, group);
                    m_permissionsKnown = true;
                } catch (const SystemError&) {
                    m_permissionsKnown = false;
                }
            }
            if (m_permissionsKnown) {
                attrs.m_permissions = m_permissionBits;
                attrs.m_validAttrFlags |= SfsAttrFlags::Permissions;
            }
        }
    }

    const bool m_ownerGroup;
    const bool m_permissions;
    std::u16string m_path;
    const size_t m_prefixLength;
    std::vector<BYTE> m_owner, m_group, m_dacl;
    bool m_nullDacl = false;
    RefPtr<QtStr> m_ownerName, m_groupName;
    uint32_t m_permissionBits = 0;
    bool m_permissionsKnown = false;
};

RefPtr<QtSfsName> EntryOf(const WIN32_FIND_DATAW& data, EntrySecurity& security) {
    RefPtr<QtSfsAttrs> attrs = AttrsFromFindData(data);
    security.AddTo(data, *attrs);
    return NameOf(FileNameOf(data), std::move(attrs));
}

// The search pattern of a directory: its path and "*".
WString PatternOf(const WString& directory) {
    return directory + (!directory.empty() && directory.sv().back() == u'\\' ? u"*" : u"\\*");
}

// The parent entry leads nowhere at the top of the client's whole tree.
bool WantsParentEntry(std::u16string_view mountPath, const FsObj& object) {
    return !(mountPath == u"/" && object.SfsPath() && object.SfsPath()->Str().sv() == u"/");
}

WString EntryCount(size_t count) {
    return NumberToText(static_cast<uint64_t>(count)) + (count == 1 ? u" entry" : u" entries");
}

// The attributes of a drive's root; a drive that cannot be asked (no medium,
// say) is still listed, as an empty directory.
RefPtr<QtSfsAttrs> DriveAttrs(char16_t letter) {
    const char16_t root[] = {letter, u':', u'\\', 0};
    try {
        return AttrsFromHandleInfo(GetInfoByPath(root, true).info, false);
    } catch (const SystemError&) {
    }
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(root, &data);
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        return AttrsFromFindData(data);
    }
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_type = SfsType::Directory;
    attrs->m_size = 0;
    attrs->m_validAttrFlags = SfsAttrFlags::Size;
    return attrs;
}

void ReadDrives(KilnSfsWin& provider, const QtSfsRequest& request, FsRoot& root) {
    if (root.m_driveMask == 0 && !root.m_pending) {
        provider.LogRequest(
            request, SfsLogType::Warning,
            WString(u"KilnSfsWin: Listing ") + kLogicalDrives + u" failed with Eof.");
        RaiseStatus(SfsStatusCode::Eof);
    }
    auto names = MakeRef<QtVectS<QtSfsName>>();
    if (root.m_firstBatch && WantsParentEntry(provider.MountPath(), root))
        names->Append(NameOf(u"..", nullptr));
    if (root.m_pending) {
        names->Append(root.m_pending);
        root.m_pending = nullptr;
    }
    for (; root.m_driveMask != 0; root.m_driveMask >>= 1, ++root.m_driveLetter) {
        if ((root.m_driveMask & 1) == 0) continue;
        const char16_t letter[] = {root.m_driveLetter, 0};
        names->Append(NameOf(letter, DriveAttrs(root.m_driveLetter)));
    }

    const size_t count = names->Count();
    root.m_listing.RecordListing(count);
    root.m_firstBatch = false;
    auto answer = MakeRef<QtSfsNames>();
    answer->m_names = names;
    answer->m_endOfList = true;
    provider.LogRequest(request, u"KilnSfsWin: Listed " + EntryCount(count) + u" in " +
                                     kLogicalDrives + u" reaching Eof in the process.");
    provider.AnswerNames(request, answer);
}

void AnswerOpened(KilnSfsWin& provider, const QtSfsRequest& request, std::unique_ptr<FsObj> object,
                  const WString& text) {
    RefPtr<QtBytes> handle = object->Handle();
    provider.Handles().Add(std::move(object));
    provider.LogRequest(request, text);
    auto answer = MakeRef<QtSfsHandle>();
    answer->m_handle = handle;
    provider.AnswerHandle(request, answer);
}

}  // namespace

void KilnSfsWin::OpenDir(const QtSfsRequest& request) {
    WString path = ExtractSfsPath(request);
    auto* content = dynamic_cast<const QtSfsOpenDir*>(request.m_content.get());
    RefPtr<QtStr> sfsPath = content ? content->m_path : nullptr;

    // A handle is issued only for a listing that opened, so that a failed
    // open leaves no gap in the numbering.
    if (path.empty()) {
        DWORD driveMask = GetLogicalDrives();
        if (driveMask == 0) {
            SystemError error(u"GetLogicalDrives()", GetLastError());
            FailRequest(*this, request,
                        DescribeHandlerFailure(WString(u"Opening ") + kLogicalDrives, error));
        }
        auto root = std::make_unique<FsRoot>(sfsPath, MakeStr(u""), NextHandle(), request.m_outLog);
        root->m_driveMask = driveMask;
        return AnswerOpened(*this, request, std::move(root),
                            WString(u"KilnSfsWin: Opened ") + kLogicalDrives + u".");
    }

    WString directory = CallPath(path);
    const WString pattern = PatternOf(directory);

    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            SfsStatusCode code = MapWindowsError(error);
            DWORD attributes = GetFileAttributesW(directory.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                // A link is judged by where it leads: nowhere, or outside, is
                // no file at all.
                try {
                    attributes = GetInfoByPath(directory, true).info.dwFileAttributes;
                } catch (const SystemError&) {
                    attributes = INVALID_FILE_ATTRIBUTES;
                    code = SfsStatusCode::NoSuchFile;
                }
            }
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                code = SfsStatusCode::NotADirectory;
            FailRequest(*this, request,
                        DescribeHandlerFailure(u"Opening directory '" + path + u"'", code,
                                               SystemError(u"FindFirstFile()", error)));
        }
    }
    auto dir = std::make_unique<FsDir>(sfsPath, MakeStr(path), NextHandle(), request.m_outLog);
    dir->m_find = find;
    if (find == INVALID_HANDLE_VALUE) {
        // Nothing at all, not even "." and "..": an empty drive root.
        dir->m_endOfListing = true;
    } else if (PassesFilter(data, ShowHidden())) {
        EntrySecurity security(*this, pattern.sv().substr(0, pattern.size() - 1));
        dir->m_pending = EntryOf(data, security);
    }
    AnswerOpened(*this, request, std::move(dir), u"KilnSfsWin: Opened directory '" + path + u"'.");
}

void KilnSfsWin::ReadDir(const QtSfsRequest& request) {
    FsObj& object = Extract(request);
    if (FsRoot* root = object.AsRoot()) return ReadDrives(*this, request, *root);
    FsDir* dir = object.AsDir();
    if (dir == nullptr) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: Listing directory failed with InvalidHandle.");
        RaiseStatus(SfsStatusCode::InvalidHandle);
    }
    const WString path(dir->WinPath()->Str());
    const WString eofText = u"KilnSfsWin: Listing directory '" + path + u"' failed with Eof.";
    if (dir->m_endOfListing && !dir->m_pending) {
        LogRequest(request, SfsLogType::Warning, eofText);
        RaiseStatus(SfsStatusCode::Eof);
    }

    const WString pattern = PatternOf(CallPath(path));
    EntrySecurity security(*this, pattern.sv().substr(0, pattern.size() - 1));
    auto names = MakeRef<QtVectS<QtSfsName>>();
    if (dir->m_firstBatch && WantsParentEntry(MountPath(), *dir))
        names->Append(NameOf(u"..", nullptr));
    if (dir->m_pending) {
        names->Append(dir->m_pending);
        dir->m_pending = nullptr;
    }
    while (!dir->m_endOfListing) {
        WIN32_FIND_DATAW data{};
        if (!FindNextFileW(dir->m_find, &data)) {
            DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_FILES) dir->m_endOfListing = true;
            // What was collected goes out now; another error comes back on the
            // next request, since nothing here remembers it.
            if (names->Count() != 0) break;
            if (dir->m_endOfListing) {
                LogRequest(request, SfsLogType::Warning, eofText);
                RaiseStatus(SfsStatusCode::Eof);
            }
            FailRequest(*this, request,
                        DescribeHandlerFailure(u"Listing directory '" + path + u"'",
                                               SystemError(u"FindNextFile()", error)));
        }
        if (!PassesFilter(data, ShowHidden())) continue;
        RefPtr<QtSfsName> entry = EntryOf(data, security);
        if (names->Count() >= kBatchLimit) {
            dir->m_pending = entry;
            break;
        }
        names->Append(entry);
    }

    const size_t count = names->Count();
    dir->m_listing.RecordListing(count);
    dir->m_firstBatch = false;
    auto answer = MakeRef<QtSfsNames>();
    answer->m_names = names;
    answer->m_endOfList = dir->m_endOfListing && !dir->m_pending;
    LogRequest(request, u"KilnSfsWin: Listed " + EntryCount(count) + u" in directory '" + path +
                            (answer->m_endOfList ? u"' reaching Eof in the process." : u"'."));
    AnswerNames(request, answer);
}

}  // namespace kiln::KilnSfsWin
