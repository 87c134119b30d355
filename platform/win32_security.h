// The Windows API subset for SIDs, ACLs, security descriptors, tokens,
// privileges, accounts and file security.
//
// Structures have their Windows binary layouts (the 64-bit ones where
// pointers are involved). On Linux:
// * users are S-1-22-1-<uid> ("Unix User") and groups S-1-22-2-<gid>
//   ("Unix Group"); well-known SIDs keep their Windows meaning and names;
// * a file's security descriptor is derived from its owner, group, mode and
//   POSIX ACL; its SACL lives in a trusted.* extended attribute;
// * privileges are capabilities: held = permitted, enabled = effective, and
//   changes apply to every thread of the process.
#pragma once

#ifdef _WIN32
// Windows: the real API, with the adapter of our wide strings.
#include "platform/windows/sdk.h"
#else

#include "platform/win32_base.h"

// ---------------------------------------------------------------------------
// Access rights. Constants that the file header may define as well are
// guarded, so that either header may come first.
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;

#ifndef DELETE
#define DELETE 0x00010000u
#endif
#ifndef READ_CONTROL
#define READ_CONTROL 0x00020000u
#endif
#ifndef WRITE_DAC
#define WRITE_DAC 0x00040000u
#endif
#ifndef WRITE_OWNER
#define WRITE_OWNER 0x00080000u
#endif
#ifndef SYNCHRONIZE
#define SYNCHRONIZE 0x00100000u
#endif
#ifndef STANDARD_RIGHTS_REQUIRED
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#endif
#ifndef STANDARD_RIGHTS_READ
#define STANDARD_RIGHTS_READ READ_CONTROL
#endif
#ifndef STANDARD_RIGHTS_WRITE
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#endif
#ifndef STANDARD_RIGHTS_EXECUTE
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#endif
#ifndef STANDARD_RIGHTS_ALL
#define STANDARD_RIGHTS_ALL 0x001F0000u
#endif
#ifndef SPECIFIC_RIGHTS_ALL
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFu
#endif
#ifndef ACCESS_SYSTEM_SECURITY
#define ACCESS_SYSTEM_SECURITY 0x01000000u
#endif
#ifndef MAXIMUM_ALLOWED
#define MAXIMUM_ALLOWED 0x02000000u
#endif
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE 0x40000000u
#endif
#ifndef GENERIC_EXECUTE
#define GENERIC_EXECUTE 0x20000000u
#endif
#ifndef GENERIC_ALL
#define GENERIC_ALL 0x10000000u
#endif

#ifndef FILE_READ_DATA
#define FILE_READ_DATA 0x0001u
#endif
#ifndef FILE_LIST_DIRECTORY
#define FILE_LIST_DIRECTORY 0x0001u
#endif
#ifndef FILE_WRITE_DATA
#define FILE_WRITE_DATA 0x0002u
#endif
#ifndef FILE_ADD_FILE
#define FILE_ADD_FILE 0x0002u
#endif
#ifndef FILE_APPEND_DATA
#define FILE_APPEND_DATA 0x0004u
#endif
#ifndef FILE_ADD_SUBDIRECTORY
#define FILE_ADD_SUBDIRECTORY 0x0004u
#endif
#ifndef FILE_READ_EA
#define FILE_READ_EA 0x0008u
#endif
#ifndef FILE_WRITE_EA
#define FILE_WRITE_EA 0x0010u
#endif
#ifndef FILE_EXECUTE
#define FILE_EXECUTE 0x0020u
#endif
#ifndef FILE_TRAVERSE
#define FILE_TRAVERSE 0x0020u
#endif
#ifndef FILE_DELETE_CHILD
#define FILE_DELETE_CHILD 0x0040u
#endif
#ifndef FILE_READ_ATTRIBUTES
#define FILE_READ_ATTRIBUTES 0x0080u
#endif
#ifndef FILE_WRITE_ATTRIBUTES
#define FILE_WRITE_ATTRIBUTES 0x0100u
#endif
#ifndef FILE_ALL_ACCESS
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FFu)
#endif
#ifndef FILE_GENERIC_READ
#define FILE_GENERIC_READ \
    (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#endif
#ifndef FILE_GENERIC_WRITE
#define FILE_GENERIC_WRITE                                                             \
    (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | \
     FILE_APPEND_DATA | SYNCHRONIZE)
#endif
#ifndef FILE_GENERIC_EXECUTE
#define FILE_GENERIC_EXECUTE \
    (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)
#endif

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

// ---------------------------------------------------------------------------
// SIDs.
typedef struct _SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[1];
} SID, *PISID;

