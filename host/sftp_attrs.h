// The ATTRS structure of each protocol version, converted to and from the
// provider's attribute record, and the `ls -l` line that version 3 listings
// carry.
//
// Version 3 names owners by numeric uid/gid and has 32-bit times; versions 4
// and 5 carry a type byte, owner and group names, 64-bit times with
// nanoseconds and an ACL (5 adds attribute bits); version 6 adds allocation
// size, change time, text hint, MIME type and link count. The provider names
// principals as "account@domain", Linux accounts in the domains "Unix User"
// and "Unix Group".
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "host/sftp_packet.h"
#include "sfs/sfs_attrs.h"

namespace kiln::sftp {

// Version 3 attribute flags.
namespace V3Attr {
inline constexpr uint32_t Size = 0x1;
inline constexpr uint32_t UidGid = 0x2;
inline constexpr uint32_t Permissions = 0x4;
inline constexpr uint32_t AcModTime = 0x8;
inline constexpr uint32_t Extended = 0x80000000;
}  // namespace V3Attr

// Versions 4 to 6: the SFS flag values, plus these two.
namespace V4Attr {
inline constexpr uint32_t UntranslatedName = 0x4000;  // version 6
inline constexpr uint32_t Extended = 0x80000000;
}  // namespace V4Attr

// The file type bits of the permissions field: the values every client
// decodes, fixed by the protocol's POSIX heritage whatever the local C
// library calls them (mingw's S_IFBLK, for one, differs).
namespace WireMode {
inline constexpr uint32_t TypeMask = 0170000;
inline constexpr uint32_t Socket = 0140000;
inline constexpr uint32_t Symlink = 0120000;
inline constexpr uint32_t Regular = 0100000;
inline constexpr uint32_t BlockDevice = 0060000;
inline constexpr uint32_t Directory = 0040000;
inline constexpr uint32_t CharDevice = 0020000;
inline constexpr uint32_t Fifo = 0010000;
}  // namespace WireMode

// The attribute flags that each version can carry (without EXTENDED).
uint32_t AttrFlagsOfVersion(int version);

// Why ReadAttrs refused a structure.
enum class AttrsError { None, Malformed, UnknownFlags, UnknownPrincipal };

// Reads the ATTRS of `version` into `out` (a fresh record), translating
// version 3 uid/gid into account names. Extended pairs are skipped.
AttrsError ReadAttrs(SftpReader& reader, int version, QtSfsAttrs& out);

// Writes the record as the ATTRS of `version`, with the fields that version
// has and the record holds. Version 3 gets numeric ids for owner names that
// resolve to Linux accounts, and the file type in the permission bits.
void WriteAttrs(SftpWriter& writer, int version, const QtSfsAttrs& attrs);

// st_mode: the file type bits for the record's type plus its permission
// bits; 0 when neither is known.
uint32_t PosixMode(const QtSfsAttrs& attrs);

// The `ls -l` line that OpenSSH's client prints for a version 3 listing.
std::string Longname(std::string_view name, const QtSfsAttrs& attrs, time_t now);

// "root@Unix User" -> uid 0; nullopt for names that are no Linux account.
std::optional<uint32_t> UidOfPrincipal(std::u16string_view principal);
std::optional<uint32_t> GidOfPrincipal(std::u16string_view principal);
// The principal names of Linux ids, as the provider writes them; nullopt
// when the id has no account.
std::optional<std::u16string> PrincipalOfUid(uint32_t uid);
std::optional<std::u16string> PrincipalOfGid(uint32_t gid);
// A principal as clients see it at every version: a Linux account by its
// name ("root@Unix User" -> "root"), an id without an account by its number
// ("S-1-22-1-12345" -> "12345"); SIDs and domains stay inside.
std::string WireName(std::u16string_view principal);
// The principal of an owner (group false) or group named on the wire: a
// number is an id, a bare name an account of that kind, a name with a domain
// passes as given.
std::u16string PrincipalOfWireName(std::string_view name, bool group);

}  // namespace kiln::sftp
