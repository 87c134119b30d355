// Owned SIDs, their text form, and account look-ups in both directions.
#pragma once

#include "nocrtlib/datavect.h"
#include "nocrtlib/ncstring.h"
#include "platform/win32.h"

namespace kiln {

// A byte buffer holding one SID, or empty.
class OwnedSid {
  public:
    OwnedSid() = default;
    OwnedSid(const OwnedSid& other);
    OwnedSid& operator=(const OwnedSid& other);
    OwnedSid(OwnedSid&&) noexcept = default;
    OwnedSid& operator=(OwnedSid&&) noexcept = default;

    // A copy of sid; a null sid gives an empty holder. Raises SystemError
    // "CopySid()" when the SID is invalid or memory runs out.
    static OwnedSid Copy(PSID sid);
    // A SID with one sub-authority: S-1-<authority>-<subAuthority>. Raises
    // SystemError "InitializeSid()".
    static OwnedSid FromAuthority(const SID_IDENTIFIER_AUTHORITY& authority, DWORD subAuthority);

    bool Empty() const { return bytes_.size() == 0; }
    // Null when empty.
    PSID Get() const { return Empty() ? nullptr : const_cast<BYTE*>(bytes_.data()); }

  private:
    datavect<BYTE> bytes_;
};

// The well-known SIDs that the file-system backend names.
OwnedSid WorldSidOwned();            // S-1-1-0
OwnedSid NtAuthoritySid(DWORD rid);  // S-1-5-<rid>

// "S-1-<authority>-<sub>-...", the authority in hexadecimal ("0x" and twelve
// digits) when either of its first two bytes is not 0; "<invalid>" for a SID
// that IsValidSid refuses.
WString SidToText(PSID sid);

// The system's account look-up, replaceable so that tests can stand in for
// what a Windows domain controller answers.
using LookupAccountNameFunction = BOOL (*)(const char16_t*, const char16_t*, PSID, LPDWORD,
                                           char16_t*, LPDWORD, PSID_NAME_USE);

// Name to SID on the local system. False with the thread's last error:
// ERROR_BAD_ARGUMENTS for an empty name, ERROR_INVALID_DATA when the answer
// is no valid SID, or the look-up's own error. A domain whose SID ends in
// 0xFFFFFFFF loses that last sub-authority.
bool LookupSidOfName(const WString& name, OwnedSid* sid, SID_NAME_USE* use = nullptr,
                     LookupAccountNameFunction lookup = LookupAccountNameW);

// Account and domain of a SID.
struct AccountNames {
    WString account;
    WString domain;
    SID_NAME_USE use = SidTypeUnknown;
};

// SID to names on the local system. False with the thread's last error
// (ERROR_BAD_ARGUMENTS for a null SID).
bool LookupNamesOfSid(PSID sid, AccountNames* names);

}  // namespace kiln