typedef void* PSID;

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE 68

typedef enum _SID_NAME_USE {
    SidTypeUser = 1,
    SidTypeGroup,
    SidTypeDomain,
    SidTypeAlias,
    SidTypeWellKnownGroup,
    SidTypeDeletedAccount,
    SidTypeInvalid,
    SidTypeUnknown,
    SidTypeComputer,
    SidTypeLabel,
    SidTypeLogonSession
} SID_NAME_USE,
    *PSID_NAME_USE;

#define SECURITY_NULL_SID_AUTHORITY \
    {                               \
        { 0, 0, 0, 0, 0, 0 }        \
    }
#define SECURITY_WORLD_SID_AUTHORITY \
    {                                \
        { 0, 0, 0, 0, 0, 1 }         \
    }
#define SECURITY_LOCAL_SID_AUTHORITY \
    {                                \
        { 0, 0, 0, 0, 0, 2 }         \
    }
#define SECURITY_CREATOR_SID_AUTHORITY \
    {                                  \
        { 0, 0, 0, 0, 0, 3 }           \
    }
#define SECURITY_NT_AUTHORITY \
    {                         \
        { 0, 0, 0, 0, 0, 5 }  \
    }
// The authority of the Unix users and groups (S-1-22-1-uid, S-1-22-2-gid),
// as Samba and Windows' services for Unix use it.
#define SECURITY_UNIX_AUTHORITY \
    {                           \
        { 0, 0, 0, 0, 0, 22 }   \
    }

#define SECURITY_NULL_RID 0x00000000u
#define SECURITY_WORLD_RID 0x00000000u
#define SECURITY_LOCAL_RID 0x00000000u
#define SECURITY_CREATOR_OWNER_RID 0x00000000u
#define SECURITY_CREATOR_GROUP_RID 0x00000001u
#define SECURITY_DIALUP_RID 0x00000001u
#define SECURITY_NETWORK_RID 0x00000002u
#define SECURITY_BATCH_RID 0x00000003u
#define SECURITY_INTERACTIVE_RID 0x00000004u
#define SECURITY_SERVICE_RID 0x00000006u
#define SECURITY_ANONYMOUS_LOGON_RID 0x00000007u
#define SECURITY_AUTHENTICATED_USER_RID 0x0000000Bu
#define SECURITY_LOCAL_SYSTEM_RID 0x00000012u
#define SECURITY_LOCAL_SERVICE_RID 0x00000013u
#define SECURITY_NETWORK_SERVICE_RID 0x00000014u
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020u
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220u
#define DOMAIN_ALIAS_RID_USERS 0x00000221u
#define DOMAIN_ALIAS_RID_GUESTS 0x00000222u
#define SECURITY_UNIX_USER_RID 0x00000001u
#define SECURITY_UNIX_GROUP_RID 0x00000002u

BOOL IsValidSid(PSID pSid);
// A SID that is not valid gives 0 with ERROR_INVALID_SID (Windows leaves the
// result undefined).
DWORD GetLengthSid(PSID pSid);
BOOL EqualSid(PSID pSid1, PSID pSid2);
BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid);
DWORD GetSidLengthRequired(UCHAR nSubAuthorityCount);
BOOL InitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                   BYTE nSubAuthorityCount);
PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID pSid);
// An index at or beyond the count gives null with ERROR_INVALID_PARAMETER.
PDWORD GetSidSubAuthority(PSID pSid, DWORD nSubAuthority);
PUCHAR GetSidSubAuthorityCount(PSID pSid);

