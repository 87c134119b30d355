#include "sfs/sfs_enums.h"

#include <span>

namespace kiln {

namespace {

struct EnumEntry {
    uint32_t value;
    const char16_t* name;
};

const char16_t* FindName(std::span<const EnumEntry> table, uint32_t value) {
    for (const EnumEntry& e : table)
        if (e.value == value) return e.name;
    return nullptr;
}

WString MakeText(const char16_t* enumName, std::span<const EnumEntry> table, uint32_t value) {
    WString text(enumName);
    text += u".";
    if (const char16_t* name = FindName(table, value))
        text += name;
    else
        text += NumberToText(value);
    return text;
}

constexpr EnumEntry kRequest[] = {
    {3, u"Open"},
    {4, u"Close"},
    {5, u"Read"},
    {6, u"Write"},
    {8, u"FStat"},
    {9, u"SetStat"},
    {10, u"FSetStat"},
    {11, u"OpenDir"},
    {12, u"ReadDir"},
    {13, u"Remove"},
    {14, u"MkDir"},
    {15, u"RmDir"},
    {16, u"RealPath"},
    {17, u"Stat"},
    {18, u"Rename"},
    {19, u"ReadLink"},
    {21, u"Link"},
    {22, u"Block"},
    {23, u"Unblock"},
    {1001, u"TextSeek"},
    {2001, u"CheckFileHandle"},
    {2002, u"CheckFileName"},
    {2003, u"SpaceAvail"},
    {2004, u"HomeDir"},
    {2005, u"FSync"},
    {2006, u"LSetStat"},
};

constexpr EnumEntry kResponse[] = {
    {101, u"Status"},
    {102, u"Handle"},
    {103, u"Data"},
    {104, u"Names"},
    {105, u"Attrs"},
    {1101, u"Name"},
    {2101, u"CheckFileReply"},
    {2102, u"SpaceAvailReply"},
};

constexpr EnumEntry kStatusCode[] = {
    {0, u"Ok"},
    {1, u"Eof"},
    {2, u"NoSuchFile"},
    {3, u"PermissionDenied"},
    {4, u"Failure"},
    {5, u"BadMessage"},
    {6, u"NoConnection"},
    {7, u"ConnectionLost"},
    {8, u"OpUnsupported"},
    {9, u"InvalidHandle"},
    {10, u"NoSuchPath"},
    {11, u"FileAlreadyExists"},
    {12, u"WriteProtect"},
    {13, u"NoMedia"},
    {14, u"NoSpaceOnFilesystem"},
    {15, u"QuotaExceeded"},
    {16, u"UnknownPrincipal"},
    {17, u"LockConflict"},
    {18, u"DirNotEmpty"},
    {19, u"NotADirectory"},
    {20, u"InvalidFileName"},
    {21, u"LinkLoop"},
    {22, u"CannotDelete"},
    {23, u"InvalidParameter"},
    {24, u"FileIsADirectory"},
    {25, u"RangeLockConflict"},
    {26, u"RangeLockRefused"},
    {27, u"DeletePending"},
    {28, u"FileCorrupt"},
    {29, u"OwnerInvalid"},
    {30, u"GroupInvalid"},
    {31, u"NoMatchingByteRangeLock"},
};

constexpr EnumEntry kType[] = {
    {1, u"Regular"}, {2, u"Directory"},  {3, u"Symlink"},     {4, u"Special"}, {5, u"Unknown"},
    {6, u"Socket"},  {7, u"CharDevice"}, {8, u"BlockDevice"}, {9, u"Fifo"},
};

constexpr EnumEntry kAceType[] = {
    {0, u"AccessAllowed"},
    {1, u"AccessDenied"},
    {2, u"SystemAudit"},
    {3, u"SystemAlarm"},
};

constexpr EnumEntry kRealPath[] = {{1, u"NoCheck"}, {2, u"StatIf"}, {3, u"StatAlways"}};

constexpr EnumEntry kLogType[] = {{0, u"Error"}, {1, u"Warning"}, {2, u"Info"}, {3, u"Trace"}};

constexpr EnumEntry kLogCode[] = {
    {0, u"Other"},        {1, u"Init"},       {2, u"Open"},        {3, u"Close"},
    {4, u"CloseCleanup"}, {5, u"Read"},       {6, u"Write"},       {7, u"Stat"},
    {8, u"SetStat"},      {9, u"OpenDir"},    {10, u"ReadDir"},    {11, u"Remove"},
    {12, u"MkDir"},       {13, u"RmDir"},     {14, u"RealPath"},   {15, u"Rename"},
    {16, u"ReadLink"},    {17, u"Link"},      {18, u"Block"},      {19, u"Unblock"},
    {20, u"TextSeek"},    {21, u"CheckFile"}, {22, u"SpaceAvail"}, {23, u"HomeDir"},
    {100, u"ProcessEof"},
};

}  // namespace

#define KILN_SFS_ENUM_TEXT(Enum, table)                              \
    WString EnumText(Enum v) {                                       \
        return MakeText(u"" #Enum, table, static_cast<uint32_t>(v)); \
    }                                                                \
    const char16_t* EnumName(Enum v) {                               \
        return FindName(table, static_cast<uint32_t>(v));            \
    }

KILN_SFS_ENUM_TEXT(SfsRequest, kRequest)
KILN_SFS_ENUM_TEXT(SfsResponse, kResponse)
KILN_SFS_ENUM_TEXT(SfsStatusCode, kStatusCode)
KILN_SFS_ENUM_TEXT(SfsType, kType)
KILN_SFS_ENUM_TEXT(SfsAceType, kAceType)
KILN_SFS_ENUM_TEXT(SfsRealPath, kRealPath)
KILN_SFS_ENUM_TEXT(SfsLogType, kLogType)
KILN_SFS_ENUM_TEXT(SfsLogCode, kLogCode)

#undef KILN_SFS_ENUM_TEXT

}  // namespace kiln
