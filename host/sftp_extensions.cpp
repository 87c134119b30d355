// The extended requests: OpenSSH's extensions and those of the later
// protocol drafts, each served through provider requests or, for what the
// provider leaves to its host (home directories, limits, name look-ups),
// here.

#include <memory>
#include <vector>

#include "host/host_os.h"
#include "host/sftp_handlers.h"
#include "host/sftp_request_log.h"

namespace kiln::sftp {
namespace {

// The chunk that copy-data moves per provider round trip; the memory bound
// charges an extended request this much.
constexpr uint32_t kCopyChunk = kMaxWriteLength;

void ReplySpace(SftpSession& s, ClientRequest& r, const QtSfsResponse& response, bool openssh,
                const std::string& path) {
    auto space = QuantumCast<QtSfsSpaceAvailReply>(response.m_content);
    if (response.m_type != SfsResponse::SpaceAvailReply || !space) return Forward()(s, r, response);
    SftpWriter w = s.StartReply(r, Fxp::ExtendedReply);
    if (!openssh) {
        w.U64(space->m_bytesOnDevice);
        w.U64(space->m_unusedBytesOnDevice);
        w.U64(space->m_bytesAvailableToUser);
        w.U64(space->m_unusedBytesAvailableToUser);
        w.U32(space->m_bytesPerAllocationUnit);
        return s.Reply(r, w);
    }
    const uint64_t unit = space->m_bytesPerAllocationUnit ? space->m_bytesPerAllocationUnit : 4096;
    w.U64(unit);                                        // f_bsize
    w.U64(unit);                                        // f_frsize
    w.U64(space->m_bytesOnDevice / unit);               // f_blocks
    w.U64(space->m_unusedBytesOnDevice / unit);         // f_bfree
    w.U64(space->m_unusedBytesAvailableToUser / unit);  // f_bavail
    const os::InodeCounts inodes = os::InodeCountsOf(s.Options().root, path);
    w.U64(inodes.files);                  // f_files
    w.U64(inodes.free);                   // f_ffree
    w.U64(inodes.available);              // f_favail
    w.U64(0);                             // f_fsid
    w.U64(s.Options().readOnly ? 1 : 0);  // f_flag: ST_RDONLY
    w.U64(255);                           // f_namemax
    s.Reply(r, w);
}

void SpaceOfPath(SftpSession& s, ClientRequest& r, const std::string& path, bool openssh) {
    auto q = MakeRef<QtSfsSpaceAvail>();
    q->m_path = SfsPath(path);
    s.Sfs(r, SfsRequest::SpaceAvail, q,
          [openssh, path](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
              ReplySpace(s, r, response, openssh, path);
          });
}

void ReplyCheckFile(SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
    auto reply = QuantumCast<QtSfsCheckFileReply>(response.m_content);
    if (response.m_type != SfsResponse::CheckFileReply || !reply) return Forward()(s, r, response);
    SftpWriter w = s.StartReply(r, Fxp::ExtendedReply);
    w.String("check-file");
    w.String(reply->m_hashAlgUsed ? Narrow(reply->m_hashAlgUsed->sv()) : "");
    if (reply->m_hashes)
        for (QtBytes* hash : *reply->m_hashes)
            if (hash) w.Raw(hash->View());
    // The provider keeps its digests within the bound it was given; a reply
    // that still outgrows a packet would break the client's framing.
    if (w.Size() - 4 > kMaxPacketLength)
        return s.ReplyStatus(r, SfsStatusCode::Failure, "The reply would not fit in one packet.");
    s.Reply(r, w);
}

// The home directory of another user, as a client path; nullopt when the
// user is unknown or lives outside the root.
std::optional<std::string> HomeOfUser(const SftpSession& s, const std::string& user) {
    const auto home = os::HomeOfUser(user);
    if (!home) return std::nullopt;
    return ClientPathOf(s.Options().root, *home);
}

struct CopyState {
    std::string from, to;
    uint64_t readOffset = 0, writeOffset = 0;
    uint64_t remaining = 0;
};

// Whether two handles stand for one file: the files their names lead to now
// have one device and inode.
bool SameFile(const SftpSession& s, std::string_view a, std::string_view b) {
    const auto identity = [&](std::string_view handle) {
        auto path = s.PathOfHandle(handle);
        return path ? os::FileIdentity(s.Options().root, *path) : std::nullopt;
    };
    const auto first = identity(a);
    return first && first == identity(b);
}

void CopyNext(SftpSession& s, ClientRequest& r, const std::shared_ptr<CopyState>& st) {
    if (st->remaining == 0) return s.ReplyStatus(r, SfsStatusCode::Ok);
    auto read = MakeRef<QtSfsRead>();
    read->m_handle = SfsHandle(st->from);
    read->m_offset = st->readOffset;
    read->m_length = static_cast<uint32_t>(std::min<uint64_t>(st->remaining, kCopyChunk));
    s.Sfs(r, SfsRequest::Read, read,
          [st](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
              auto data = QuantumCast<QtSfsData>(response.m_content);
              if (response.m_type == SfsResponse::Status) {
                  auto status = QuantumCast<QtSfsStatus>(response.m_content);
                  // The end of the source ends the copy successfully.
                  if (status && status->m_statusCode == SfsStatusCode::Eof)
                      return s.ReplyStatus(r, SfsStatusCode::Ok);
                  return Forward()(s, r, response);
              }
              if (response.m_type != SfsResponse::Data || !data || !data->m_data)
                  return Forward()(s, r, response);
              const uint64_t n = data->m_data->Size();
              if (n == 0) return s.ReplyStatus(r, SfsStatusCode::Ok);
              auto write = MakeRef<QtSfsWrite>();
              write->m_handle = SfsHandle(st->to);
              write->m_offset = st->writeOffset;
              write->m_data = data->m_data;  // the read buffer itself, no copy
              st->readOffset += n;
              st->writeOffset += n;
              st->remaining -= std::min(n, st->remaining);
              s.Sfs(r, SfsRequest::Write, write,
                    [st](SftpSession& s, ClientRequest& r, const QtSfsResponse& answer) {
                        auto status = QuantumCast<QtSfsStatus>(answer.m_content);
                        if (answer.m_type == SfsResponse::Status && status &&
                            status->m_statusCode == SfsStatusCode::Ok)
                            return CopyNext(s, r, st);
                        Forward()(s, r, answer);
                    });
          });
}

void CheckFile(SftpSession& s, ClientRequest& r, SftpReader& in, bool byName) {
    std::string path;
    std::string_view handle, algorithms;
    uint64_t start = 0, length = 0;
    uint32_t block = 0;
    if (byName ? !ReadPath(s, r, in, path) : !ReadHandle(s, r, in, handle)) return;
    if (!in.String(algorithms) || !in.U64(start) || !in.U64(length) || !in.U32(block))
        return Malformed(s, r);
    RefPtr<QtStr> list = MakeStr(Widen(algorithms).sv());
    if (byName) {
        auto q = MakeRef<QtSfsCheckFileName>();
        q->m_fileName = SfsPath(path);
        q->m_hashAlgList = list;
        q->m_startOffset = start;
        q->m_length = length;
        q->m_blockSize = block;
        return s.Sfs(r, SfsRequest::CheckFileName, q, ReplyCheckFile);
    }
    auto q = MakeRef<QtSfsCheckFileHandle>();
    q->m_handle = SfsHandle(handle);
    q->m_hashAlgList = list;
    q->m_startOffset = start;
    q->m_length = length;
    q->m_blockSize = block;
    s.Sfs(r, SfsRequest::CheckFileHandle, q, ReplyCheckFile);
}

}  // namespace

void ext_posix_rename(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string from, to;
    if (!ReadPath(s, r, in, from) || !ReadPath(s, r, in, to)) return;
    LogInfo(s, [&] {
        return "posix-rename old \"" + LogPath(s, from) + "\" new \"" + LogPath(s, to) + "\"";
    });
    auto q = MakeRef<QtSfsRename>();
    q->m_oldPath = SfsPath(from);
    q->m_newPath = SfsPath(to);
    // POSIX rename replaces the target in one step and never copies.
    q->m_flags = SfsRenameFlags::Overwrite | SfsRenameFlags::Atomic;
    s.Sfs(r, SfsRequest::Rename, q, Forward());
}

void ext_hardlink(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string existing, link;
    if (!ReadPath(s, r, in, existing) || !ReadPath(s, r, in, link)) return;
    SendHardLink(s, r, existing, link);
}

void SendHardLink(SftpSession& s, ClientRequest& r, const std::string& existing,
                  const std::string& link) {
    LogInfo(s, [&] {
        return "hardlink old \"" + LogPath(s, existing) + "\" new \"" + LogPath(s, link) + "\"";
    });
    auto q = MakeRef<QtSfsLink>();
    q->m_newLinkPath = SfsPath(link);
    q->m_existingPath = SfsPath(existing);
    q->m_symlink = false;
    s.Sfs(r, SfsRequest::Link, q, Forward());
}

void ext_statvfs(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    if (!ReadPath(s, r, in, path)) return;
    LogInfo(s, [&] { return "statvfs \"" + LogPath(s, path) + "\""; });
    SpaceOfPath(s, r, path, true);
}

void ext_fstatvfs(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    if (!ReadHandle(s, r, in, handle)) return;
    auto path = s.PathOfHandle(handle);
    if (!path) return s.ReplyStatus(r, SfsStatusCode::InvalidHandle, "Invalid handle.");
    SpaceOfPath(s, r, *path, true);
}

void ext_space_available(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    if (!ReadPath(s, r, in, path)) return;
    SpaceOfPath(s, r, path, false);
}

void ext_limits(SftpSession& s, ClientRequest& r, SftpReader& in) {
    if (!AtEnd(s, r, in)) return;
    SftpWriter w = s.StartReply(r, Fxp::ExtendedReply);
    w.U64(kMaxPacketLength);
    // Reads are limited like writes, so that a reply fits the packet size
    // that OpenSSH's client accepts.
    w.U64(std::min<uint64_t>(kMaxWriteLength, s.Info().m_maxReadSize));
    w.U64(kMaxWriteLength);
    w.U64(0);  // open handles: no limit of our own
    s.Reply(r, w);
}

void ext_expand_path(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view raw;
    if (!in.String(raw)) return Malformed(s, r);
    std::string path(raw);
    if (!path.empty() && path[0] == '~') {
        size_t slash = path.find('/');
        std::string user =
            path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
        std::string rest = slash == std::string::npos ? "" : path.substr(slash + 1);
        std::optional<std::string> home = user.empty() ? s.Home() : HomeOfUser(s, user);
        if (!home) return s.ReplyStatus(r, SfsStatusCode::NoSuchFile, "No such user.");
        path = JoinPath(*home, rest);
    }
    auto canonical = s.Resolve(path);
    if (!canonical) return s.ReplyStatus(r, SfsStatusCode::InvalidFileName, "Invalid file name.");
    ReplyName(s, r, *canonical, QtSfsAttrs());
}

void ext_home_directory(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view user;
    if (!in.String(user)) return Malformed(s, r);
    std::optional<std::string> home = user.empty() ? s.Home() : HomeOfUser(s, std::string(user));
    if (!home) return s.ReplyStatus(r, SfsStatusCode::NoSuchFile, "No such user.");
    ReplyName(s, r, *home, QtSfsAttrs());
}

void ext_users_groups_by_id(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view uids, gids;
    if (!in.String(uids) || !in.String(gids) || uids.size() % 4 || gids.size() % 4)
        return Malformed(s, r);
    auto names = [](std::string_view ids, bool users) {
        SftpWriter list(0);
        SftpReader rd(ids);
        uint32_t id = 0;
        while (rd.U32(id)) {
            auto principal = users ? PrincipalOfUid(id) : PrincipalOfGid(id);
            list.String(principal ? WireName(*principal) : "");
        }
        return std::string(AsView(list.Bytes()).substr(5));
    };
    s.Log().Log(LogLevel::Verbose, "users-groups-by-id: " + std::to_string(uids.size() / 4) +
                                       " users, " + std::to_string(gids.size() / 4) + " groups");
    SftpWriter w = s.StartReply(r, Fxp::ExtendedReply);
    w.String(names(uids, true));
    w.String(names(gids, false));
    s.Reply(r, w);
}

void ext_copy_data(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view from, to;
    auto st = std::make_shared<CopyState>();
    if (!ReadHandle(s, r, in, from)) return;
    if (!in.U64(st->readOffset) || !in.U64(st->remaining)) return Malformed(s, r);
    if (!ReadHandle(s, r, in, to)) return;
    if (!in.U64(st->writeOffset)) return Malformed(s, r);
    if (from == to)
        return s.ReplyStatus(r, SfsStatusCode::InvalidParameter,
                             "Source and destination handles are the same.");
    // Copying a range of a file onto itself would read back what it has just
    // written: a copy to the end then grows the file until the disk is full.
    // OpenSSH refuses such a copy and leaves the file alone; so do we, for
    // two handles of one file whatever names opened them.
    const auto ends = [](uint64_t offset, uint64_t length) {
        return length == 0 ? UINT64_MAX : offset + std::min(length, UINT64_MAX - offset);
    };
    if (SameFile(s, from, to) && st->readOffset < ends(st->writeOffset, st->remaining) &&
        st->writeOffset < ends(st->readOffset, st->remaining))
        return s.ReplyStatus(r, SfsStatusCode::Failure,
                             "Source and destination ranges overlap in one file.");
    st->from = std::string(from);
    st->to = std::string(to);
    // The names of the handles may have changed since they were opened, so
    // the copy also ends where the source ended when it began: it never
    // feeds on itself, whatever the names lead to.
    auto fstat = MakeRef<QtSfsFStat>();
    fstat->m_handle = SfsHandle(from);
    fstat->m_flags = SfsAttrFlags::Size;
    s.Sfs(r, SfsRequest::FStat, fstat,
          [st](SftpSession& s, ClientRequest& r, const QtSfsResponse& response) {
              auto attrs = QuantumCast<QtSfsAttrs>(response.m_content);
              if (response.m_type != SfsResponse::Attrs || !attrs ||
                  !(attrs->m_validAttrFlags & SfsAttrFlags::Size))
                  return Forward()(s, r, response);
              const uint64_t left =
                  attrs->m_size > st->readOffset ? attrs->m_size - st->readOffset : 0;
              st->remaining = st->remaining == 0 ? left : std::min(st->remaining, left);
              CopyNext(s, r, st);
          });
}

void ext_fsync(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    if (!ReadHandle(s, r, in, handle)) return;
    auto q = MakeRef<QtSfsFSync>();
    q->m_handle = SfsHandle(handle);
    s.Sfs(r, SfsRequest::FSync, q, Forward());
}

// Attributes of the object a path names, without following a final
// symbolic link: a link's own owner and times, as lchown and lutimes set them.
void ext_lsetstat(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string path;
    RefPtr<QtSfsAttrs> attrs;
    if (!ReadSetStatByPath(s, r, in, path, attrs)) return;
    auto set = MakeRef<QtSfsSetStat>();
    set->m_path = SfsPath(path);
    set->m_attrs = std::move(attrs);
    s.Sfs(r, SfsRequest::LSetStat, set, Forward());
}

void ext_check_file_name(SftpSession& s, ClientRequest& r, SftpReader& in) {
    CheckFile(s, r, in, true);
}

void ext_check_file_handle(SftpSession& s, ClientRequest& r, SftpReader& in) {
    CheckFile(s, r, in, false);
}

void ext_text_seek(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view handle;
    auto q = MakeRef<QtSfsTextSeek>();
    if (!ReadHandle(s, r, in, handle)) return;
    if (!in.U64(q->m_lineNumber)) return Malformed(s, r);
    q->m_handle = SfsHandle(handle);
    s.Sfs(r, SfsRequest::TextSeek, q, Forward());
}

// Only the first request may switch versions, and a failed switch closes
// the session: replies already sent would otherwise be of the wrong version.
void ext_version_select(SftpSession& s, ClientRequest& r, SftpReader& in) {
    std::string_view text;
    if (!in.String(text)) return Malformed(s, r);
    if (s.RequestsSeen() != 1) {
        s.ReplyStatus(r, SfsStatusCode::Failure, "version-select must be the first request.");
        return s.EndSession("version-select after other requests");
    }
    if (text.size() == 1 && text[0] >= '3' && text[0] <= '6') {
        s.SetVersion(text[0] - '0');
        return s.ReplyStatus(r, SfsStatusCode::Ok);
    }
    s.ReplyStatus(r, SfsStatusCode::Failure, "Version not offered.");
    s.EndSession("client selected a version not offered");
}

}  // namespace kiln::sftp
