// The system's message texts: the standard English Windows texts of the
// error codes that the platform layer produces (and a few that callers are
// known to ask about), served through FormatMessageW as Windows does.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/win32_system.h"

namespace {

struct MessageText {
    DWORD code;
    const char16_t* text;  // without the line end that FormatMessageW appends
};

// Sorted by code.
constexpr MessageText kMessages[] = {
    {0, u"The operation completed successfully."},
    {1, u"Incorrect function."},
    {2, u"The system cannot find the file specified."},
    {3, u"The system cannot find the path specified."},
    {4, u"The system cannot open the file."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {8, u"Not enough memory resources are available to process this command."},
    {13, u"The data is invalid."},
    {14, u"Not enough memory resources are available to complete this operation."},
    {15, u"The system cannot find the drive specified."},
    {16, u"The directory cannot be removed."},
    {17, u"The system cannot move the file to a different disk drive."},
    {18, u"There are no more files."},
    {19, u"The media is write protected."},
    {21, u"The device is not ready."},
    {24, u"The program issued a command but the command length is incorrect."},
    {25, u"The drive cannot locate a specific area or track on the disk."},
    {29, u"The system cannot write to the specified device."},
    {30, u"The system cannot read from the specified device."},
    {31, u"A device attached to the system is not functioning."},
    {32, u"The process cannot access the file because it is being used by another process."},
    {33,
     u"The process cannot access the file because another process has locked a portion of the "
     u"file."},
    {38, u"Reached the end of the file."},
    {39, u"The disk is full."},
    {50, u"The request is not supported."},
    {53, u"The network path was not found."},
    {65, u"Network access is denied."},
    {67, u"The network name cannot be found."},
    {80, u"The file exists."},
    {82, u"The directory or file cannot be created."},
    {87, u"The parameter is incorrect."},
    {109, u"The pipe has been ended."},
    {110, u"The system cannot open the device or file specified."},
    {111, u"The file name is too long."},
    {112, u"There is not enough space on the disk."},
    {120, u"This function is not supported on this system."},
    {122, u"The data area passed to a system call is too small."},
    {123, u"The filename, directory name, or volume label syntax is incorrect."},
    {124, u"The system call level is not correct."},
    {126, u"The specified module could not be found."},
    {127, u"The specified procedure could not be found."},
    {131, u"An attempt was made to move the file pointer before the beginning of the file."},
    {145, u"The directory is not empty."},
    {158, u"The segment is already unlocked."},
    {160, u"One or more arguments are not correct."},
    {161, u"The specified path is invalid."},
    {167, u"Unable to lock a region of a file."},
    {170, u"The requested resource is in use."},
    {183, u"Cannot create a file when that file already exists."},
    {206, u"The filename or extension is too long."},
    {223, u"The file size exceeds the limit allowed and cannot be saved."},
    {234, u"More data is available."},
    {267, u"The directory name is invalid."},
    {303, u"The file cannot be opened because it is in the process of being deleted."},
    {307, u"The lock range is invalid."},
    {317,
     u"The system cannot find message text for message number 0x%1 in the message file for "
     u"%2."},
    {681, u"The create operation stopped after reaching a symbolic link."},
    {996, u"Overlapped I/O event is not in a signaled state."},
    {997, u"Overlapped I/O operation is in progress."},
    {998, u"Invalid access to memory location."},
    {1004, u"Invalid flags."},
    {1006,
     u"The volume for a file has been externally altered so that the opened file is no longer "
     u"valid."},
    {1008, u"An attempt was made to reference a token that does not exist."},
    {1112, u"No media in drive."},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page."},
    {1117, u"The request could not be performed because of an I/O device error."},
    {1168, u"Element not found."},
    {1300, u"Not all privileges or groups referenced are assigned to the caller."},
    {1301, u"Some mapping between account names and security IDs was not done."},
    {1305, u"The revision level is unknown."},
    {1306, u"Indicates two revision levels are incompatible."},
    {1307, u"This security ID may not be assigned as the owner of this object."},
    {1308, u"This security ID may not be assigned as the primary group of an object."},
    {1313, u"A specified privilege does not exist."},
    {1314, u"A required privilege is not held by the client."},
    {1315, u"The name provided is not a properly formed account name."},
    {1332, u"No mapping between account names and security IDs was done."},
    {1336, u"The access control list (ACL) structure is invalid."},
    {1337, u"The security ID structure is invalid."},
    {1338, u"The security descriptor structure is invalid."},
    {1340,
     u"The inherited access control list (ACL) or access control entry (ACE) could not be built."},
    {1344, u"No more memory is available for security information updates."},
    {1355, u"The specified domain either does not exist or could not be contacted."},
    {1361, u"A security descriptor is not in the right format (absolute or self-relative)."},
    {1383, u"The local security authority database contains an internal inconsistency."},
    {1392, u"The file or directory is corrupted and unreadable."},
    {1393, u"The disk structure is corrupted and unreadable."},
    {1450, u"Insufficient system resources exist to complete the requested service."},
    {1460, u"This operation returned because the timeout period expired."},
    {1815, u"The specified resource language ID cannot be found in the image file."},
    {1816, u"Not enough quota is available to process this command."},
    {1920, u"The file cannot be accessed by the system."},
    {1921, u"The name of the file cannot be resolved by the system."},
    {4390, u"The file or directory is not a reparse point."},
    {4392, u"The data present in the reparse point buffer is invalid."},
    {4393, u"The tag present in the reparse point buffer is invalid."},
};

constexpr bool Sorted() {
    for (size_t i = 1; i < std::size(kMessages); ++i) {
        if (kMessages[i - 1].code >= kMessages[i].code) return false;
    }
    return true;
}
static_assert(Sorted(), "the message table is sorted by code");

const char16_t* FindMessage(DWORD code) {
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                               [](const MessageText& m, DWORD c) { return m.code < c; });
    return it != std::end(kMessages) && it->code == code ? it->text : nullptr;
}

// The texts exist in English only: neutral and default languages and any
// English sublanguage find them, other languages do not.
bool LanguageAvailable(DWORD language) {
    if (language > 0xFFFF) return false;
    DWORD primary = language & 0x3FF;
    return primary == LANG_NEUTRAL || primary == LANG_ENGLISH;
}

bool HasInserts(const char16_t* text) {
    for (const char16_t* p = text; *p; ++p) {
        if (p[0] == u'%' && p[1] >= u'1' && p[1] <= u'9') return true;
    }
    return false;
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, void* Arguments) {
    (void)Arguments;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        SetLastError(ERROR_NOT_SUPPORTED);  // nothing in the system formats its own strings
        return 0;
    }
    // Only the system's table exists; a module's message table cannot be
    // read (there are no resources on Linux).
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        ((dwFlags & FORMAT_MESSAGE_FROM_HMODULE) && lpSource)) {
        SetLastError((dwFlags & FORMAT_MESSAGE_FROM_HMODULE) ? ERROR_MR_MID_NOT_FOUND
                                                             : ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!LanguageAvailable(dwLanguageId)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const char16_t* text = FindMessage(dwMessageId);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // Inserts are never expanded; Windows would read the arguments for them,
    // so without FORMAT_MESSAGE_IGNORE_INSERTS they are an error here.
    if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && HasInserts(text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    static constexpr char16_t kLineEnd[] = u"\r\n";
    const size_t textLength = std::char_traits<char16_t>::length(text);
    const size_t length = textLength + 2;  // characters, without the terminating zero

    char16_t* out;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // nSize is the least number of characters to allocate.
        size_t characters = std::max<size_t>(length + 1, nSize);
        out = static_cast<char16_t*>(LocalAlloc(LMEM_FIXED, characters * sizeof(char16_t)));
        if (!out) return 0;  // LocalAlloc set the error
        *reinterpret_cast<LPWSTR*>(lpBuffer) = out;
    } else {
        if (nSize < length + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        out = lpBuffer;
    }
    std::memcpy(out, text, textLength * sizeof(char16_t));
    std::memcpy(out + textLength, kLineEnd, sizeof(kLineEnd));
    return static_cast<DWORD>(length);
}
