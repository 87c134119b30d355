// The vocabulary of the SFS messages. Enumerations are enum classes whose
// underlying type is their wire width, so that the message framework encodes
// them at the right size and dumps them through EnumText. Bit sets have no
// text form: their fields are plain integers and the names below are
// constants. The numbering follows the SSH File Transfer Protocol (draft
// version 6); values of 1000 and above are our own.
#pragma once

#include <cstdint>

#include "nocrtlib/ncstring.h"

namespace kiln {

enum class SfsRequest : uint32_t {
    Open = 3,
    Close = 4,
    Read = 5,
    Write = 6,
    FStat = 8,
    SetStat = 9,
    FSetStat = 10,
    OpenDir = 11,
    ReadDir = 12,
    Remove = 13,
    MkDir = 14,
    RmDir = 15,
    RealPath = 16,
    Stat = 17,
    Rename = 18,
    ReadLink = 19,
    Link = 21,
    Block = 22,
    Unblock = 23,
    TextSeek = 1001,
    CheckFileHandle = 2001,
    CheckFileName = 2002,
    SpaceAvail = 2003,
    HomeDir = 2004,
    FSync = 2005,
    // SetStat of a final symbolic link itself, not of what it leads to; the
    // content is a QtSfsSetStat.
    LSetStat = 2006,
};

enum class SfsResponse : uint32_t {
    Status = 101,
    Handle = 102,
    Data = 103,
    Names = 104,
    Attrs = 105,
    Name = 1101,
    CheckFileReply = 2101,
    SpaceAvailReply = 2102,
};

enum class SfsStatusCode : uint32_t {
    Ok = 0,
    Eof = 1,
    NoSuchFile = 2,
    PermissionDenied = 3,
    Failure = 4,
    BadMessage = 5,
    NoConnection = 6,
    ConnectionLost = 7,
    OpUnsupported = 8,
    InvalidHandle = 9,
    NoSuchPath = 10,
    FileAlreadyExists = 11,
    WriteProtect = 12,
    NoMedia = 13,
    NoSpaceOnFilesystem = 14,
    QuotaExceeded = 15,
    UnknownPrincipal = 16,
    LockConflict = 17,
    DirNotEmpty = 18,
    NotADirectory = 19,
    InvalidFileName = 20,
    LinkLoop = 21,
    CannotDelete = 22,
    InvalidParameter = 23,
    FileIsADirectory = 24,
    RangeLockConflict = 25,
    RangeLockRefused = 26,
    DeletePending = 27,
    FileCorrupt = 28,
    OwnerInvalid = 29,
    GroupInvalid = 30,
    NoMatchingByteRangeLock = 31,
};

enum class SfsType : uint32_t {
    Regular = 1,
    Directory = 2,
    Symlink = 3,
    Special = 4,
    Unknown = 5,
    Socket = 6,
    CharDevice = 7,
    BlockDevice = 8,
    Fifo = 9,
};

enum class SfsAceType : uint32_t {
    AccessAllowed = 0,
    AccessDenied = 1,
    SystemAudit = 2,
    SystemAlarm = 3,
};

enum class SfsRealPath : uint8_t {
    NoCheck = 1,
    StatIf = 2,
    StatAlways = 3,
};

enum class SfsLogType : uint16_t {
    Error = 0,
    Warning = 1,
    Info = 2,
    Trace = 3,
};

enum class SfsLogCode : uint16_t {
    Other = 0,
    Init = 1,
    Open = 2,
    Close = 3,
    CloseCleanup = 4,
    Read = 5,
    Write = 6,
    Stat = 7,
    SetStat = 8,
    OpenDir = 9,
    ReadDir = 10,
    Remove = 11,
    MkDir = 12,
    RmDir = 13,
    RealPath = 14,
    Rename = 15,
    ReadLink = 16,
    Link = 17,
    Block = 18,
    Unblock = 19,
    TextSeek = 20,
    CheckFile = 21,
    SpaceAvail = 22,
    HomeDir = 23,
    ProcessEof = 100,
};

// "SfsStatusCode.NoSuchFile"; a value without a name gives the enumeration's
// name, a dot and the decimal value ("SfsRequest.7").
WString EnumText(SfsRequest v);
WString EnumText(SfsResponse v);
WString EnumText(SfsStatusCode v);
WString EnumText(SfsType v);
WString EnumText(SfsAceType v);
WString EnumText(SfsRealPath v);
WString EnumText(SfsLogType v);
WString EnumText(SfsLogCode v);

// The enumerator's bare name ("NoSuchFile"), or null for a value without one.
const char16_t* EnumName(SfsRequest v);
const char16_t* EnumName(SfsResponse v);
const char16_t* EnumName(SfsStatusCode v);
const char16_t* EnumName(SfsType v);
const char16_t* EnumName(SfsAceType v);
const char16_t* EnumName(SfsRealPath v);
const char16_t* EnumName(SfsLogType v);
const char16_t* EnumName(SfsLogCode v);

// ---- Bit sets (Word32 on the wire unless noted) ----------------------------

// Which fields of a QtSfsAttrs hold a meaningful value.
namespace SfsAttrFlags {
inline constexpr uint32_t Size = 0x00000001;
inline constexpr uint32_t Permissions = 0x00000004;
inline constexpr uint32_t AccessTime = 0x00000008;
inline constexpr uint32_t CreateTime = 0x00000010;
inline constexpr uint32_t ModifyTime = 0x00000020;
inline constexpr uint32_t Acl = 0x00000040;
inline constexpr uint32_t OwnerGroup = 0x00000080;
inline constexpr uint32_t SubsecondTimes = 0x00000100;
inline constexpr uint32_t Bits = 0x00000200;
inline constexpr uint32_t AllocSize = 0x00000400;
inline constexpr uint32_t TextHint = 0x00000800;
inline constexpr uint32_t MimeType = 0x00001000;
inline constexpr uint32_t LinkCount = 0x00002000;
inline constexpr uint32_t CTime = 0x00008000;
}  // namespace SfsAttrFlags

namespace SfsAttrBits {
inline constexpr uint32_t ReadOnly = 0x01;
inline constexpr uint32_t System = 0x02;
inline constexpr uint32_t Hidden = 0x04;
inline constexpr uint32_t CaseInsensitive = 0x08;
inline constexpr uint32_t Archive = 0x10;
inline constexpr uint32_t Encrypted = 0x20;
inline constexpr uint32_t Compressed = 0x40;
inline constexpr uint32_t Sparse = 0x80;
}  // namespace SfsAttrBits

namespace SfsOpenFlags {
// The low three bits are a number, not flags: one of the dispositions below.
inline constexpr uint32_t AccessDisposition = 0x00000007;
inline constexpr uint32_t CreateNew = 0;
inline constexpr uint32_t CreateTruncate = 1;
inline constexpr uint32_t OpenExisting = 2;
inline constexpr uint32_t OpenOrCreate = 3;
inline constexpr uint32_t TruncateExisting = 4;

inline constexpr uint32_t AppendData = 0x00000008;
inline constexpr uint32_t AppendAtomic = 0x00000010;
inline constexpr uint32_t TextMode = 0x00000020;
inline constexpr uint32_t BlockRead = 0x00000040;
inline constexpr uint32_t BlockWrite = 0x00000080;
inline constexpr uint32_t BlockDelete = 0x00000100;
inline constexpr uint32_t BlockAdvisory = 0x00000200;
inline constexpr uint32_t NoFollow = 0x00000400;
inline constexpr uint32_t DeleteOnClose = 0x00000800;
inline constexpr uint32_t AccessAuditAlarmInfo = 0x00001000;
inline constexpr uint32_t AccessBackup = 0x00002000;
inline constexpr uint32_t BackupStream = 0x00004000;
inline constexpr uint32_t OverrideOwner = 0x00008000;
}  // namespace SfsOpenFlags

// The values are those of the Windows file access rights of the same meaning.
namespace SfsAccessMask {
inline constexpr uint32_t ReadData = 0x00000001;
inline constexpr uint32_t ListDirectory = ReadData;
inline constexpr uint32_t WriteData = 0x00000002;
inline constexpr uint32_t AddFile = WriteData;
inline constexpr uint32_t AppendData = 0x00000004;
inline constexpr uint32_t AddSubdirectory = AppendData;
inline constexpr uint32_t ReadNamedAttrs = 0x00000008;
inline constexpr uint32_t WriteNamedAttrs = 0x00000010;
inline constexpr uint32_t Execute = 0x00000020;
inline constexpr uint32_t DeleteChild = 0x00000040;
inline constexpr uint32_t ReadAttributes = 0x00000080;
inline constexpr uint32_t WriteAttributes = 0x00000100;
inline constexpr uint32_t Delete = 0x00010000;
inline constexpr uint32_t ReadAcl = 0x00020000;
inline constexpr uint32_t WriteAcl = 0x00040000;
inline constexpr uint32_t WriteOwner = 0x00080000;
inline constexpr uint32_t Synchronize = 0x00100000;

// A request wants to read when it has any of these rights, to write when it
// has any of the second set.
inline constexpr uint32_t AnyRead = ReadData | ReadNamedAttrs | ReadAttributes | ReadAcl;
inline constexpr uint32_t AnyWrite = WriteData | AppendData | WriteNamedAttrs | DeleteChild |
                                     WriteAttributes | Delete | WriteAcl | WriteOwner;
static_assert(AnyRead == 0x00020089 && AnyWrite == 0x000D0156);
}  // namespace SfsAccessMask

// The lock bits of a Block request: the same bits as in SfsOpenFlags.
namespace SfsBlockFlags {
inline constexpr uint32_t BlockRead = SfsOpenFlags::BlockRead;
inline constexpr uint32_t BlockWrite = SfsOpenFlags::BlockWrite;
inline constexpr uint32_t BlockDelete = SfsOpenFlags::BlockDelete;
inline constexpr uint32_t BlockAdvisory = SfsOpenFlags::BlockAdvisory;
inline constexpr uint32_t All = BlockRead | BlockWrite | BlockDelete | BlockAdvisory;
}  // namespace SfsBlockFlags

// Number of a combination of block bits (BlockRead 1, BlockWrite 2,
// BlockDelete 4, BlockAdvisory 8): bit n of a block vector (Word16) says that
// combination n is supported.
constexpr unsigned SfsBlockCombination(uint32_t flags) {
    return (flags >> 6) & 0xF;
}
constexpr bool SfsBlockVectorAllows(uint16_t vector, uint32_t flags) {
    return (vector >> SfsBlockCombination(flags)) & 1;
}

namespace SfsRenameFlags {
inline constexpr uint32_t Overwrite = 0x1;
inline constexpr uint32_t Atomic = 0x2;
}  // namespace SfsRenameFlags

// A Byte on the wire (QtSfsAttrs::m_textHint).
namespace SfsTextHint {
inline constexpr uint8_t KnownText = 0;
inline constexpr uint8_t GuessedText = 1;
inline constexpr uint8_t KnownBinary = 2;
inline constexpr uint8_t GuessedBinary = 3;
}  // namespace SfsTextHint

}  // namespace kiln