// ---------------------------------------------------------------------------
// ACLs and ACEs.
typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define MIN_ACL_REVISION ACL_REVISION
#define MAX_ACL_REVISION ACL_REVISION_DS

typedef struct _ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
} ACE_HEADER, *PACE_HEADER;

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define SYSTEM_AUDIT_ACE_TYPE 0x2
#define SYSTEM_ALARM_ACE_TYPE 0x3

#define OBJECT_INHERIT_ACE 0x01
#define CONTAINER_INHERIT_ACE 0x02
#define NO_PROPAGATE_INHERIT_ACE 0x04
#define INHERIT_ONLY_ACE 0x08
#define INHERITED_ACE 0x10
#define VALID_INHERIT_FLAGS 0x1F
#define SUCCESSFUL_ACCESS_ACE_FLAG 0x40
#define FAILED_ACCESS_ACE_FLAG 0x80

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

typedef struct _SYSTEM_AUDIT_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
} SYSTEM_AUDIT_ACE, *PSYSTEM_AUDIT_ACE;

typedef enum _ACL_INFORMATION_CLASS {
    AclRevisionInformation = 1,
    AclSizeInformation
} ACL_INFORMATION_CLASS;

typedef struct _ACL_REVISION_INFORMATION {
    DWORD AclRevision;
} ACL_REVISION_INFORMATION, *PACL_REVISION_INFORMATION;

typedef struct _ACL_SIZE_INFORMATION {
    DWORD AceCount;
    DWORD AclBytesInUse;
    DWORD AclBytesFree;
} ACL_SIZE_INFORMATION, *PACL_SIZE_INFORMATION;

#ifndef ERROR_BAD_ARGUMENTS
#define ERROR_BAD_ARGUMENTS 160L
#endif
#define ERROR_ALLOTTED_SPACE_EXCEEDED 1344L
#define ERROR_REVISION_MISMATCH 1306L
#define ERROR_UNKNOWN_REVISION 1305L
#define ERROR_BAD_DESCRIPTOR_FORMAT 1361L
#define ERROR_INVALID_SECURITY_INFO 1383L

// Every ACL function checks the whole ACL first: a wrong revision, a size
// below the header, an entry count that runs past the size, or an entry whose
// size or SID does not fit fails with ERROR_INVALID_ACL, and nothing outside
// AclSize bytes is read.
BOOL InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision);
BOOL IsValidAcl(PACL pAcl);
BOOL GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                       ACL_INFORMATION_CLASS dwAclInformationClass);
BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce);
BOOL AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask,
                           PSID pSid);
BOOL AddAccessDeniedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask,
                          PSID pSid);
BOOL AddAuditAccessAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD dwAccessMask,
                         PSID pSid, BOOL bAuditSuccess, BOOL bAuditFailure);

// ---------------------------------------------------------------------------
// Security descriptors.
typedef WORD SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;
typedef void* PSECURITY_DESCRIPTOR;

#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_DACL_UNTRUSTED 0x0040
#define SE_SERVER_SECURITY 0x0080
#define SE_DACL_AUTO_INHERIT_REQ 0x0100
#define SE_SACL_AUTO_INHERIT_REQ 0x0200
#define SE_DACL_AUTO_INHERITED 0x0400
#define SE_SACL_AUTO_INHERITED 0x0800
#define SE_DACL_PROTECTED 0x1000
#define SE_SACL_PROTECTED 0x2000
#define SE_RM_CONTROL_VALID 0x4000
#define SE_SELF_RELATIVE 0x8000

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_REVISION1 1

// The absolute form: the parts are pointers to memory that others own.
typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

// The self-relative form: one block, parts at byte offsets from its start
// (0 for an absent part). GetSecurityInfo returns this form.
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    DWORD Owner;
    DWORD Group;
    DWORD Sacl;
    DWORD Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;

// The size of the absolute form on this platform (40 bytes with 64-bit
// pointers; 20 only on 32-bit Windows).
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))

