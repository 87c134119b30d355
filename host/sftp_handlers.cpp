// What the request handlers share: reading paths and handles, preparing
// provider requests, and the completions that turn provider responses into
// replies of the negotiated version.
#include "host/sftp_handlers.h"

#include <ctime>

#include "host/host_os.h"
#include "host/sftp_request_log.h"

namespace kiln::sftp {

void Malformed(SftpSession& s, ClientRequest& r) {
    s.ReplyStatus(r, SfsStatusCode::BadMessage, "Malformed request.");
}

bool AtEnd(SftpSession& s, ClientRequest& r, SftpReader& in) {
    if (in.AtEnd()) return true;
    Malformed(s, r);
    return false;
}

bool ReadPath(SftpSession& s, ClientRequest& r, SftpReader& in, std::string& path) {
    std::string_view raw;
    if (!in.String(raw)) {
        Malformed(s, r);
        return false;
    }
    auto canonical = s.Resolve(raw);
    if (!canonical) {
        s.ReplyStatus(r, SfsStatusCode::InvalidFileName, "Invalid file name.");
        return false;
    }
    path = std::move(*canonical);
    return true;
}

bool ReadHandle(SftpSession& s, ClientRequest& r, SftpReader& in, std::string_view& handle) {
    if (!in.String(handle)) {
        Malformed(s, r);
        return false;
    }
    // Handles of the provider are at most eight bytes; anything longer is
    // one it never issued.
    if (handle.empty() || handle.size() > 256) {
        s.ReplyStatus(r, SfsStatusCode::InvalidHandle, "Invalid handle.");
        return false;
    }
    return true;
}

RefPtr<QtStr> SfsPath(std::string_view canonical) {
    return MakeStr(ToSfsPath(canonical).sv());
}

RefPtr<QtBytes> SfsHandle(std::string_view handle) {
    return MakeRef<QtBytes>(reinterpret_cast<const uint8_t*>(handle.data()), handle.size());
}

RefPtr<QtSfsAttrs> EmptyAttrs() {
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_acl = MakeRef<QtSfsAcl>();
    attrs->m_acl->m_aces = MakeRef<QtVectS<QtSfsAce>>();
    return attrs;
}

uint32_t StatFlags(const SftpSession& s, uint32_t requested) {
    using namespace SfsAttrFlags;
    // What every listing and stat shows; an ACL only when asked for, since
    // reading it costs a security query.
    uint32_t wanted = Size | Permissions | AccessTime | ModifyTime | OwnerGroup | LinkCount;
    if (s.Version() >= 4) wanted |= CreateTime | SubsecondTimes;
    if (s.Version() >= 5) wanted |= Bits;
    wanted |= requested & AttrFlagsOfVersion(s.Version());
    return wanted & s.Info().m_supportedAttrFields;
}

void ApplyCreateMask(QtSfsAttrs& attrs) {
    static const uint32_t mask = os::CreateMask();
    if (attrs.m_validAttrFlags & SfsAttrFlags::Permissions) attrs.m_permissions &= ~mask & 0777;
}

bool ReadAttrsOrAnswer(SftpSession& s, ClientRequest& r, SftpReader& in, QtSfsAttrs& attrs) {
    switch (ReadAttrs(in, s.Version(), attrs)) {
        case AttrsError::None:
            return true;
        case AttrsError::Malformed:
            Malformed(s, r);
            return false;
        case AttrsError::UnknownFlags:
            s.ReplyStatus(r, SfsStatusCode::OpUnsupported, "Attribute not supported.");
            return false;
        case AttrsError::UnknownPrincipal:
            s.ReplyStatus(r, SfsStatusCode::UnknownPrincipal, "No such user or group.");
            return false;
    }
    return false;
}

bool ReadSetStatByPath(SftpSession& s, ClientRequest& r, SftpReader& in, std::string& path,
                       RefPtr<QtSfsAttrs>& attrs) {
    if (!ReadPath(s, r, in, path)) return false;
    attrs = EmptyAttrs();
    if (!ReadAttrsOrAnswer(s, r, in, *attrs)) return false;
    DropReadOnlyFields(*attrs);
    LogSetAttrs(s, path, *attrs);
    return true;
}

void SendSetStat(SftpSession& s, ClientRequest& r, const std::string& path,
                 RefPtr<QtSfsAttrs> attrs) {
    auto set = MakeRef<QtSfsSetStat>();
    set->m_path = SfsPath(path);
    set->m_attrs = std::move(attrs);
    s.Sfs(r, SfsRequest::SetStat, set, Forward());
}

void DropReadOnlyFields(QtSfsAttrs& a) {
    a.m_validAttrFlags &= ~(SfsAttrFlags::TextHint | SfsAttrFlags::LinkCount);
}

void WriteNameEntry(SftpWriter& w, int version, std::string_view name, const QtSfsAttrs& attrs) {
    w.String(name);
    if (version <= 3) w.String(Longname(name, attrs, time(nullptr)));
    WriteAttrs(w, version, attrs);
}

void ReplyName(SftpSession& s, ClientRequest& r, std::string_view name, const QtSfsAttrs& attrs) {
    SftpWriter w = s.StartReply(r, Fxp::Name);
    w.U32(1);
    WriteNameEntry(w, s.Version(), name, attrs);
    if (s.Version() >= 6) w.Bool(true);
    s.Reply(r, w);
}

Completion Forward() {
    return [](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
        const RefPtr<QuantumS>& c = response.m_content;
        switch (response.m_type) {
            case SfsResponse::Status:
                if (auto st = QuantumCast<QtSfsStatus>(c)) return s.ReplyStatus(r, *st);
                break;
            case SfsResponse::Handle:
                if (auto h = QuantumCast<QtSfsHandle>(c); h && h->m_handle) {
                    SftpWriter w = s.StartReply(r, Fxp::Handle);
                    w.String(h->m_handle->View());
                    return s.Reply(r, w);
                }
                break;
            case SfsResponse::Data:
                if (auto d = QuantumCast<QtSfsData>(c)) {
                    QtBytes empty;
                    return s.ReplyData(r, d->m_data ? *d->m_data : empty, d->m_endOfFile);
                }
                break;
            case SfsResponse::Attrs:
                if (auto a = QuantumCast<QtSfsAttrs>(c)) {
                    SftpWriter w = s.StartReply(r, Fxp::Attrs);
                    WriteAttrs(w, s.Version(), *a);
                    return s.Reply(r, w);
                }
                break;
            case SfsResponse::Name:
                if (auto n = QuantumCast<QtSfsName>(c)) {
                    QtSfsAttrs empty;
                    return ReplyName(s, r, n->m_fileName ? FromSfsPath(n->m_fileName->sv()) : "",
                                     n->m_attrs ? *n->m_attrs : empty);
                }
                break;
            default:
                break;
        }
        s.ReplyStatus(r, SfsStatusCode::Failure, "Unexpected answer from the provider.");
    };
}

Completion ForwardHandle(std::string path, bool directory, bool append) {
    return [path = std::move(path), directory, append](SftpSession& s, ClientRequest& r,
                                                       const QtSfsResponse& response) {
        s.OpenAnswered(response, path, directory, append);
        Forward()(s, r, response);
    };
}

Completion ForwardNameAs(std::string name) {
    return
        [name = std::move(name)](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
            auto n = QuantumCast<QtSfsName>(response.m_content);
            if (response.m_type == SfsResponse::Name && n) {
                QtSfsAttrs empty;
                return ReplyName(s, r, name, n->m_attrs ? *n->m_attrs : empty);
            }
            Forward()(s, r, response);
        };
}

}  // namespace kiln::sftp
