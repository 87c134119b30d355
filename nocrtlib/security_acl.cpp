#include "nocrtlib/security_acl.h"

#include <algorithm>
#include <cstring>

#include "nocrtlib/dll_loader.h"
#include "nocrtlib/exceptions.h"

namespace kiln {

namespace {

constexpr SIZE_T kMaxAclSize = 0xFFFF;
constexpr SIZE_T kAclHeaderSize = 8;

}  // namespace

AclBuffer::~AclBuffer() {
    if (acl_) LocalFree(acl_);
}

AclBuffer& AclBuffer::operator=(AclBuffer&& other) noexcept {
    if (this != &other) {
        if (acl_) LocalFree(acl_);
        acl_ = other.acl_;
        other.acl_ = nullptr;
    }
    return *this;
}

PACL AclBuffer::Allocate(SIZE_T bytes) {
    bytes = std::clamp(bytes, kAclHeaderSize, kMaxAclSize);
    auto* acl = static_cast<PACL>(LocalAlloc(LMEM_FIXED, bytes));
    if (!acl) ThrowLastError(u"LocalAlloc()");
    // The header is written directly: its size is what the allocator really
    // gave, within what an ACL can describe.
    SIZE_T size = std::min(LocalSize(acl), kMaxAclSize);
    acl->AclRevision = ACL_REVISION;
    acl->Sbz1 = 0;
    acl->AclSize = static_cast<WORD>(size);
    acl->AceCount = 0;
    acl->Sbz2 = 0;
    return acl;
}

void AclBuffer::MakeEmpty() {
    PACL acl = Allocate(kAclHeaderSize);
    if (acl_) LocalFree(acl_);
    acl_ = acl;
}

void AclBuffer::MakeRoom(DWORD bytes) {
    if (!acl_) {
        acl_ = Allocate(SIZE_T{bytes} + kAclHeaderSize);
        return;
    }
    ACL_SIZE_INFORMATION info{};
    if (!GetAclInformation(acl_, &info, sizeof info, AclSizeInformation))
        ThrowLastError(u"GetAclInformation()");
    if (info.AclBytesFree >= bytes) return;
    SIZE_T total = SIZE_T{info.AclBytesInUse} + info.AclBytesFree;
    PACL grown = Allocate(std::max(2 * total, SIZE_T{info.AclBytesInUse} + bytes));
    WORD size = grown->AclSize;
    std::memcpy(grown, acl_, info.AclBytesInUse);
    grown->AclSize = size;
    LocalFree(acl_);
    acl_ = grown;
}

void AclBuffer::AddAllowed(DWORD flags, DWORD mask, PSID sid) {
    MakeRoom(GetLengthSid(sid) + 12);
    if (!AddAccessAllowedAceEx(acl_, ACL_REVISION, flags, mask, sid))
        ThrowLastError(u"AddAccessAllowedAceEx()");
}

void AclBuffer::AddDenied(DWORD flags, DWORD mask, PSID sid) {
    MakeRoom(GetLengthSid(sid) + 12);
    if (!AddAccessDeniedAceEx(acl_, ACL_REVISION, flags, mask, sid))
        ThrowLastError(u"AddAccessDeniedAceEx()");
}

void AclBuffer::AddAudit(DWORD flags, DWORD mask, PSID sid, bool auditSuccess, bool auditFailure) {
    MakeRoom(GetLengthSid(sid) + 12);
    if (!AddAuditAccessAceEx(acl_, ACL_REVISION, flags, mask, sid, auditSuccess, auditFailure))
        ThrowLastError(u"AddAuditAccessAceEx()");
}

SecurityDescriptorHolder::~SecurityDescriptorHolder() {
    if (sd_) LocalFree(sd_);
}

void SecurityDescriptorHolder::Make() {
    // The absolute form holds four pointers: 40 bytes on 64-bit systems.
    PSECURITY_DESCRIPTOR sd = LocalAlloc(LMEM_ZEROINIT, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (!sd) ThrowLastError(u"SecurityDescriptor: LocalAlloc()");
    if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION)) {
        DWORD error = GetLastError();
        LocalFree(sd);
        throw SystemError(u"InitializeSecurityDescriptor()", error);
    }
    if (sd_) LocalFree(sd_);
    sd_ = sd;
}

void SecurityDescriptorHolder::SetOwner(PSID owner, bool defaulted) {
    if (!SetSecurityDescriptorOwner(sd_, owner, defaulted))
        ThrowLastError(u"SetSecurityDescriptorOwner()");
}

void SecurityDescriptorHolder::SetGroup(PSID group, bool defaulted) {
    if (!SetSecurityDescriptorGroup(sd_, group, defaulted))
        ThrowLastError(u"SetSecurityDescriptorGroup()");
}

void SecurityDescriptorHolder::SetDacl(PACL dacl) {
    if (!SetSecurityDescriptorDacl(sd_, TRUE, dacl, FALSE))
        ThrowLastError(u"SetSecurityDescriptorDacl()");
}

void SecurityDescriptorHolder::SetSacl(PACL sacl) {
    if (!SetSecurityDescriptorSacl(sd_, TRUE, sacl, FALSE))
        ThrowLastError(u"SetSecurityDescriptorSacl()");
}

void SecurityDescriptorHolder::SetControl(SECURITY_DESCRIPTOR_CONTROL mask,
                                          SECURITY_DESCRIPTOR_CONTROL values) {
    if (!sysentry::HasSetSecurityDescriptorControl()) return;
    if (!sysentry::SetSecurityDescriptorControl(sd_, mask, values))
        ThrowLastError(u"SetSecurityDescriptorControl()");
}

Trustee::Trustee(PSID sid) {
    trustee_.pMultipleTrustee = nullptr;
    trustee_.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    trustee_.TrusteeForm = TRUSTEE_IS_SID;
    trustee_.TrusteeType = TRUSTEE_IS_UNKNOWN;
    trustee_.ptstrName = static_cast<LPWSTR>(sid);
}

SecurityAttributesHolder::SecurityAttributesHolder(PSECURITY_DESCRIPTOR descriptor) {
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
}

}  // namespace kiln
