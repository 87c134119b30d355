// What the request handlers share: reading paths and handles from a packet,
// building provider requests, and the completions that turn the provider's
// responses into replies. The handlers themselves live in sftp_versions.cpp
// (the core requests) and sftp_extensions.cpp (the extended requests).
#pragma once

#include <string>
#include <string_view>

#include "host/sftp_attrs.h"
#include "host/sftp_paths.h"
#include "host/sftp_session.h"

namespace kiln::sftp {

// Reads a path and resolves it; on failure answers the request and returns
// false.
bool ReadPath(SftpSession& s, ClientRequest& r, SftpReader& in, std::string& path);
// Reads a handle string; on failure answers BadMessage and returns false.
bool ReadHandle(SftpSession& s, ClientRequest& r, SftpReader& in, std::string_view& handle);
// Answers BadMessage ("malformed request").
void Malformed(SftpSession& s, ClientRequest& r);
// True when nothing follows in the request, else answers BadMessage.
bool AtEnd(SftpSession& s, ClientRequest& r, SftpReader& in);

RefPtr<QtStr> SfsPath(std::string_view canonical);
RefPtr<QtBytes> SfsHandle(std::string_view handle);
// A new attribute record whose ACL is empty rather than null.
RefPtr<QtSfsAttrs> EmptyAttrs();
// The attribute fields to ask the provider for on a stat in this session.
uint32_t StatFlags(const SftpSession& s, uint32_t requested);
// The permission bits that a new file or directory gets: the client's,
// less the server's umask, as a POSIX server would create them.
void ApplyCreateMask(QtSfsAttrs& attrs);
// Fields that describe a file but cannot be written are dropped from a set
// request rather than failing it.
void DropReadOnlyFields(QtSfsAttrs& a);
// Reads ATTRS; on failure answers the request and returns false.
bool ReadAttrsOrAnswer(SftpSession& s, ClientRequest& r, SftpReader& in, QtSfsAttrs& attrs);
// Reads the path and ATTRS of a request that sets attributes by path, drops
// what cannot be written and logs the request; on failure answers it and
// returns false.
bool ReadSetStatByPath(SftpSession& s, ClientRequest& r, SftpReader& in, std::string& path,
                       RefPtr<QtSfsAttrs>& attrs);
// Sets the attributes of the object `path` leads to and forwards the answer.
void SendSetStat(SftpSession& s, ClientRequest& r, const std::string& path,
                 RefPtr<QtSfsAttrs> attrs);

// Completions.
// Any response as its natural reply (Status, Handle, Data, Attrs, Name(s)).
Completion Forward();
// The answer to an open that reserved a handle (SftpSession::ReserveHandle):
// a Handle response is remembered with its path before it is forwarded.
Completion ForwardHandle(std::string path, bool directory = false, bool append = false);
// A Name response answered with `name` (the client's form of the path)
// instead of the provider's.
Completion ForwardNameAs(std::string name);

// Writes one NAME entry of the session's version.
void WriteNameEntry(SftpWriter& w, int version, std::string_view name, const QtSfsAttrs& attrs);
// Answers a NAME reply with one entry.
void ReplyName(SftpSession& s, ClientRequest& r, std::string_view name, const QtSfsAttrs& attrs);

// Makes `link` a hard link to `existing`, both canonical client paths.
void SendHardLink(SftpSession& s, ClientRequest& r, const std::string& existing,
                  const std::string& link);

// The extended requests: the handler of an extension name, or null.
Handler ExtensionHandler(std::string_view name);

// Extension handlers (sftp_extensions.cpp).
void ext_posix_rename(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_statvfs(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_fstatvfs(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_hardlink(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_limits(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_expand_path(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_copy_data(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_home_directory(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_users_groups_by_id(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_check_file_name(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_check_file_handle(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_space_available(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_fsync(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_lsetstat(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_text_seek(SftpSession& s, ClientRequest& r, SftpReader& in);
void ext_version_select(SftpSession& s, ClientRequest& r, SftpReader& in);

}  // namespace kiln::sftp
