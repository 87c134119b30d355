// The core requests of protocol versions 3 to 6: one small table per
// version over shared handlers, named by the versions they serve, and one
// table of every request and extension that says what each is called, how
// it is advertised and whether it changes the file system.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "host/sftp_handlers.h"
#include "host/sftp_request_log.h"

namespace kiln::sftp {
namespace {

// ---- Version 3/4 open flags ------------------------------------------------
namespace Pflag {
inline constexpr uint32_t Read = 0x01;
inline constexpr uint32_t Write = 0x02;
inline constexpr uint32_t Append = 0x04;
inline constexpr uint32_t Creat = 0x08;
inline constexpr uint32_t Trunc = 0x10;
inline constexpr uint32_t Excl = 0x20;
inline constexpr uint32_t Text = 0x40;  // version 4
}  // namespace Pflag

// Every access right that the provider's open passes on to the file system;
// a provider that leaves its access mask unset takes these.
constexpr uint32_t kAllAccess = 0x001F01FF;
constexpr uint32_t kWriteAccess = SfsAccessMask::AnyWrite;
constexpr uint64_t kUnreachableOffset = uint64_t{1} << 63;

uint32_t AccessMaskOf(const SftpSession& s) {
    uint32_t m = s.Info().m_supportedAccessMask;
    return m ? m : kAllAccess;
}

bool CreatesOrWrites(uint32_t disposition) {
    return disposition != SfsOpenFlags::OpenExisting;
}

void SendOpen(SftpSession& s, ClientRequest& r, const std::string& path, uint32_t access,
              uint32_t flags, const RefPtr<QtSfsAttrs>& attrs) {
    if (s.Log().Enabled(LogLevel::Info)) {
        // The mode the client asked for, before the umask, as OpenSSH logs it.
        const uint32_t mode =
            (attrs->m_validAttrFlags & SfsAttrFlags::Permissions) ? attrs->m_permissions : 0666;
        char octal[16];
        std::snprintf(octal, sizeof octal, "0%o", mode);
        LogInfo(s, [&] {
            return "open \"" + LogPath(s, path) + "\" flags " + OpenFlagsText(access, flags) +
                   " mode " + octal;
        });
    }
    if (s.Options().readOnly &&
        ((access & kWriteAccess) || CreatesOrWrites(flags & SfsOpenFlags::AccessDisposition) ||
         (flags & (SfsOpenFlags::AppendData | SfsOpenFlags::DeleteOnClose)))) {
        s.Log().Log(LogLevel::Verbose, "Refusing open request in read-only mode");
        s.ReplyStatus(r, SfsStatusCode::PermissionDenied, "The server is read-only.");
        return;
    }
    if (!s.ReserveHandle(r)) return;
    ApplyCreateMask(*attrs);
    auto open = MakeRef<QtSfsOpen>();
    open->m_fileName = SfsPath(path);
    open->m_desiredAccess = access;
    open->m_flags = flags;
    open->m_attrs = attrs;
    s.SfsOpen(r, open, ForwardHandle(path, false, flags & SfsOpenFlags::AppendData));
}

// The path of an OPEN. A trailing slash or "/." names a directory, which
// OPEN does not make or open: without this check "name/" and "name/." would
// reach "name", once canonical.
bool ReadFilePath(SftpSession& s, ClientRequest& r, SftpReader& in, std::string& path) {
    SftpReader peek = in;
    std::string_view raw;
    if (peek.String(raw) &&
        ((raw.size() > 1 && raw.back() == '/') || raw.ends_with("/.") || raw == ".")) {
        s.ReplyStatus(r, SfsStatusCode::InvalidFileName,
                      "A file name cannot end with '/' or '/.'.");
        return false;
    }
    return ReadPath(s, r, in, path);
}

void v34_open(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    uint32_t pflags = 0;
    if (!ReadFilePath(s, r, in, path)) return;
    if (!in.U32(pflags)) return Malformed(s, r);
    auto attrs = EmptyAttrs();
    if (!ReadAttrsOrAnswer(s, r, in, *attrs)) return;
    uint32_t access = 0, flags = 0;
    if (pflags & Pflag::Read) access |= SfsAccessMask::ReadData | SfsAccessMask::ReadAttributes;
    if (pflags & Pflag::Write) access |= SfsAccessMask::WriteData | SfsAccessMask::WriteAttributes;
    if (pflags & Pflag::Append) {
        access |= SfsAccessMask::AppendData;
        flags |= SfsOpenFlags::AppendData;
    }
    if ((pflags & Pflag::Creat) && (pflags & Pflag::Excl))
        flags |= SfsOpenFlags::CreateNew;
    else if ((pflags & Pflag::Creat) && (pflags & Pflag::Trunc))
        flags |= SfsOpenFlags::CreateTruncate;
    else if (pflags & Pflag::Creat)
        flags |= SfsOpenFlags::OpenOrCreate;
    else if (pflags & Pflag::Trunc)
        flags |= SfsOpenFlags::TruncateExisting;
    else
        flags |= SfsOpenFlags::OpenExisting;
    if (s.Version() >= 4 && (pflags & Pflag::Text)) flags |= SfsOpenFlags::TextMode;
    SendOpen(s, r, path, access, flags, attrs);
}

void v56_open(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    uint32_t access = 0, flags = 0;
    if (!ReadFilePath(s, r, in, path)) return;
    if (!in.U32(access) || !in.U32(flags)) return Malformed(s, r);
    auto attrs = EmptyAttrs();
    if (!ReadAttrsOrAnswer(s, r, in, *attrs)) return;
    // Version 5 knows only the low nine flag bits.
    const uint32_t known = s.Version() == 5 ? 0x1FF : 0xFFFF;
    const uint32_t supported = s.Info().m_supportedOpenFlags | SfsOpenFlags::AccessDisposition;
    if ((flags & ~known) || (flags & ~supported) || (access & ~AccessMaskOf(s))) {
        s.ReplyStatus(r, SfsStatusCode::OpUnsupported, "Open flags or access not supported.");
        return;
    }
    SendOpen(s, r, path, access, flags, attrs);
}

void vany_close(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    if (!ReadHandle(s, r, in, handle)) return;
    // A file's close line comes with the provider's note of what moved
    // through it; a directory has none.
    if (s.IsDirectoryHandle(handle))
        if (auto path = s.PathOfHandle(handle))
            LogInfo(s, [&] { return "closedir \"" + LogPath(s, *path) + "\""; });
    s.ForgetHandle(handle);
    auto close = MakeRef<QtSfsClose>();
    close->m_handle = SfsHandle(handle);
    s.Sfs(r, SfsRequest::Close, close, Forward());
}

void vany_read(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    uint64_t offset = 0;
    uint32_t length = 0;
    if (!ReadHandle(s, r, in, handle)) return;
    if (!in.U64(offset) || !in.U32(length)) return Malformed(s, r);
    auto read = MakeRef<QtSfsRead>();
    read->m_handle = SfsHandle(handle);
    read->m_offset = offset;
    // A short read is allowed; the provider's bound keeps replies in step
    // with what the memory bound charged for them.
    read->m_length = std::min(length, s.Info().m_maxReadSize);
    s.Sfs(r, SfsRequest::Read, read, Forward());
}

void vany_write(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle, data;
    uint64_t offset = 0;
    if (!ReadHandle(s, r, in, handle)) return;
    if (!in.U64(offset) || !in.String(data)) return Malformed(s, r);
    // No file reaches this far; the provider would take the last one,
    // all ones, as "at the end". OpenSSH's server fails to seek there, and
    // only a handle that appends anyway ignores the offset.
    if (offset >= kUnreachableOffset && !s.IsAppendHandle(handle)) {
        if (auto path = s.PathOfHandle(handle))
            s.Log().Log(LogLevel::Error, "seek \"" + LogPath(s, *path) + "\": Invalid argument");
        return s.ReplyStatus(r, SfsStatusCode::BadMessage, "Bad message");
    }
    auto write = MakeRef<QtSfsWrite>();
    write->m_handle = SfsHandle(handle);
    write->m_offset = offset;
    // The data stays in the packet's buffer, which the request keeps alive.
    auto bytes = MakeRef<QtBytes>();
    bytes->Borrow(RefPtr<const Quantum>(r.packet.get()),
                  reinterpret_cast<const uint8_t*>(data.data()), data.size());
    write->m_data = bytes;
    s.Sfs(r, SfsRequest::Write, write, Forward());
}

// A link's size is the length of its text. Under a root the client reads an
// absolute text shorter than the host holds it, so the size is that of what
// READLINK answers; a link whose text is not told keeps the provider's.
using AttrsDone = std::function<void(SftpSession&, ClientRequest&, const RefPtr<QtSfsAttrs>&)>;
void WithClientLinkSize(SftpSession& s, ClientRequest& r, const std::string& path,
                        const RefPtr<QtSfsAttrs>& attrs, AttrsDone done) {
    if (!attrs || attrs->m_type != SfsType::Symlink ||
        !(attrs->m_validAttrFlags & SfsAttrFlags::Size) || s.Options().root == "/")
        return done(s, r, attrs);
    auto read = MakeRef<QtSfsReadLink>();
    read->m_path = SfsPath(path);
    s.Sfs(r, SfsRequest::ReadLink, read,
          [attrs, done](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
              auto name = QuantumCast<QtSfsName>(response.m_content);
              if (response.m_type == SfsResponse::Name && name && name->m_fileName)
                  attrs->m_size = FromSfsPath(name->m_fileName->sv()).size();
              done(s, r, attrs);
          });
}

void ReplyAttrs(SftpSession& s, ClientRequest& r, const RefPtr<QtSfsAttrs>& attrs) {
    SftpWriter w = s.StartReply(r, Fxp::Attrs);
    WriteAttrs(w, s.Version(), *attrs);
    s.Reply(r, w);
}

void StatPath(SftpSession& s, ClientRequest& r, SftpReader& in, bool follow) {
    std::string path;
    uint32_t requested = 0;
    if (!ReadPath(s, r, in, path)) return;
    if (s.Version() >= 4 && !in.U32(requested)) return Malformed(s, r);
    if (s.Log().Enabled(LogLevel::Verbose))
        s.Log().Log(LogLevel::Verbose,
                    std::string(follow ? "stat" : "lstat") + " name \"" + LogPath(s, path) + "\"");
    auto stat = MakeRef<QtSfsStat>();
    stat->m_path = SfsPath(path);
    stat->m_flags = StatFlags(s, requested);
    stat->m_followSymlink = follow;
    if (follow) return s.Sfs(r, SfsRequest::Stat, stat, Forward());
    s.Sfs(r, SfsRequest::Stat, stat,
          [path](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
              auto attrs = QuantumCast<QtSfsAttrs>(response.m_content);
              if (response.m_type != SfsResponse::Attrs || !attrs) return Forward()(s, r, response);
              WithClientLinkSize(s, r, path, attrs, ReplyAttrs);
          });
}

void vany_stat(SftpSession& s, ClientRequest& r, SftpReader& in) {
    StatPath(s, r, in, true);
}
void vany_lstat(SftpSession& s, ClientRequest& r, SftpReader& in) {
    StatPath(s, r, in, false);
}

void vany_fstat(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    uint32_t requested = 0;
    if (!ReadHandle(s, r, in, handle)) return;
    if (s.Version() >= 4 && !in.U32(requested)) return Malformed(s, r);
    auto stat = MakeRef<QtSfsFStat>();
    stat->m_handle = SfsHandle(handle);
    stat->m_flags = StatFlags(s, requested);
    s.Sfs(r, SfsRequest::FStat, stat, Forward());
}

void vany_setstat(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    RefPtr<QtSfsAttrs> attrs;
    if (ReadSetStatByPath(s, r, in, path, attrs)) SendSetStat(s, r, path, std::move(attrs));
}

void vany_fsetstat(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    if (!ReadHandle(s, r, in, handle)) return;
    auto attrs = EmptyAttrs();
    if (!ReadAttrsOrAnswer(s, r, in, *attrs)) return;
    DropReadOnlyFields(*attrs);
    if (auto path = s.PathOfHandle(handle)) LogSetAttrs(s, *path, *attrs);
    auto set = MakeRef<QtSfsFSetStat>();
    set->m_handle = SfsHandle(handle);
    set->m_attrs = attrs;
    s.Sfs(r, SfsRequest::FSetStat, set, Forward());
}

void vany_opendir(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    if (!ReadPath(s, r, in, path)) return;
    LogInfo(s, [&] { return "opendir \"" + LogPath(s, path) + "\""; });
    if (!s.ReserveHandle(r)) return;
    auto open = MakeRef<QtSfsOpenDir>();
    open->m_path = SfsPath(path);
    s.Sfs(r, SfsRequest::OpenDir, open, ForwardHandle(path, true));
}

// A listing carries what the directory tells (type, size, times) and, for
// most entries, owner, group and permissions, which `ls -l` and recursive
// transfers need. An entry without them (the parent entry, links, one whose
// security could not be read) gets them from a stat of its own.
struct ListingState {
    RefPtr<QtSfsNames> names;
    std::vector<std::string> clientNames;
    size_t remaining = 0;
};

void ReplyListing(SftpSession& s, ClientRequest& r, const ListingState& st) {
    SftpWriter w = s.StartReply(r, Fxp::Name);
    const size_t count = st.clientNames.size();
    w.U32(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
        QtSfsName* entry = (*st.names->m_names)[i];
        QtSfsAttrs empty;
        WriteNameEntry(w, s.Version(), st.clientNames[i],
                       entry && entry->m_attrs ? *entry->m_attrs : empty);
    }
    if (s.Version() >= 6) w.Bool(st.names->m_endOfList);
    s.Reply(r, w);
}

void vany_readdir(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    if (!ReadHandle(s, r, in, handle)) return;
    auto read = MakeRef<QtSfsReadDir>();
    read->m_handle = SfsHandle(handle);
    std::optional<std::string> dir = s.PathOfHandle(handle);
    s.Sfs(r, SfsRequest::ReadDir, read,
          [dir](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
              auto names = QuantumCast<QtSfsNames>(response.m_content);
              if (response.m_type != SfsResponse::Names || !names) {
                  Forward()(s, r, response);
                  return;
              }
              if (!names->m_names) names->m_names = MakeRef<QtVectS<QtSfsName>>();
              auto st = std::make_shared<ListingState>();
              st->names = names;
              for (QtSfsName* entry : *names->m_names)
                  st->clientNames.push_back(
                      entry && entry->m_fileName ? FromSfsPath(entry->m_fileName->sv()) : "");
              const uint32_t flags = StatFlags(s, 0);
              const uint32_t needed =
                  flags & (SfsAttrFlags::Permissions | SfsAttrFlags::OwnerGroup);
              std::vector<size_t> incomplete;
              for (size_t i = 0; i < st->clientNames.size(); ++i) {
                  QtSfsName* entry = (*names->m_names)[i];
                  const uint32_t has =
                      entry && entry->m_attrs ? entry->m_attrs->m_validAttrFlags : 0;
                  if ((has & needed) != needed) incomplete.push_back(i);
              }
              st->remaining = incomplete.size();
              if (!dir || st->remaining == 0) return ReplyListing(s, r, *st);
              for (size_t i : incomplete) {
                  const std::string& name = st->clientNames[i];
                  auto stat = MakeRef<QtSfsStat>();
                  const std::string path = name == ".."  ? ParentPath(*dir)
                                           : name == "." ? *dir
                                                         : JoinPath(*dir, name);
                  stat->m_path = SfsPath(path);
                  stat->m_flags = flags;
                  stat->m_followSymlink = false;
                  auto settle = [st, i](SftpSession& s, ClientRequest& r,
                                        const RefPtr<QtSfsAttrs>& attrs) {
                      QtSfsName* entry = (*st->names->m_names)[i];
                      if (attrs && entry) entry->m_attrs = attrs;
                      if (--st->remaining == 0) ReplyListing(s, r, *st);
                  };
                  s.Sfs(r, SfsRequest::Stat, stat,
                        [path, settle](SftpSession& s, ClientRequest& r,
                                       const QtSfsResponse& answer) {
                            auto attrs = QuantumCast<QtSfsAttrs>(answer.m_content);
                            if (answer.m_type != SfsResponse::Attrs) attrs = nullptr;
                            WithClientLinkSize(s, r, path, attrs, settle);
                        });
              }
          });
}

void PathOnly(SftpSession& s, ClientRequest& r, SftpReader& in, SfsRequest type) {
    std::string path;
    if (!ReadPath(s, r, in, path)) return;
    LogInfo(s, [&] {
        return std::string(type == SfsRequest::Remove ? "remove" : "rmdir") + " name \"" +
               LogPath(s, path) + "\"";
    });
    RefPtr<QuantumS> content;
    if (type == SfsRequest::Remove) {
        auto q = MakeRef<QtSfsRemove>();
        q->m_fileName = SfsPath(path);
        content = q;
    } else {
        auto q = MakeRef<QtSfsRmDir>();
        q->m_path = SfsPath(path);
        content = q;
    }
    s.Sfs(r, type, content, Forward());
}

void vany_remove(SftpSession& s, ClientRequest& r, SftpReader& in) {
    PathOnly(s, r, in, SfsRequest::Remove);
}
void vany_rmdir(SftpSession& s, ClientRequest& r, SftpReader& in) {
    PathOnly(s, r, in, SfsRequest::RmDir);
}

void vany_mkdir(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    if (!ReadPath(s, r, in, path)) return;
    auto attrs = EmptyAttrs();
    if (!ReadAttrsOrAnswer(s, r, in, *attrs)) return;
    if (s.Log().Enabled(LogLevel::Info)) {
        const uint32_t mode = (attrs->m_validAttrFlags & SfsAttrFlags::Permissions)
                                  ? attrs->m_permissions & 07777
                                  : 0777;
        char octal[16];
        std::snprintf(octal, sizeof octal, "0%o", mode);
        LogInfo(s, [&] { return "mkdir name \"" + LogPath(s, path) + "\" mode " + octal; });
    }
    // A directory is created with permission bits only; the sticky, setgid
    // and setuid bits the client asked for follow as a SETSTAT would set
    // them, and a refusal of those answers the request: a directory that
    // lacks them is not what was asked for.
    const uint32_t special =
        (attrs->m_validAttrFlags & SfsAttrFlags::Permissions) ? attrs->m_permissions & 07000 : 0;
    ApplyCreateMask(*attrs);
    auto mk = MakeRef<QtSfsMkDir>();
    mk->m_path = SfsPath(path);
    mk->m_attrs = attrs;
    if (!special) return s.Sfs(r, SfsRequest::MkDir, mk, Forward());
    const uint32_t mode = attrs->m_permissions | special;
    s.Sfs(r, SfsRequest::MkDir, mk,
          [path, mode](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
              auto status = QuantumCast<QtSfsStatus>(response.m_content);
              if (!status || status->m_statusCode != SfsStatusCode::Ok)
                  return Forward()(s, r, response);
              auto bits = EmptyAttrs();
              bits->m_validAttrFlags = SfsAttrFlags::Permissions;
              bits->m_permissions = mode;
              SendSetStat(s, r, path, bits);
          });
}

// OpenSSH's server names the path as the client sent it.
void LogRealPath(SftpSession& s, SftpReader in) {
    std::string_view raw;
    if (s.Log().Enabled(LogLevel::Verbose) && in.String(raw))
        s.Log().Log(LogLevel::Verbose, "realpath \"" + EscapeForLog(raw) + "\"");
}

// Versions 3 to 5: the canonical path, worked out here without touching the
// disk.
void v345_realpath(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    LogRealPath(s, in);
    if (!ReadPath(s, r, in, path)) return;
    ReplyName(s, r, path, QtSfsAttrs());
}

// Version 6: compose paths are joined here; the provider only checks the
// result when the client asked for it.
void v6_realpath(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    LogRealPath(s, in);
    if (!ReadPath(s, r, in, path)) return;
    uint8_t control = static_cast<uint8_t>(SfsRealPath::NoCheck);
    if (!in.AtEnd() && !in.U8(control)) return Malformed(s, r);
    while (!in.AtEnd()) {
        std::string_view compose;
        if (!in.String(compose)) return Malformed(s, r);
        auto joined = CanonicalPath(path, compose);
        if (!joined) return s.ReplyStatus(r, SfsStatusCode::InvalidFileName);
        path = *joined;
    }
    if (control < 1 || control > 3) return Malformed(s, r);
    if (control == static_cast<uint8_t>(SfsRealPath::NoCheck))
        return ReplyName(s, r, path, QtSfsAttrs());
    auto real = MakeRef<QtSfsRealPath>();
    real->m_originalPath = SfsPath(path);
    real->m_controlByte = static_cast<SfsRealPath>(control);
    real->m_composePaths = MakeRef<QtVectS<QtStr>>();
    s.Sfs(r, SfsRequest::RealPath, real, ForwardNameAs(path));
}

void Rename(SftpSession& s, ClientRequest& r, SftpReader& in, bool withFlags) {
    std::string from, to;
    uint32_t flags = 0;
    if (!ReadPath(s, r, in, from) || !ReadPath(s, r, in, to)) return;
    if (withFlags && !in.U32(flags)) return Malformed(s, r);
    LogInfo(s, [&] {
        return "rename old \"" + LogPath(s, from) + "\" new \"" + LogPath(s, to) + "\"";
    });
    auto rename = MakeRef<QtSfsRename>();
    rename->m_oldPath = SfsPath(from);
    rename->m_newPath = SfsPath(to);
    rename->m_flags = flags & (SfsRenameFlags::Overwrite | SfsRenameFlags::Atomic);
    s.Sfs(r, SfsRequest::Rename, rename, Forward());
}

void v34_rename(SftpSession& s, ClientRequest& r, SftpReader& in) {
    Rename(s, r, in, false);
}
void v56_rename(SftpSession& s, ClientRequest& r, SftpReader& in) {
    Rename(s, r, in, true);
}

void vany_readlink(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    if (!ReadPath(s, r, in, path)) return;
    auto read = MakeRef<QtSfsReadLink>();
    read->m_path = SfsPath(path);
    s.Sfs(r, SfsRequest::ReadLink, read, Forward());
}

void SendLink(SftpSession& s, ClientRequest& r, const std::string& link, std::string_view target,
              bool symbolic) {
    if (target.find('\0') != std::string_view::npos)
        return s.ReplyStatus(r, SfsStatusCode::InvalidFileName, "Invalid file name.");
    if (symbolic && target.empty()) return s.ReplyStatus(r, SfsStatusCode::NoSuchFile);
    // The target as the link will hold it: its text is not a path below the
    // root until it is resolved.
    LogInfo(s, [&] {
        return std::string(symbolic ? "symlink" : "hardlink") + " old \"" + EscapeForLog(target) +
               "\" new \"" + LogPath(s, link) + "\"";
    });
    auto q = MakeRef<QtSfsLink>();
    q->m_newLinkPath = SfsPath(link);
    if (symbolic && !target.empty() && target[0] != '/') {
        // A relative symbolic link keeps its text: it is what the user made,
        // and it keeps working when the tree is moved or restored. The
        // provider checks where it leads from the link's directory.
        q->m_existingPath = MakeStr(ToSfsPath(target).sv());
    } else {
        // A hard link's relative target is relative to the directory of the link.
        auto existing = CanonicalPath(ParentPath(link), target);
        if (!existing)
            return s.ReplyStatus(r, SfsStatusCode::InvalidFileName, "Invalid file name.");
        q->m_existingPath = SfsPath(*existing);
    }
    q->m_symlink = symbolic;
    s.Sfs(r, SfsRequest::Link, q, Forward());
}

// OpenSSH's order: the target first, then the link.
void v345_symlink(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view target;
    std::string link;
    if (!in.String(target)) return Malformed(s, r);
    if (!ReadPath(s, r, in, link)) return;
    SendLink(s, r, link, target, true);
}

void v6_link(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string link;
    std::string_view target;
    bool symbolic = false;
    if (!ReadPath(s, r, in, link)) return;
    if (!in.String(target) || !in.Bool(symbolic)) return Malformed(s, r);
    if (!symbolic) {
        // A hard link's existing path is a path like any other, not a link
        // text: it resolves against the current directory.
        auto existing = s.Resolve(target);
        if (!existing)
            return s.ReplyStatus(r, SfsStatusCode::InvalidFileName, "Invalid file name.");
        return SendHardLink(s, r, *existing, link);
    }
    SendLink(s, r, link, target, symbolic);
}

void v6_block(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    auto q = MakeRef<QtSfsBlock>();
    if (!ReadHandle(s, r, in, handle)) return;
    if (!in.U64(q->m_offset) || !in.U64(q->m_length) || !in.U32(q->m_flags)) return Malformed(s, r);
    if (!SfsBlockVectorAllows(s.Info().m_supportedBlockVector, q->m_flags))
        return s.ReplyStatus(r, SfsStatusCode::OpUnsupported, "Lock mode not supported.");
    q->m_handle = SfsHandle(handle);
    s.Sfs(r, SfsRequest::Block, q, Forward());
}

void v6_unblock(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    auto q = MakeRef<QtSfsUnblock>();
    if (!ReadHandle(s, r, in, handle)) return;
    if (!in.U64(q->m_offset) || !in.U64(q->m_length)) return Malformed(s, r);
    q->m_handle = SfsHandle(handle);
    s.Sfs(r, SfsRequest::Unblock, q, Forward());
}

void vany_extended(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view name;
    if (!in.String(name)) return Malformed(s, r);
    Handler h = ExtensionHandler(name);
    if (!h) {
        return s.ReplyStatus(r, SfsStatusCode::OpUnsupported,
                             "Extension '" + std::string(name) + "' is not supported.");
    }
    h(s, r, in);
}

// ---- One table per version ---------------------------------------------------

struct VersionEntry {
    uint8_t type;
    Handler handler;
};

constexpr VersionEntry kVersion3[] = {
    {Fxp::Open, v34_open},          {Fxp::Close, vany_close},       {Fxp::Read, vany_read},
    {Fxp::Write, vany_write},       {Fxp::Lstat, vany_lstat},       {Fxp::Fstat, vany_fstat},
    {Fxp::Setstat, vany_setstat},   {Fxp::Fsetstat, vany_fsetstat}, {Fxp::Opendir, vany_opendir},
    {Fxp::Readdir, vany_readdir},   {Fxp::Remove, vany_remove},     {Fxp::Mkdir, vany_mkdir},
    {Fxp::Rmdir, vany_rmdir},       {Fxp::Realpath, v345_realpath}, {Fxp::Stat, vany_stat},
    {Fxp::Rename, v34_rename},      {Fxp::Readlink, vany_readlink}, {Fxp::Symlink, v345_symlink},
    {Fxp::Extended, vany_extended},
};
// Version 4 has the same requests; stat flags and attribute formats differ
// inside the shared handlers.
constexpr const VersionEntry (&kVersion4)[19] = kVersion3;
constexpr VersionEntry kVersion5[] = {
    {Fxp::Open, v56_open},          {Fxp::Close, vany_close},       {Fxp::Read, vany_read},
    {Fxp::Write, vany_write},       {Fxp::Lstat, vany_lstat},       {Fxp::Fstat, vany_fstat},
    {Fxp::Setstat, vany_setstat},   {Fxp::Fsetstat, vany_fsetstat}, {Fxp::Opendir, vany_opendir},
    {Fxp::Readdir, vany_readdir},   {Fxp::Remove, vany_remove},     {Fxp::Mkdir, vany_mkdir},
    {Fxp::Rmdir, vany_rmdir},       {Fxp::Realpath, v345_realpath}, {Fxp::Stat, vany_stat},
    {Fxp::Rename, v56_rename},      {Fxp::Readlink, vany_readlink}, {Fxp::Symlink, v345_symlink},
    {Fxp::Extended, vany_extended},
};
constexpr VersionEntry kVersion6[] = {
    {Fxp::Open, v56_open},        {Fxp::Close, vany_close},       {Fxp::Read, vany_read},
    {Fxp::Write, vany_write},     {Fxp::Lstat, vany_lstat},       {Fxp::Fstat, vany_fstat},
    {Fxp::Setstat, vany_setstat}, {Fxp::Fsetstat, vany_fsetstat}, {Fxp::Opendir, vany_opendir},
    {Fxp::Readdir, vany_readdir}, {Fxp::Remove, vany_remove},     {Fxp::Mkdir, vany_mkdir},
    {Fxp::Rmdir, vany_rmdir},     {Fxp::Realpath, v6_realpath},   {Fxp::Stat, vany_stat},
    {Fxp::Rename, v56_rename},    {Fxp::Readlink, vany_readlink}, {Fxp::Link, v6_link},
    {Fxp::Block, v6_block},       {Fxp::Unblock, v6_unblock},     {Fxp::Extended, vany_extended},
};

// ---- Every request and extension -----------------------------------------------

struct RequestEntry {
    const char* name;
    const char* extension;  // the extended-request name; null for a core request
    uint8_t type;
    Handler handler;  // extensions only: core handlers come from the version tables
    bool modifies;
    const char* advertised;  // the version data in VERSION; null: not announced by name
};

constexpr RequestEntry kRequests[] = {
    {"open", nullptr, Fxp::Open, nullptr, false, nullptr},  // refuses writes itself
    {"close", nullptr, Fxp::Close, nullptr, false, nullptr},
    {"read", nullptr, Fxp::Read, nullptr, false, nullptr},
    {"write", nullptr, Fxp::Write, nullptr, true, nullptr},
    {"lstat", nullptr, Fxp::Lstat, nullptr, false, nullptr},
    {"fstat", nullptr, Fxp::Fstat, nullptr, false, nullptr},
    {"setstat", nullptr, Fxp::Setstat, nullptr, true, nullptr},
    {"fsetstat", nullptr, Fxp::Fsetstat, nullptr, true, nullptr},
    {"opendir", nullptr, Fxp::Opendir, nullptr, false, nullptr},
    {"readdir", nullptr, Fxp::Readdir, nullptr, false, nullptr},
    {"remove", nullptr, Fxp::Remove, nullptr, true, nullptr},
    {"mkdir", nullptr, Fxp::Mkdir, nullptr, true, nullptr},
    {"rmdir", nullptr, Fxp::Rmdir, nullptr, true, nullptr},
    {"realpath", nullptr, Fxp::Realpath, nullptr, false, nullptr},
    {"stat", nullptr, Fxp::Stat, nullptr, false, nullptr},
    {"rename", nullptr, Fxp::Rename, nullptr, true, nullptr},
    {"readlink", nullptr, Fxp::Readlink, nullptr, false, nullptr},
    {"symlink", nullptr, Fxp::Symlink, nullptr, true, nullptr},
    {"link", nullptr, Fxp::Link, nullptr, true, nullptr},
    {"block", nullptr, Fxp::Block, nullptr, false, nullptr},
    {"unblock", nullptr, Fxp::Unblock, nullptr, false, nullptr},
    {"posix-rename", "posix-rename@openssh.com", Fxp::Extended, ext_posix_rename, true, "1"},
    {"statvfs", "statvfs@openssh.com", Fxp::Extended, ext_statvfs, false, "2"},
    {"fstatvfs", "fstatvfs@openssh.com", Fxp::Extended, ext_fstatvfs, false, "2"},
    {"hardlink", "hardlink@openssh.com", Fxp::Extended, ext_hardlink, true, "1"},
    {"limits", "limits@openssh.com", Fxp::Extended, ext_limits, false, "1"},
    {"expand-path", "expand-path@openssh.com", Fxp::Extended, ext_expand_path, false, "1"},
    {"copy-data", "copy-data", Fxp::Extended, ext_copy_data, true, "1"},
    {"home-directory", "home-directory", Fxp::Extended, ext_home_directory, false, "1"},
    {"users-groups-by-id", "users-groups-by-id@openssh.com", Fxp::Extended, ext_users_groups_by_id,
     false, "1"},
    {"fsync", "fsync@openssh.com", Fxp::Extended, ext_fsync, true, "1"},
    {"lsetstat", "lsetstat@openssh.com", Fxp::Extended, ext_lsetstat, true, "1"},
    {"check-file-name", "check-file-name", Fxp::Extended, ext_check_file_name, false, "1"},
    {"check-file-handle", "check-file-handle", Fxp::Extended, ext_check_file_handle, false, "1"},
    {"check-file", "check-file", Fxp::Extended, ext_check_file_handle, false, "1"},
    {"space-available", "space-available", Fxp::Extended, ext_space_available, false, "1"},
    {"text-seek", "text-seek", Fxp::Extended, ext_text_seek, false, "1"},
    {"version-select", "version-select", Fxp::Extended, ext_version_select, false, nullptr},
};

const RequestEntry* FindExtension(std::string_view name) {
    for (const RequestEntry& e : kRequests)
        if (e.extension && name == e.extension) return &e;
    return nullptr;
}

const RequestEntry* FindRequest(uint8_t type, std::string_view extension) {
    if (type == Fxp::Extended) return FindExtension(extension);
    for (const RequestEntry& e : kRequests)
        if (!e.extension && e.type == type) return &e;
    return nullptr;
}

// Whether the provider can serve an extension at all.
bool ProviderServes(const SftpSession& s, const RequestEntry& e) {
    if (std::string_view(e.name) == "text-seek")
        return s.Info().m_supportedOpenFlags & SfsOpenFlags::TextMode;
    return true;
}

}  // namespace

Handler HandlerFor(int version, uint8_t type) {
    auto find = [type](const auto& table) -> Handler {
        for (const VersionEntry& e : table)
            if (e.type == type) return e.handler;
        return nullptr;
    };
    switch (version) {
        case 3:
            return find(kVersion3);
        case 4:
            return find(kVersion4);
        case 5:
            return find(kVersion5);
        case 6:
            return find(kVersion6);
        default:
            return nullptr;
    }
}

Handler ExtensionHandler(std::string_view name) {
    const RequestEntry* e = FindExtension(name);
    return e ? e->handler : nullptr;
}

std::optional<Refusal> RefusalOf(const SessionOptions& o, uint8_t type,
                                 std::string_view extension) {
    // A request that the table does not know is answered as unsupported by
    // its handler, whatever the lists say.
    const RequestEntry* e = FindRequest(type, extension);
    if (!e) return std::nullopt;
    const std::string name = e->name;
    auto named = [&name](const std::vector<std::string>& list) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    if (o.readOnly && e->modifies)
        return Refusal{"Refusing " + name + " request in read-only mode",
                       "The server is read-only."};
    if (named(o.deniedRequests))
        return Refusal{"Refusing denylisted " + name + " request",
                       "The server does not permit " + name + " requests."};
    if (o.allowedRequests && !named(*o.allowedRequests))
        return Refusal{"Refusing non-allowlisted " + name + " request",
                       "The server does not permit " + name + " requests."};
    return std::nullopt;
}

std::vector<std::string_view> RequestNames() {
    std::vector<std::string_view> names;
    for (const RequestEntry& e : kRequests) names.emplace_back(e.name);
    return names;
}

bool IsRequestName(std::string_view name) {
    for (const RequestEntry& e : kRequests)
        if (name == e.name) return true;
    return false;
}

std::vector<uint8_t> BuildVersionPacket(const SftpSession& s) {
    const int version = s.Version();
    const QtSfsProviderInfo& info = s.Info();
    SftpWriter w(Fxp::Version);
    w.U32(static_cast<uint32_t>(version));
    auto pair = [&w](std::string_view name, std::string_view data) {
        w.String(name);
        w.String(data);
    };
    std::vector<std::string> served;
    for (const RequestEntry& e : kRequests) {
        if (!e.extension || !e.advertised || !ProviderServes(s, e)) continue;
        // What the server refuses anyway is not offered.
        if (RefusalOf(s.Options(), e.type, e.extension)) continue;
        pair(e.extension, e.advertised);
        served.push_back(e.extension);
    }
    pair("versions", "3,4,5,6");
    // Text files move as they are; the provider counts lines by CR LF.
    pair("newline", "\r\n");
    {
        SftpWriter vendor(0);
        const QtSfsVendorInfo* v = info.m_vendorInfo.get();
        vendor.String(v && v->m_vendorName ? Narrow(v->m_vendorName->sv()) : "");
        vendor.String(v && v->m_productName ? Narrow(v->m_productName->sv()) : "");
        vendor.String(v && v->m_productVersion ? Narrow(v->m_productVersion->sv()) : "");
        vendor.U64(v ? v->m_productBuildNumber : 0);
        pair("vendor-id", AsView(vendor.Bytes()).substr(5));
    }
    const uint32_t attrMask = info.m_supportedAttrFields & AttrFlagsOfVersion(version);
    const uint32_t accessMask =
        info.m_supportedAccessMask ? info.m_supportedAccessMask : kAllAccess;
    if (version == 5) {
        SftpWriter sup(0);
        sup.U32(attrMask);
        sup.U32(info.m_supportedAttrBits);
        sup.U32(info.m_supportedOpenFlags & 0x1FF);
        sup.U32(accessMask);
        sup.U32(info.m_maxReadSize);
        for (const std::string& name : served) sup.String(name);
        pair("supported", AsView(sup.Bytes()).substr(5));
    } else if (version == 6) {
        SftpWriter sup(0);
        sup.U32(attrMask);
        sup.U32(info.m_supportedAttrBits);
        sup.U32(info.m_supportedOpenFlags);
        sup.U32(accessMask);
        sup.U32(info.m_maxReadSize);
        sup.U8(static_cast<uint8_t>(info.m_supportedOpenBlockVector >> 8));
        sup.U8(static_cast<uint8_t>(info.m_supportedOpenBlockVector));
        sup.U8(static_cast<uint8_t>(info.m_supportedBlockVector >> 8));
        sup.U8(static_cast<uint8_t>(info.m_supportedBlockVector));
        sup.U32(0);  // no attribute extensions
        sup.U32(static_cast<uint32_t>(served.size()));
        for (const std::string& name : served) sup.String(name);
        pair("supported2", AsView(sup.Bytes()).substr(5));
    }
    return w.Finish();
}

}  // namespace kiln::sftp
