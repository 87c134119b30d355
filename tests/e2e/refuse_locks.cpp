// Preloaded into a server: every open-file-description lock call fails with
// ENOLCK, as on an NFS mount without its lock service.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

extern "C" int fcntl(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (command == F_OFD_SETLK || command == F_OFD_SETLKW || command == F_OFD_GETLK)
        return errno = ENOLCK, -1;
    using Fcntl = int (*)(int, int, ...);
    return reinterpret_cast<Fcntl>(dlsym(RTLD_NEXT, "fcntl"))(fd, command, argument);
}
