#include "sfswin/error_mapping.h"

namespace kiln::KilnSfsWin {

namespace {

struct ErrorStatus {
    DWORD windowsError;
    SfsStatusCode status;
};

// 4318 has no name in the Windows headers we mirror: it is the changer's
// "no media" code, which clients should see like an empty drive.
constexpr ErrorStatus kErrorStatuses[] = {
    {ERROR_FILE_NOT_FOUND, SfsStatusCode::NoSuchFile},
    {ERROR_PATH_NOT_FOUND, SfsStatusCode::NoSuchPath},
    {ERROR_INVALID_DRIVE, SfsStatusCode::NoSuchPath},
    {ERROR_ACCESS_DENIED, SfsStatusCode::PermissionDenied},
    // An owner or group the caller may not give away to: refused for lack
    // of a right, as chown(2) refuses it.
    {ERROR_INVALID_OWNER, SfsStatusCode::PermissionDenied},
    {ERROR_INVALID_PRIMARY_GROUP, SfsStatusCode::PermissionDenied},
    {ERROR_NO_MORE_FILES, SfsStatusCode::Eof},
    {ERROR_HANDLE_EOF, SfsStatusCode::Eof},
    {ERROR_WRITE_PROTECT, SfsStatusCode::WriteProtect},
    {ERROR_NOT_READY, SfsStatusCode::NoMedia},
    {ERROR_NO_MEDIA_IN_DRIVE, SfsStatusCode::NoMedia},
    {4318, SfsStatusCode::NoMedia},
    {ERROR_SHARING_VIOLATION, SfsStatusCode::LockConflict},
    {ERROR_LOCK_VIOLATION, SfsStatusCode::LockConflict},
    {ERROR_HANDLE_DISK_FULL, SfsStatusCode::NoSpaceOnFilesystem},
    {ERROR_DISK_FULL, SfsStatusCode::NoSpaceOnFilesystem},
    {ERROR_NOT_SUPPORTED, SfsStatusCode::OpUnsupported},
    {ERROR_FILE_EXISTS, SfsStatusCode::FileAlreadyExists},
    {ERROR_ALREADY_EXISTS, SfsStatusCode::FileAlreadyExists},
    {ERROR_DIR_NOT_EMPTY, SfsStatusCode::DirNotEmpty},
    {ERROR_DIRECTORY, SfsStatusCode::NotADirectory},
    {ERROR_DELETE_PENDING, SfsStatusCode::DeletePending},
    {ERROR_FILE_CORRUPT, SfsStatusCode::FileCorrupt},
    {ERROR_DISK_CORRUPT, SfsStatusCode::FileCorrupt},
};

}  // namespace

SfsStatusCode MapWindowsError(DWORD code) {
    for (const ErrorStatus& entry : kErrorStatuses)
        if (entry.windowsError == code) return entry.status;
    return SfsStatusCode::Failure;
}

HandlerFailure DescribeHandlerFailure(std::u16string_view action, const SystemError& error) {
    return DescribeHandlerFailure(action, MapWindowsError(error.Code()), error);
}

HandlerFailure DescribeHandlerFailure(std::u16string_view action, SfsStatusCode code,
                                      const SystemError& error) {
    WString text(u"KilnSfsWin: ");
    text += action;
    text += u" failed";
    text += StatusSuffix(code);
    text += u". ";
    text += error.Description();
    return HandlerFailure{code, std::move(text)};
}

void RaiseStatus(const RefPtr<QtSfsStatus>& status) {
    throw status;
}

void RaiseStatus(SfsStatusCode code) {
    RaiseStatus(KilnSfsProvider::MakeStatus(code));
}

void FailRequest(KilnSfsProvider& provider, const QtSfsRequest& request,
                 const HandlerFailure& failure) {
    provider.LogRequest(request, SfsLogType::Error, failure.logText);
    RaiseStatus(failure.code);
}

}  // namespace kiln::KilnSfsWin
