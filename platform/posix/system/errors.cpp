// The thread's last error, and errno in Windows words.
#include "platform/posix/system/errors.h"

#include <cerrno>

#include "platform/posix/system/notices.h"

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

namespace kiln::platform {

DWORD WindowsErrorFromErrno(int error) {
    TellIfStorageFailed(error);
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EBUSY:
            return ERROR_ACCESS_DENIED;  // a mount point cannot be removed
        case ENOTCONN:
        case ENODEV:
        case ENXIO:
            return ERROR_NOT_READY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace kiln::platform
