#include "sfs/status_texts.h"

#include <iterator>

namespace kiln {

namespace {

// Indexed by status code.
constexpr const char16_t* kStandardTexts[] = {
    u"The operation completed successfully.",
    u"Reached the end of the file.",
    u"The file does not exist.",
    u"Permission denied.",
    u"The requested operation failed.",
    u"A bad message received.",
    u"There is no connection to the server.",
    u"The connection to the server was lost.",
    u"The requested operation is not supported.",
    u"The handle is invalid.",
    u"The file path does not exist or is invalid.",
    u"The file already exists.",
    u"The media is write protected.",
    u"No media in drive.",
    u"Insufficient free space on the filesystem.",
    u"Not enough quota is available.",
    u"A principal referenced by the request is unknown.",
    u"The file could not be opened because it is locked by another process.",
    u"The directory is not empty.",
    u"The specified file is not a directory.",
    u"The filename is not valid.",
    u"Too many symbolic links encountered.",
    u"The file cannot be deleted.",
    u"The parameter is incorrect.",
    u"The specified file is a directory.",
    u"Another process's mandatory byte-range lock overlaps with this request.",
    u"A request for a byte range lock was refused.",
    u"An operation was attempted on a file for which a delete operation is pending.",
    u"The file is corrupt.",
    u"The principal specified can not be assigned as an owner of a file.",
    u"The principal specified can not be assigned as the primary group of a file.",
    // The misspelling is part of the text that clients have always received.
    (u"The requested operation could not be completed because the specifed byte range lock has "
     u"not been granted."),
};
static_assert(std::size(kStandardTexts) ==
              static_cast<size_t>(SfsStatusCode::NoMatchingByteRangeLock) + 1);

}  // namespace

WString StandardStatusText(SfsStatusCode code) {
    auto index = static_cast<uint32_t>(code);
    if (index < std::size(kStandardTexts)) return WString(kStandardTexts[index]);
    return WString(kStandardTexts[static_cast<uint32_t>(SfsStatusCode::Failure)]);
}

WString StatusSuffix(SfsStatusCode code) {
    if (code == SfsStatusCode::Failure) return WString();
    if (const char16_t* name = EnumName(code)) return u" with " + WString(name);
    return u" with status code " + NumberToText(static_cast<uint32_t>(code));
}

}  // namespace kiln