typedef DWORD SECURITY_INFORMATION, *PSECURITY_INFORMATION;
#define OWNER_SECURITY_INFORMATION 0x00000001u
#define GROUP_SECURITY_INFORMATION 0x00000002u
#define DACL_SECURITY_INFORMATION 0x00000004u
#define SACL_SECURITY_INFORMATION 0x00000008u
#define LABEL_SECURITY_INFORMATION 0x00000010u
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000u
#define PROTECTED_SACL_SECURITY_INFORMATION 0x40000000u
#define UNPROTECTED_DACL_SECURITY_INFORMATION 0x20000000u
#define UNPROTECTED_SACL_SECURITY_INFORMATION 0x10000000u

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision);
BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor);
// The size of a self-relative descriptor, or of the absolute header plus the
// parts it points at.
DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor);
// The Set... functions need the absolute form (ERROR_INVALID_SECURITY_DESCR
// for a self-relative one); the Get... functions read both forms.
BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner,
                                BOOL bOwnerDefaulted);
BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup,
                                BOOL bGroupDefaulted);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                               PACL pDacl, BOOL bDaclDefaulted);
BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bSaclPresent,
                               PACL pSacl, BOOL bSaclDefaulted);
BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner,
                                LPBOOL lpbOwnerDefaulted);
BOOL GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pGroup,
                                LPBOOL lpbGroupDefaulted);
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent,
                               PACL* pDacl, LPBOOL lpbDaclDefaulted);
BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbSaclPresent,
                               PACL* pSacl, LPBOOL lpbSaclDefaulted);
BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                  PSECURITY_DESCRIPTOR_CONTROL pControl, LPDWORD lpdwRevision);
// Only the inheritance bits (SE_DACL_UNTRUSTED, SE_SERVER_SECURITY, the
// AUTO_INHERIT ones and the PROTECTED ones) may be changed; any other bit in
// either mask fails with ERROR_INVALID_PARAMETER.
BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                  SECURITY_DESCRIPTOR_CONTROL ControlBitsOfInterest,
                                  SECURITY_DESCRIPTOR_CONTROL ControlBitsToSet);

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES;
// LPSECURITY_ATTRIBUTES is declared by the system header.
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// ---------------------------------------------------------------------------
// Accounts. Only the local system is known: lpSystemName must be null, empty
// or the host's own name (RPC_S_SERVER_UNAVAILABLE otherwise). Unknown names
// and SIDs fail with ERROR_NONE_MAPPED. Buffer sizes follow Windows: too small
// a buffer fails with ERROR_INSUFFICIENT_BUFFER and the sizes needed
// (characters with the terminating zero); on success the character counts
// exclude it.
#define RPC_S_SERVER_UNAVAILABLE 1722L

BOOL LookupAccountNameW(LPCWSTR lpSystemName, LPCWSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                        LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                        PSID_NAME_USE peUse);
BOOL LookupAccountSidW(LPCWSTR lpSystemName, PSID Sid, LPWSTR Name, LPDWORD cchName,
                       LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                       PSID_NAME_USE peUse);

// ---------------------------------------------------------------------------
// Tokens and privileges.
typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;

#define ANYSIZE_ARRAY 1

typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef struct _TOKEN_OWNER {
    PSID Owner;
} TOKEN_OWNER, *PTOKEN_OWNER;

typedef struct _TOKEN_PRIMARY_GROUP {
    PSID PrimaryGroup;
} TOKEN_PRIMARY_GROUP, *PTOKEN_PRIMARY_GROUP;

typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
    TokenGroups,
    TokenPrivileges,
    TokenOwner,
    TokenPrimaryGroup,
    TokenDefaultDacl,
    TokenSource,
    TokenType,
    TokenImpersonationLevel,
    TokenStatistics
} TOKEN_INFORMATION_CLASS,
    *PTOKEN_INFORMATION_CLASS;

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001u
#define SE_PRIVILEGE_ENABLED 0x00000002u
#define SE_PRIVILEGE_REMOVED 0x00000004u
#define SE_PRIVILEGE_USED_FOR_ACCESS 0x80000000u

