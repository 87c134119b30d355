// libFuzzer entry for the attribute translation between SFTP and SFS, and on
// to the backend's Windows security form. The first byte picks the protocol
// version (3 to 6), the rest is an ATTRS structure as a client sends it.
//
// What must hold for every input: reading never crashes; what was accepted
// is written back in a form that reads again and settles after one round
// trip; every ACE whose principal has a SID lands in a Windows ACL and comes
// back out with its type, flags and access bits, naming the same SID;
// permissions, times and attribute bits translate without fault.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "host/sftp_attrs.h"
#include "host/sftp_packet.h"
#include "nocrtlib/exceptions.h"
#include "sfswin/attrs_translation.h"

using namespace kiln;
using namespace kiln::sftp;
using namespace kiln::KilnSfsWin;

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    __builtin_trap();
}

std::vector<uint8_t> Written(int version, const QtSfsAttrs& attrs) {
    SftpWriter w(Fxp::Attrs);
    WriteAttrs(w, version, attrs);
    const std::vector<uint8_t>& all = w.Bytes();
    return std::vector<uint8_t>(all.begin() + 5, all.end());  // after length and type
}

OwnedSid SidOf(const RefPtr<QtStr>& name, PSID owner, PSID group) {
    if (!name) return OwnedSid();
    try {
        return NameToSid(name->Str(), owner, group);
    } catch (const SystemError&) {
        return OwnedSid();  // no such account: the backend answers InvalidParameter
    }
}

void CheckAcl(const QtSfsAttrs& attrs) {
    if (!attrs.m_acl || !attrs.m_acl->m_aces) return;
    OwnedSid owner = SidOf(attrs.m_owner, nullptr, nullptr);
    OwnedSid group = SidOf(attrs.m_group, nullptr, nullptr);
    AclBuffer acl;
    std::vector<const QtSfsAce*> added;
    for (const QtSfsAce* ace : *attrs.m_acl->m_aces) {
        // The backend takes these three types and leaves the others out.
        if (!ace ||
            (ace->m_type != SfsAceType::AccessAllowed && ace->m_type != SfsAceType::AccessDenied &&
             ace->m_type != SfsAceType::SystemAudit))
            continue;
        OwnedSid sid = SidOf(ace->m_who, owner.Get(), group.Get());
        if (sid.Empty()) continue;
        const DWORD flags = ace->m_flags & 0xFu, mask = ace->m_mask & kSfsAceMaskBits;
        if (ace->m_type == SfsAceType::AccessAllowed)
            acl.AddAllowed(flags, mask, sid.Get());
        else if (ace->m_type == SfsAceType::AccessDenied)
            acl.AddDenied(flags, mask, sid.Get());
        else
            acl.AddAudit(flags, mask, sid.Get(), (ace->m_flags & 0x10) != 0,
                         (ace->m_flags & 0x20) != 0);
        added.push_back(ace);
    }
    for (DWORD i = 0; i < added.size(); ++i) {
        void* raw = nullptr;
        if (!GetAce(acl.Get(), i, &raw)) Fault("an added ACE is missing");
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        RefPtr<QtSfsAce> back = AceToSfs(header, owner.Get(), group.Get());
        if (!back) Fault("an ACE of ours does not translate back");
        const QtSfsAce& sent = *added[i];
        uint32_t wantFlags = sent.m_flags & 0xFu;
        if (sent.m_type == SfsAceType::SystemAudit) wantFlags |= sent.m_flags & 0x30u;
        if (back->m_type != sent.m_type || back->m_mask != (sent.m_mask & kSfsAceMaskBits) ||
            back->m_flags != wantFlags) {
            std::fprintf(stderr,
                         "sent type %u flags %#x mask %#x, back type %u flags %#x mask %#x\n",
                         static_cast<unsigned>(sent.m_type), sent.m_flags, sent.m_mask,
                         static_cast<unsigned>(back->m_type), back->m_flags, back->m_mask);
            Fault("an ACE changed type, flags or access on its way through Windows form");
        }
        // The name may come back in another spelling, never as another SID.
        OwnedSid was = SidOf(sent.m_who, owner.Get(), group.Get());
        OwnedSid now = SidOf(back->m_who, owner.Get(), group.Get());
        if (now.Empty() || !EqualSid(was.Get(), now.Get()))
            Fault("an ACE's principal came back as another SID");
    }
    if (!owner.Empty() && !group.Empty()) {
        AclBuffer dacl;
        BuildPermissionsDacl(dacl, attrs.m_permissions, owner.Get(), group.Get());
        if (!dacl.Get()) Fault("permissions gave no DACL");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int version = 3 + data[0] % 4;
    SftpReader reader(data + 1, size - 1);
    QtSfsAttrs attrs;
    if (ReadAttrs(reader, version, attrs) != AttrsError::None) return 0;
    (void)PosixMode(attrs);
    (void)Longname("name", attrs, 0);

    // The first writing may normalise what a client sent (a version 6 file
    // type at version 5 becomes "special"); from then on the form is fixed.
    std::vector<uint8_t> forms[3];
    forms[0] = Written(version, attrs);
    for (int i = 1; i < 3; ++i) {
        SftpReader again(forms[i - 1].data(), forms[i - 1].size());
        QtSfsAttrs reread;
        if (ReadAttrs(again, version, reread) != AttrsError::None)
            Fault("ATTRS written by the server do not read back");
        if (!again.AtEnd()) Fault("ATTRS written by the server have bytes left over");
        forms[i] = Written(version, reread);
    }
    if (forms[2] != forms[1]) {
        for (const auto& bytes : forms) {
            for (uint8_t b : bytes) std::fprintf(stderr, "%02x", b);
            std::fprintf(stderr, "\n");
        }
        Fault("ATTRS keep changing on round trips");
    }

    try {
        CheckAcl(attrs);
    } catch (const SystemError&) {
        // Out of memory building an ACL is an answer, not a fault.
    }
    (void)SfsTimeToFileTime(attrs.m_modifyTime, attrs.m_modifyTimeNs);
    (void)SfsTimeToFileTime(attrs.m_createTime, attrs.m_createTimeNs);
    (void)ApplyAttrBits(attrs, 0);
    return 0;
}
