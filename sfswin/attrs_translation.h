// Translation between the SFS view of principals and access (names, POSIX
// permissions, ACEs with text principals) and the Windows one (SIDs, ACLs,
// security descriptors), and of SFS times into FILETIMEs. The attribute
// writers (SetStat, Open of a new file, MkDir) build the native form here;
// the attribute readers turn SIDs and ACEs back into SFS terms.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "nocrtlib/ncstring.h"
#include "nocrtlib/security_acl.h"
#include "nocrtlib/security_sid.h"
#include "platform/file_modes.h"
#include "platform/win32.h"
#include "sfs/sfs_attrs.h"
#include "sfs/sfs_requests.h"

namespace kiln::KilnSfsWin {

class KilnSfsWin;

// ---- Principals ---------------------------------------------------------------

// "OWNER@" or "GROUP@" when the SID is the object's owner or group (either may
// be null), a special name for a few well-known SIDs, account@domain when the
// system knows the SID, else the SID's text form. Never fails.
WString SidToName(PSID sid, PSID owner = nullptr, PSID group = nullptr);
// The same name as a string quantum, for an answer.
RefPtr<QtStr> SidToNameStr(PSID sid);

// Which kind of account a bare name means: the owner field names a user
// first, the group field a group first; an ACE's principal either.
enum class PrincipalKind { Any, User, Group };

// The SID that a name stands for: the special names (ending in "@", case of
// A-Z ignored; "OWNER@"/"GROUP@" only when the owner/group is given), a SID
// in text form (S-1-...), else a look-up of "domain\account" for
// "account@domain" or of the bare account, tried first as the kind asked for.
// Raises SystemError "LookupAccountName()".
OwnedSid NameToSid(std::u16string_view name, PSID owner = nullptr, PSID group = nullptr,
                   PrincipalKind kind = PrincipalKind::Any);

// The SFS form of a Windows ACE (allowed, denied or audit); nothing for other
// types. Flags and mask are filtered to what SFS carries.
RefPtr<QtSfsAce> AceToSfs(const ACE_HEADER* ace, PSID owner, PSID group);

// The access-mask bits that SFS ACEs carry in either direction.
inline constexpr DWORD kSfsAceMaskBits = 0x011F01FFu;

// ---- The attribute record of a request --------------------------------------------

struct RequestAttrs {
    RefPtr<QtSfsAttrs> attrs;  // never null: an empty record when the request has none
    const char16_t* action;    // "Opening file", "Writing attributes for", "Creating directory"
};

// The attribute record of an Open, SetStat, FSetStat or MkDir request; any
// other type is a dispatcher fault and ends the component.
RequestAttrs ExtractSfsAttrs(const QtSfsRequest& request);

// ---- Native times ------------------------------------------------------------------

struct NativeFileTimes {
    struct Entry {
        bool present = false;
        FILETIME time{};
        const FILETIME* Get() const { return present ? &time : nullptr; }
    };
    Entry creation;
    Entry modification;
    Entry access;

    bool Any() const { return creation.present || modification.present || access.present; }
};

// SFS seconds and nanoseconds as a FILETIME; nothing when the nanoseconds are
// out of range or the result does not fit.
std::optional<FILETIME> SfsTimeToFileTime(uint64_t seconds, uint32_t nanoseconds);

// The requested times as FILETIMEs. A time that cannot be converted is logged
// ("KilnSfsWin: " + action + " '" + path + "' failed with InvalidParameter. ...")
// and raises the status InvalidParameter.
NativeFileTimes NativeTimes(KilnSfsWin& provider, const QtSfsRequest& request,
                            const RequestAttrs& attrs, std::u16string_view path);

// ---- Native security -----------------------------------------------------------------

// What a request asks to set of owner, group and access, in Windows form. The
// SIDs and ACLs are owned here; the optional descriptor points at them, so the
// object stays where it was made (it is handed out behind a unique_ptr).
struct NativeFileSecurity {
    NativeFileSecurity() = default;
    NativeFileSecurity(const NativeFileSecurity&) = delete;
    NativeFileSecurity& operator=(const NativeFileSecurity&) = delete;

    bool built = false;  // false: the request asks for no security at all

    OwnedSid owner;  // empty: absent
    OwnedSid group;
    bool ownerFromRequest = false;  // from the record, not the current one
    bool groupFromRequest = false;

    AclBuffer dacl;  // null with daclPresent: a null DACL (everyone may do anything)
    bool daclPresent = false;
    bool daclProtected = false;

    AclBuffer sacl;
    bool saclPresent = false;
    bool saclProtected = false;

    std::unique_ptr<SecurityDescriptorHolder> descriptor;  // when one was wanted

    // Null when no descriptor was made (nothing asked for, or not wanted).
    PSECURITY_DESCRIPTOR Descriptor() const { return descriptor ? descriptor->Get() : nullptr; }
};

// The owner, group, DACL and SACL that the record asks for, given the current
// owner and group (either may be null), with a security descriptor when
// `wantDescriptor`. Failures are logged with the request's action and path and
// raise the status of the failure (InvalidParameter for a name that cannot be
// converted or an Acl flag without an ACL, Failure otherwise).
std::unique_ptr<NativeFileSecurity> NativeSecurity(KilnSfsWin& provider,
                                                   const QtSfsRequest& request,
                                                   const RequestAttrs& attrs,
                                                   std::u16string_view path, PSID currentOwner,
                                                   PSID currentGroup, bool wantDescriptor);

// The access rights that stand for POSIX r, w and x.
inline constexpr DWORD kReadGroup = 0x00120089u;     // FILE_GENERIC_READ
inline constexpr DWORD kWriteGroup = 0x00110116u;    // data, append, EA, attributes, DELETE
inline constexpr DWORD kExecuteGroup = 0x00100020u;  // FILE_EXECUTE, SYNCHRONIZE

// The protected DACL that stands for POSIX permissions, with owner and group
// SIDs; deny entries only where Windows' evaluation order would otherwise
// grant more than the permissions do. Where the file system keeps a mode of
// its own (platform/file_modes.h), an entry carrying the whole mode comes
// last. Raises SystemError.
void BuildPermissionsDacl(AclBuffer& dacl, uint32_t permissions, PSID owner, PSID group);

// ---- Attribute bits ------------------------------------------------------------------------

// The Windows attributes after applying the record's valid ReadOnly, System,
// Hidden and Archive bits to `current`; `current` itself when Bits is not
// requested.
DWORD ApplyAttrBits(const QtSfsAttrs& attrs, DWORD current);

}  // namespace kiln::KilnSfsWin