#define TOKEN_ASSIGN_PRIMARY 0x0001u
#define TOKEN_DUPLICATE 0x0002u
#define TOKEN_IMPERSONATE 0x0004u
#define TOKEN_QUERY 0x0008u
#define TOKEN_QUERY_SOURCE 0x0010u
#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define TOKEN_ADJUST_GROUPS 0x0040u
#define TOKEN_ADJUST_DEFAULT 0x0080u
#define TOKEN_ADJUST_SESSIONID 0x0100u
#define TOKEN_ALL_ACCESS 0x000F01FFu

#define SE_CREATE_TOKEN_NAME u"SeCreateTokenPrivilege"
#define SE_ASSIGNPRIMARYTOKEN_NAME u"SeAssignPrimaryTokenPrivilege"
#define SE_LOCK_MEMORY_NAME u"SeLockMemoryPrivilege"
#define SE_INCREASE_QUOTA_NAME u"SeIncreaseQuotaPrivilege"
#define SE_MACHINE_ACCOUNT_NAME u"SeMachineAccountPrivilege"
#define SE_TCB_NAME u"SeTcbPrivilege"
#define SE_SECURITY_NAME u"SeSecurityPrivilege"
#define SE_TAKE_OWNERSHIP_NAME u"SeTakeOwnershipPrivilege"
#define SE_LOAD_DRIVER_NAME u"SeLoadDriverPrivilege"
#define SE_SYSTEM_PROFILE_NAME u"SeSystemProfilePrivilege"
#define SE_SYSTEMTIME_NAME u"SeSystemtimePrivilege"
#define SE_PROF_SINGLE_PROCESS_NAME u"SeProfileSingleProcessPrivilege"
#define SE_INC_BASE_PRIORITY_NAME u"SeIncreaseBasePriorityPrivilege"
#define SE_CREATE_PAGEFILE_NAME u"SeCreatePagefilePrivilege"
#define SE_CREATE_PERMANENT_NAME u"SeCreatePermanentPrivilege"
#define SE_BACKUP_NAME u"SeBackupPrivilege"
#define SE_RESTORE_NAME u"SeRestorePrivilege"
#define SE_SHUTDOWN_NAME u"SeShutdownPrivilege"
#define SE_DEBUG_NAME u"SeDebugPrivilege"
#define SE_AUDIT_NAME u"SeAuditPrivilege"
#define SE_SYSTEM_ENVIRONMENT_NAME u"SeSystemEnvironmentPrivilege"
#define SE_CHANGE_NOTIFY_NAME u"SeChangeNotifyPrivilege"
#define SE_REMOTE_SHUTDOWN_NAME u"SeRemoteShutdownPrivilege"
#define SE_UNDOCK_NAME u"SeUndockPrivilege"
#define SE_MANAGE_VOLUME_NAME u"SeManageVolumePrivilege"
#define SE_IMPERSONATE_NAME u"SeImpersonatePrivilege"
#define SE_CREATE_GLOBAL_NAME u"SeCreateGlobalPrivilege"

// The pseudo handles of the calling process and thread. The handle table
// never issues these values; CloseHandle on them fails harmlessly.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();

// Only the current process has a token. The process never impersonates, so
// OpenThreadToken on the current thread fails with ERROR_NO_TOKEN.
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                     PHANDLE TokenHandle);
// TokenUser, TokenOwner (the user), TokenPrimaryGroup and TokenPrivileges
// (the privileges whose capabilities are all permitted); other classes fail
// with ERROR_INVALID_PARAMETER. Needs TOKEN_QUERY.
BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         LPVOID TokenInformation, DWORD TokenInformationLength,
                         PDWORD ReturnLength);
// Names are matched without regard to letter case; unknown ones fail with
// ERROR_NO_SUCH_PRIVILEGE.
BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);
// As Windows: TRUE with last error ERROR_NOT_ALL_ASSIGNED when some
// privilege is not held (the others are still changed). Needs
// TOKEN_ADJUST_PRIVILEGES. SE_PRIVILEGE_REMOVED is not supported
// (ERROR_NOT_SUPPORTED).
BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

