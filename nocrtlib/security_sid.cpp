#include "nocrtlib/security_sid.h"

#include <cstdio>

#include "nocrtlib/exceptions.h"

namespace kiln {

OwnedSid::OwnedSid(const OwnedSid& other) : OwnedSid(Copy(other.Get())) {}

OwnedSid& OwnedSid::operator=(const OwnedSid& other) {
    if (this != &other) *this = Copy(other.Get());
    return *this;
}

OwnedSid OwnedSid::Copy(PSID sid) {
    OwnedSid owned;
    if (!sid) return owned;
    DWORD length = GetLengthSid(sid);
    if (length == 0) throw SystemError(u"CopySid()", GetLastError());
    if (!owned.bytes_.resize(length)) throw SystemError(u"CopySid()", ERROR_NOT_ENOUGH_MEMORY);
    if (!CopySid(length, owned.bytes_.data(), sid)) ThrowLastError(u"CopySid()");
    return owned;
}

OwnedSid OwnedSid::FromAuthority(const SID_IDENTIFIER_AUTHORITY& authority, DWORD subAuthority) {
    OwnedSid owned;
    DWORD length = GetSidLengthRequired(1);
    if (!owned.bytes_.resize(length))
        throw SystemError(u"InitializeSid()", ERROR_NOT_ENOUGH_MEMORY);
    SID_IDENTIFIER_AUTHORITY copy = authority;
    if (!InitializeSid(owned.bytes_.data(), &copy, 1)) ThrowLastError(u"InitializeSid()");
    *GetSidSubAuthority(owned.bytes_.data(), 0) = subAuthority;
    return owned;
}

OwnedSid WorldSidOwned() {
    return OwnedSid::FromAuthority(SID_IDENTIFIER_AUTHORITY{{0, 0, 0, 0, 0, 1}},
                                   SECURITY_WORLD_RID);
}

OwnedSid NtAuthoritySid(DWORD rid) {
    return OwnedSid::FromAuthority(SID_IDENTIFIER_AUTHORITY{{0, 0, 0, 0, 0, 5}}, rid);
}

WString SidToText(PSID sid) {
    if (!sid || !IsValidSid(sid)) return WString(u"<invalid>");
    const BYTE* a = GetSidIdentifierAuthority(sid)->Value;
    char text[32];
    if (a[0] != 0 || a[1] != 0) {
        std::snprintf(text, sizeof text, "S-%lu-0x%02hx%02hx%02hx%02hx%02hx%02hx", 1ul,
                      static_cast<unsigned short>(a[0]), static_cast<unsigned short>(a[1]),
                      static_cast<unsigned short>(a[2]), static_cast<unsigned short>(a[3]),
                      static_cast<unsigned short>(a[4]), static_cast<unsigned short>(a[5]));
    } else {
        unsigned long value = static_cast<unsigned long>(a[2]) << 24 |
                              static_cast<unsigned long>(a[3]) << 16 |
                              static_cast<unsigned long>(a[4]) << 8 | a[5];
        std::snprintf(text, sizeof text, "S-%lu-%lu", 1ul, value);
    }
    WString result = Widen(text);
    UCHAR count = *GetSidSubAuthorityCount(sid);
    for (DWORD i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, "-%lu",
                      static_cast<unsigned long>(*GetSidSubAuthority(sid, i)));
        result += Widen(text);
    }
    return result;
}

bool LookupSidOfName(const WString& name, OwnedSid* sid, SID_NAME_USE* use,
                     LookupAccountNameFunction lookup) {
    if (name.empty()) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return false;
    }
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE nameUse = SidTypeUnknown;
    if (lookup(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &nameUse) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    // Room for twice what was asked, as the sizes may grow between the calls.
    datavect<BYTE> sidBuffer;
    datavect<char16_t> domain;
    sidSize = 2 * sidSize + 2;
    domainSize = domainSize + 1;  // 2 x size + 2 bytes
    if (!sidBuffer.resize(sidSize) || !domain.resize(domainSize)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (!lookup(nullptr, name.c_str(), sidBuffer.data(), &sidSize, domain.data(), &domainSize,
                &nameUse))
        return false;
    PSID found = sidBuffer.data();
    if (!IsValidSid(found) || GetLengthSid(found) > sidBuffer.size()) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    PUCHAR count = GetSidSubAuthorityCount(found);
    if (nameUse == SidTypeDomain && *count > 0 &&
        *GetSidSubAuthority(found, *count - 1) == 0xFFFFFFFFu)
        --*count;
    *sid = OwnedSid::Copy(found);
    if (use) *use = nameUse;
    return true;
}

bool LookupNamesOfSid(PSID sid, AccountNames* names) {
    if (!sid) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return false;
    }
    DWORD accountSize = 0, domainSize = 0;
    SID_NAME_USE use = SidTypeUnknown;
    if (LookupAccountSidW(nullptr, sid, nullptr, &accountSize, nullptr, &domainSize, &use) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    datavect<char16_t> account, domain;
    accountSize += 1;  // 2 x size + 2 bytes
    domainSize += 1;
    if (!account.resize(accountSize) || !domain.resize(domainSize)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (!LookupAccountSidW(nullptr, sid, account.data(), &accountSize, domain.data(), &domainSize,
                           &use))
        return false;
    if (!names->account.assign(std::u16string_view(account.data(), accountSize)) ||
        !names->domain.assign(std::u16string_view(domain.data(), domainSize))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    names->use = use;
    return true;
}

}  // namespace kiln
