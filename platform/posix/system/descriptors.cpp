#include "platform/posix/system/descriptors.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/posix/system/errors.h"

namespace kiln::platform {

bool StatAt(int dirFd, const char* name, struct statx* st) {
    int flags = AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT | (name[0] == 0 ? AT_EMPTY_PATH : 0);
    if (::statx(dirFd, name, flags, STATX_BASIC_STATS | STATX_BTIME, st) == 0) return true;
    SetLastError(WindowsErrorFromErrno(errno));
    return false;
}

}  // namespace kiln::platform