// ---------------------------------------------------------------------------
// Object security.
typedef enum _SE_OBJECT_TYPE {
    SE_UNKNOWN_OBJECT_TYPE = 0,
    SE_FILE_OBJECT,
    SE_SERVICE,
    SE_PRINTER,
    SE_REGISTRY_KEY,
    SE_LMSHARE,
    SE_KERNEL_OBJECT,
    SE_WINDOW_OBJECT,
    SE_DS_OBJECT,
    SE_DS_OBJECT_ALL,
    SE_PROVIDER_DEFINED_OBJECT,
    SE_WMIGUID_OBJECT,
    SE_REGISTRY_WOW64_32KEY
} SE_OBJECT_TYPE;

// Only SE_FILE_OBJECT is supported (ERROR_NOT_SUPPORTED otherwise).
// The descriptor comes back in self-relative form, allocated with LocalAlloc;
// the part pointers point into it. It is required whenever a part pointer is
// asked for. Reading the SACL needs SeSecurityPrivilege enabled
// (ERROR_PRIVILEGE_NOT_HELD otherwise). These functions return the Windows
// error code (ERROR_SUCCESS on success) and also set it as the last error.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                      PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                      PSECURITY_DESCRIPTOR* ppSecurityDescriptor);
DWORD GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                            PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor);
// Owner: a Unix user SID (else ERROR_INVALID_OWNER); group: a Unix group SID
// (else ERROR_INVALID_PRIMARY_GROUP). A DACL becomes mode bits and POSIX ACL
// entries; a null DACL grants everyone everything. Writing the SACL needs
// SeSecurityPrivilege enabled. All input is checked before anything changes.
DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                      PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl);
DWORD SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID psidOwner, PSID psidGroup,
                            PACL pDacl, PACL pSacl);

// ---------------------------------------------------------------------------
// Trustees and effective rights.
typedef enum _MULTIPLE_TRUSTEE_OPERATION {
    NO_MULTIPLE_TRUSTEE,
    TRUSTEE_IS_IMPERSONATE
} MULTIPLE_TRUSTEE_OPERATION;

typedef enum _TRUSTEE_FORM {
    TRUSTEE_IS_SID,
    TRUSTEE_IS_NAME,
    TRUSTEE_BAD_FORM,
    TRUSTEE_IS_OBJECTS_AND_SID,
    TRUSTEE_IS_OBJECTS_AND_NAME
} TRUSTEE_FORM;

typedef enum _TRUSTEE_TYPE {
    TRUSTEE_IS_UNKNOWN,
    TRUSTEE_IS_USER,
    TRUSTEE_IS_GROUP,
    TRUSTEE_IS_DOMAIN,
    TRUSTEE_IS_ALIAS,
    TRUSTEE_IS_WELL_KNOWN_GROUP,
    TRUSTEE_IS_DELETED,
    TRUSTEE_IS_INVALID,
    TRUSTEE_IS_COMPUTER
} TRUSTEE_TYPE;

typedef struct _TRUSTEE_W {
    struct _TRUSTEE_W* pMultipleTrustee;
    MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
    TRUSTEE_FORM TrusteeForm;
    TRUSTEE_TYPE TrusteeType;
    LPWSTR ptstrName;
} TRUSTEE_W, *PTRUSTEE_W;

// The rights that the ACL grants to the trustee: entries are evaluated in
// order, an allowed right stays allowed and a denied one stays denied.
// Entries apply to the trustee's own SID, to Everyone and, for a Unix user,
// to the groups that the group database gives it. Inherit-only entries do
// not apply. Only TRUSTEE_IS_SID trustees are supported
// (ERROR_INVALID_PARAMETER otherwise); a null ACL grants everything
// (STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL). Generic rights in entries are
// reported as they are, not mapped. Returns the error code, as Windows.
DWORD GetEffectiveRightsFromAclW(PACL pacl, PTRUSTEE_W pTrustee, PACCESS_MASK pAccessRights);

#endif  // _WIN32
