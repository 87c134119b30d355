// Writes the seed corpus of the fuzz targets from real messages:
//   make_fuzz_corpus <corpus directory>
// fills <dir>/sfs_decode with encodings of SFS messages (type ID, then
// content) and <dir>/sftp_attrs with ATTRS structures of every protocol
// version (version byte, then the structure). The files are kept in the
// repository; run this again when a message class or the ATTRS layout
// changes.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../sfs/sfs_fill.h"
#include "host/sftp_attrs.h"
#include "host/sftp_packet.h"
#include "nocrtlib/encode_context.h"
#include "nocrtlib/wire.h"

using namespace kiln;
using namespace kiln::sfstest;

namespace {

bool Save(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

template <class T>
bool SaveMessage(const std::filesystem::path& dir) {
    unsigned seed = 7;
    RefPtr<T> message = MakeFilled<T>(seed, {});
    QueueEncodeContext cx;
    if (!EncodeString(cx, T::kTypeId, std::char_traits<char>::length(T::kTypeId)) ||
        !message->Encode(cx))
        return false;
    datavect<uint8_t> bytes;
    if (!cx.CopyTo(bytes)) return false;
    return Save(dir / T::kTypeId, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

RefPtr<QtSfsAce> Ace(SfsAceType type, uint32_t flags, uint32_t mask, const char16_t* who) {
    auto ace = MakeRef<QtSfsAce>();
    ace->m_type = type;
    ace->m_flags = flags;
    ace->m_mask = mask;
    ace->m_who = MakeStr(who);
    return ace;
}

// A record with every field that some version carries, principals that
// exist on every Linux system and an ACL of each entry type.
RefPtr<QtSfsAttrs> FullRecord() {
    namespace F = SfsAttrFlags;
    auto a = MakeRef<QtSfsAttrs>();
    a->m_validAttrFlags = F::Size | F::Permissions | F::AccessTime | F::CreateTime | F::ModifyTime |
                          F::Acl | F::OwnerGroup | F::SubsecondTimes | F::Bits | F::AllocSize |
                          F::TextHint | F::MimeType | F::LinkCount | F::CTime;
    a->m_type = SfsType::Regular;
    a->m_size = 123456;
    a->m_allocSize = 131072;
    a->m_owner = MakeStr(u"root@Unix User");
    a->m_group = MakeStr(u"root@Unix Group");
    a->m_permissions = 0640;
    a->m_accessTime = 1700000000;
    a->m_accessTimeNs = 5;
    a->m_createTime = 1600000000;
    a->m_modifyTime = 1700000001;
    a->m_modifyTimeNs = 999999999;
    a->m_cTime = 1700000002;
    a->m_acl = MakeRef<QtSfsAcl>();
    a->m_acl->m_flags = 0x13;
    a->m_acl->m_aces = MakeRef<QtVectS<QtSfsAce>>();
    a->m_acl->m_aces->Append(Ace(SfsAceType::AccessAllowed, 0x3, 0x001200A9, u"OWNER@"));
    a->m_acl->m_aces->Append(Ace(SfsAceType::AccessDenied, 0x0, 0x00000002, u"EVERYONE@"));
    a->m_acl->m_aces->Append(Ace(SfsAceType::SystemAudit, 0x30, 0x00010000, u"root@Unix User"));
    a->m_acl->m_aces->Append(Ace(SfsAceType::AccessAllowed, 0x0, 0x00000001, u"daemon"));
    a->m_attrBits = SfsAttrBits::ReadOnly | SfsAttrBits::Hidden;
    a->m_attrBitsValid = SfsAttrBits::ReadOnly | SfsAttrBits::Hidden | SfsAttrBits::Archive;
    a->m_textHint = 1;
    a->m_mimeType = MakeStr(u"text/plain");
    a->m_linkCount = 2;
    return a;
}

bool SaveAttrs(const std::filesystem::path& dir) {
    for (int version = 3; version <= 6; ++version) {
        sftp::SftpWriter w(sftp::Fxp::Attrs);
        sftp::WriteAttrs(w, version, *FullRecord());
        std::vector<uint8_t> bytes(1, static_cast<uint8_t>(version - 3));
        bytes.insert(bytes.end(), w.Bytes().begin() + 5, w.Bytes().end());
        if (!Save(dir / ("v" + std::to_string(version)), bytes)) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path top(argv[1]);
    const std::filesystem::path decode = top / "sfs_decode", attrs = top / "sftp_attrs";
    std::filesystem::create_directories(decode);
    std::filesystem::create_directories(attrs);
    bool ok = SaveMessage<QtSfsRequest>(decode) && SaveMessage<QtSfsResponse>(decode) &&
              SaveMessage<QtSfsNames>(decode) && SaveMessage<QtSfsInit>(decode) &&
              SaveMessage<QtSfsProviderInfo>(decode) && SaveMessage<QtSfsCheckFileReply>(decode) &&
              SaveMessage<QtSfsLog>(decode) && SaveAttrs(attrs);
    if (!ok) std::fprintf(stderr, "writing the corpus failed\n");
    return ok ? 0 : 1;
}
