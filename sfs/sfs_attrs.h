// Attribute records: QtSfsAttrs carries every attribute field on the wire,
// always; m_validAttrFlags (SfsAttrFlags) only says which of them mean
// something. ACLs travel inside it as a QtSfsAcl of QtSfsAce entries.
#pragma once

#include <tuple>

#include "quantum/message.h"
#include "quantum/qt_str.h"
#include "quantum/qt_vect.h"
#include "sfs/sfs_enums.h"

namespace kiln {

class QtSfsAce : public QtMessage<QtSfsAce> {
  public:
    KILN_QUANTUM_ID(QtSfsAce)
    SfsAceType m_type = SfsAceType::AccessAllowed;
    uint32_t m_flags = 0;  // ACE flags
    uint32_t m_mask = 0;   // SfsAccessMask
    RefPtr<QtStr> m_who;   // account name, or "OWNER@", "GROUP@", "EVERYONE@"

    static constexpr auto Fields() {
        return std::make_tuple(
            Field("m_type", &QtSfsAce::m_type), Field("m_flags", &QtSfsAce::m_flags),
            Field("m_mask", &QtSfsAce::m_mask), Field("m_who", &QtSfsAce::m_who));
    }
};

class QtSfsAcl : public QtMessage<QtSfsAcl> {
  public:
    KILN_QUANTUM_ID(QtSfsAcl)
    uint32_t m_flags = 0;  // ACL flags
    RefPtr<QtVectS<QtSfsAce>> m_aces;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_flags", &QtSfsAcl::m_flags),
                               Field("m_aces", &QtSfsAcl::m_aces));
    }
};

class QtSfsAttrs : public QtMessage<QtSfsAttrs> {
  public:
    KILN_QUANTUM_ID(QtSfsAttrs)
    uint32_t m_validAttrFlags = 0;  // SfsAttrFlags
    SfsType m_type = SfsType::Unknown;
    uint64_t m_size = 0;
    uint64_t m_allocSize = 0;
    RefPtr<QtStr> m_owner;
    RefPtr<QtStr> m_group;
    uint32_t m_permissions = 0;
    // Times are seconds since 1970-01-01 00:00:00 UTC plus nanoseconds.
    uint64_t m_accessTime = 0;
    uint32_t m_accessTimeNs = 0;
    uint64_t m_createTime = 0;
    uint32_t m_createTimeNs = 0;
    uint64_t m_modifyTime = 0;
    uint32_t m_modifyTimeNs = 0;
    uint64_t m_cTime = 0;
    uint32_t m_cTimeNs = 0;
    RefPtr<QtSfsAcl> m_acl;
    uint32_t m_attrBits = 0;       // SfsAttrBits
    uint32_t m_attrBitsValid = 0;  // SfsAttrBits
    uint8_t m_textHint = 0;        // SfsTextHint
    RefPtr<QtStr> m_mimeType;
    uint32_t m_linkCount = 0;

    static constexpr auto Fields() {
        using C = QtSfsAttrs;
        return std::make_tuple(
            Field("m_validAttrFlags", &C::m_validAttrFlags), Field("m_type", &C::m_type),
            Field("m_size", &C::m_size), Field("m_allocSize", &C::m_allocSize),
            Field("m_owner", &C::m_owner), Field("m_group", &C::m_group),
            Field("m_permissions", &C::m_permissions), Field("m_accessTime", &C::m_accessTime),
            Field("m_accessTimeNs", &C::m_accessTimeNs), Field("m_createTime", &C::m_createTime),
            Field("m_createTimeNs", &C::m_createTimeNs), Field("m_modifyTime", &C::m_modifyTime),
            Field("m_modifyTimeNs", &C::m_modifyTimeNs), Field("m_cTime", &C::m_cTime),
            Field("m_cTimeNs", &C::m_cTimeNs), Field("m_acl", &C::m_acl),
            Field("m_attrBits", &C::m_attrBits), Field("m_attrBitsValid", &C::m_attrBitsValid),
            Field("m_textHint", &C::m_textHint), Field("m_mimeType", &C::m_mimeType),
            Field("m_linkCount", &C::m_linkCount));
    }
};

class QtSfsName : public QtMessage<QtSfsName> {
  public:
    KILN_QUANTUM_ID(QtSfsName)
    RefPtr<QtStr> m_fileName;
    RefPtr<QtSfsAttrs> m_attrs;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_fileName", &QtSfsName::m_fileName),
                               Field("m_attrs", &QtSfsName::m_attrs));
    }
};

}  // namespace kiln
