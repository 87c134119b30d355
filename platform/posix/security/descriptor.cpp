// Security descriptors in their absolute and self-relative forms.
#include <cstring>

#include "platform/posix/security/internal.h"
#include "platform/win32_system.h"

namespace kiln::platform::security {

namespace {

size_t RoundUp4(size_t n) {
    return (n + 3) & ~size_t{3};
}

}  // namespace

PSECURITY_DESCRIPTOR MakeSelfRelativeDescriptor(const DescriptorParts& parts) {
    size_t size = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    const Bytes* ordered[4] = {parts.sacl, parts.dacl, parts.owner, parts.group};
    DWORD offsets[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        if (!ordered[i] || ordered[i]->empty()) continue;
        offsets[i] = static_cast<DWORD>(size);
        size += RoundUp4(ordered[i]->size());
    }
    BYTE* block = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size));
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    for (int i = 0; i < 4; ++i) {
        if (offsets[i]) std::memcpy(block + offsets[i], ordered[i]->data(), ordered[i]->size());
    }
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(parts.control | SE_SELF_RELATIVE);
    if (parts.saclPresent) header.Control |= SE_SACL_PRESENT;
    if (parts.daclPresent) header.Control |= SE_DACL_PRESENT;
    header.Sacl = offsets[0];
    header.Dacl = offsets[1];
    header.Owner = offsets[2];
    header.Group = offsets[3];
    std::memcpy(block, &header, sizeof header);
    return block;
}

}  // namespace kiln::platform::security

using namespace kiln::platform::security;

namespace {

enum class Part { Owner, Group, Sacl, Dacl };

bool ReadControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL* control) {
    if (!sd || static_cast<const BYTE*>(sd)[0] != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    std::memcpy(control, static_cast<const BYTE*>(sd) + 2, 2);
    return true;
}

void WriteControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL control) {
    std::memcpy(static_cast<BYTE*>(sd) + 2, &control, 2);
}

// The part as a pointer, for both forms.
void* PartOf(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL control, Part part) {
    BYTE* base = static_cast<BYTE*>(sd);
    if (control & SE_SELF_RELATIVE) {
        static const size_t fieldOffsets[] = {offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner),
                                              offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group),
                                              offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl),
                                              offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl)};
        DWORD offset;
        std::memcpy(&offset, base + fieldOffsets[static_cast<int>(part)], 4);
        return offset ? base + offset : nullptr;
    }
    auto* absolute = static_cast<PISECURITY_DESCRIPTOR>(sd);
    switch (part) {
        case Part::Owner:
            return absolute->Owner;
        case Part::Group:
            return absolute->Group;
        case Part::Sacl:
            return absolute->Sacl;
        case Part::Dacl:
            return absolute->Dacl;
    }
    return nullptr;
}

// The absolute descriptor to change, or null with the Windows error.
PISECURITY_DESCRIPTOR Writable(PSECURITY_DESCRIPTOR sd) {
    SECURITY_DESCRIPTOR_CONTROL control;
    if (!ReadControl(sd, &control)) {
        if (sd) SetLastError(ERROR_UNKNOWN_REVISION);
        return nullptr;
    }
    if (control & SE_SELF_RELATIVE) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return nullptr;
    }
    return static_cast<PISECURITY_DESCRIPTOR>(sd);
}

void SetBit(PISECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL bit, bool on) {
    if (on) {
        sd->Control |= bit;
    } else {
        sd->Control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~bit);
    }
}

}  // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (!pSecurityDescriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SECURITY_DESCRIPTOR empty{};
    empty.Revision = SECURITY_DESCRIPTOR_REVISION;
    std::memcpy(pSecurityDescriptor, &empty, sizeof empty);
    return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    SECURITY_DESCRIPTOR_CONTROL control;
    if (!ReadControl(pSecurityDescriptor, &control)) return FALSE;
    void* owner = PartOf(pSecurityDescriptor, control, Part::Owner);
    void* group = PartOf(pSecurityDescriptor, control, Part::Group);
    void* dacl = PartOf(pSecurityDescriptor, control, Part::Dacl);
    void* sacl = PartOf(pSecurityDescriptor, control, Part::Sacl);
    bool valid = (!owner || SidHeaderValid(owner)) && (!group || SidHeaderValid(group)) &&
                 (!(control & SE_DACL_PRESENT) || !dacl || ParseAcl(dacl, nullptr, nullptr)) &&
                 (!(control & SE_SACL_PRESENT) || !sacl || ParseAcl(sacl, nullptr, nullptr));
    if (!valid) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    return TRUE;
}

DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    SECURITY_DESCRIPTOR_CONTROL control;
    if (!ReadControl(pSecurityDescriptor, &control)) return 0;
    auto partEnd = [&](Part part, bool isSid) -> size_t {
        void* p = PartOf(pSecurityDescriptor, control, part);
        if (!p) return 0;
        size_t length = isSid ? (SidHeaderValid(p) ? SidLength(p) : 0) : AclSizeOf(p);
        if (control & SE_SELF_RELATIVE) {
            return static_cast<size_t>(static_cast<BYTE*>(p) -
                                       static_cast<BYTE*>(pSecurityDescriptor)) +
                   length;
        }
        return (length + 3) & ~size_t{3};
    };
    size_t parts[4] = {partEnd(Part::Owner, true), partEnd(Part::Group, true),
                       partEnd(Part::Sacl, false), partEnd(Part::Dacl, false)};
    if (control & SE_SELF_RELATIVE) {
        size_t end = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
        for (size_t e : parts) end = e > end ? e : end;
        return static_cast<DWORD>(end);
    }
    return static_cast<DWORD>(sizeof(SECURITY_DESCRIPTOR) + parts[0] + parts[1] + parts[2] +
                              parts[3]);
}

BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner,
                                BOOL bOwnerDefaulted) {
    PISECURITY_DESCRIPTOR sd = Writable(pSecurityDescriptor);
    if (!sd) return FALSE;
    sd->Owner = pOwner;
    SetBit(sd, SE_OWNER_DEFAULTED, bOwnerDefaulted);
    return TRUE;
}

BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup,
                                BOOL bGroupDefaulted) {
    PISECURITY_DESCRIPTOR sd = Writable(pSecurityDescriptor);
    if (!sd) return FALSE;
    sd->Group = pGroup;
    SetBit(sd, SE_GROUP_DEFAULTED, bGroupDefaulted);
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                               PACL pDacl, BOOL bDaclDefaulted) {
    PISECURITY_DESCRIPTOR sd = Writable(pSecurityDescriptor);
    if (!sd) return FALSE;
    sd->Dacl = bDaclPresent ? pDacl : nullptr;
    SetBit(sd, SE_DACL_PRESENT, bDaclPresent);
    SetBit(sd, SE_DACL_DEFAULTED, bDaclPresent && bDaclDefaulted);
    return TRUE;
}

BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bSaclPresent,
                               PACL pSacl, BOOL bSaclDefaulted) {
    PISECURITY_DESCRIPTOR sd = Writable(pSecurityDescriptor);
    if (!sd) return FALSE;
    sd->Sacl = bSaclPresent ? pSacl : nullptr;
    SetBit(sd, SE_SACL_PRESENT, bSaclPresent);
    SetBit(sd, SE_SACL_DEFAULTED, bSaclPresent && bSaclDefaulted);
    return TRUE;
}

namespace {

BOOL GetSidPart(PSECURITY_DESCRIPTOR sd, Part part, SECURITY_DESCRIPTOR_CONTROL defaultedBit,
                PSID* sid, LPBOOL defaulted) {
    SECURITY_DESCRIPTOR_CONTROL control;
    if (!ReadControl(sd, &control)) return FALSE;
    if (!sid || !defaulted) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *sid = PartOf(sd, control, part);
    *defaulted = (control & defaultedBit) ? TRUE : FALSE;
    return TRUE;
}

BOOL GetAclPart(PSECURITY_DESCRIPTOR sd, Part part, SECURITY_DESCRIPTOR_CONTROL presentBit,
                SECURITY_DESCRIPTOR_CONTROL defaultedBit, LPBOOL present, PACL* acl,
                LPBOOL defaulted) {
    SECURITY_DESCRIPTOR_CONTROL control;
    if (!ReadControl(sd, &control)) return FALSE;
    if (!present || !acl || !defaulted) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // As Windows, the ACL and the defaulted flag are only written when present.
    *present = (control & presentBit) ? TRUE : FALSE;
    if (*present) {
        *acl = static_cast<PACL>(PartOf(sd, control, part));
        *defaulted = (control & defaultedBit) ? TRUE : FALSE;
    }
    return TRUE;
}

}  // namespace

BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner,
                                LPBOOL lpbOwnerDefaulted) {
    return GetSidPart(pSecurityDescriptor, Part::Owner, SE_OWNER_DEFAULTED, pOwner,
                      lpbOwnerDefaulted);
}

BOOL GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pGroup,
                                LPBOOL lpbGroupDefaulted) {
    return GetSidPart(pSecurityDescriptor, Part::Group, SE_GROUP_DEFAULTED, pGroup,
                      lpbGroupDefaulted);
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent,
                               PACL* pDacl, LPBOOL lpbDaclDefaulted) {
    return GetAclPart(pSecurityDescriptor, Part::Dacl, SE_DACL_PRESENT, SE_DACL_DEFAULTED,
                      lpbDaclPresent, pDacl, lpbDaclDefaulted);
}

BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbSaclPresent,
                               PACL* pSacl, LPBOOL lpbSaclDefaulted) {
    return GetAclPart(pSecurityDescriptor, Part::Sacl, SE_SACL_PRESENT, SE_SACL_DEFAULTED,
                      lpbSaclPresent, pSacl, lpbSaclDefaulted);
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                  PSECURITY_DESCRIPTOR_CONTROL pControl, LPDWORD lpdwRevision) {
    SECURITY_DESCRIPTOR_CONTROL control;
    if (!ReadControl(pSecurityDescriptor, &control)) return FALSE;
    if (!pControl || !lpdwRevision) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pControl = control;
    *lpdwRevision = static_cast<const BYTE*>(pSecurityDescriptor)[0];
    return TRUE;
}

BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                  SECURITY_DESCRIPTOR_CONTROL ControlBitsOfInterest,
                                  SECURITY_DESCRIPTOR_CONTROL ControlBitsToSet) {
    constexpr SECURITY_DESCRIPTOR_CONTROL changeable =
        SE_DACL_UNTRUSTED | SE_SERVER_SECURITY | SE_DACL_AUTO_INHERIT_REQ |
        SE_SACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED |
        SE_DACL_PROTECTED | SE_SACL_PROTECTED;
    SECURITY_DESCRIPTOR_CONTROL control;
    if (!ReadControl(pSecurityDescriptor, &control)) return FALSE;
    if ((ControlBitsOfInterest | ControlBitsToSet) & ~changeable) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    control = static_cast<SECURITY_DESCRIPTOR_CONTROL>((control & ~ControlBitsOfInterest) |
                                                       (ControlBitsToSet & ControlBitsOfInterest));
    WriteControl(pSecurityDescriptor, control);
    return TRUE;
}
