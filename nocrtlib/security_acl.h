// Owning holders of the Windows security structures that the backend builds:
// ACL buffers that grow as entries are added, security descriptors, trustees
// and security attributes. Failures raise SystemError with the failed call's
// name.
#pragma once

#include "nocrtlib/ncstring.h"
#include "platform/win32.h"

namespace kiln {

// A Windows ACL in LocalAlloc memory, or null. Before an entry of n bytes is
// added the buffer makes room: a missing buffer is made with n + 8 bytes; a
// full one is replaced by one of max(2 x its size, in use + n) bytes. No ACL
// exceeds 0xFFFF bytes: past that, adding fails with the add call's name.
class AclBuffer {
  public:
    AclBuffer() = default;
    ~AclBuffer();
    AclBuffer(const AclBuffer&) = delete;
    AclBuffer& operator=(const AclBuffer&) = delete;
    AclBuffer(AclBuffer&& other) noexcept : acl_(other.acl_) { other.acl_ = nullptr; }
    AclBuffer& operator=(AclBuffer&& other) noexcept;

    PACL Get() const { return acl_; }

    // Replaces the buffer with an empty ACL of 8 bytes (grants nothing).
    void MakeEmpty();
    // Raise "AddAccessAllowedAceEx()", "AddAccessDeniedAceEx()",
    // "AddAuditAccessAceEx()", or "GetAclInformation()" / "LocalAlloc()"
    // while making room.
    void AddAllowed(DWORD flags, DWORD mask, PSID sid);
    void AddDenied(DWORD flags, DWORD mask, PSID sid);
    void AddAudit(DWORD flags, DWORD mask, PSID sid, bool auditSuccess, bool auditFailure);

  private:
    void MakeRoom(DWORD bytes);
    static PACL Allocate(SIZE_T bytes);

    PACL acl_ = nullptr;
};

// An absolute security descriptor that points at owner, group and ACLs
// owned by other holders.
class SecurityDescriptorHolder {
  public:
    SecurityDescriptorHolder() = default;
    ~SecurityDescriptorHolder();
    SecurityDescriptorHolder(const SecurityDescriptorHolder&) = delete;
    SecurityDescriptorHolder& operator=(const SecurityDescriptorHolder&) = delete;

    // Raises "SecurityDescriptor: LocalAlloc()" or "InitializeSecurityDescriptor()".
    void Make();
    PSECURITY_DESCRIPTOR Get() const { return sd_; }

    void SetOwner(PSID owner, bool defaulted);  // "SetSecurityDescriptorOwner()"
    void SetGroup(PSID group, bool defaulted);  // "SetSecurityDescriptorGroup()"
    void SetDacl(PACL dacl);                    // present, not defaulted
    void SetSacl(PACL sacl);
    // Changes the bits in mask to those of values, where the system has
    // SetSecurityDescriptorControl (Windows 2000 and later); elsewhere does
    // nothing. Raises "SetSecurityDescriptorControl()".
    void SetControl(SECURITY_DESCRIPTOR_CONTROL mask, SECURITY_DESCRIPTOR_CONTROL values);

  private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
};

// A trustee given by SID.
class Trustee {
  public:
    explicit Trustee(PSID sid);
    PTRUSTEE_W Get() { return &trustee_; }

  private:
    TRUSTEE_W trustee_{};
};

// Security attributes carrying a descriptor, not inheritable.
class SecurityAttributesHolder {
  public:
    explicit SecurityAttributesHolder(PSECURITY_DESCRIPTOR descriptor);
    LPSECURITY_ATTRIBUTES Get() { return &attributes_; }

  private:
    SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace kiln
