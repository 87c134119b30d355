// Preloaded into a server, makes every open-file-description lock call fail
// with ENOLCK, as on an NFS mount without its lock service.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

using Fcntl = int (*)(int, int, ...);

int Call(const char* name, int fd, int command, void* argument) {
    if (command == F_OFD_SETLK || command == F_OFD_SETLKW || command == F_OFD_GETLK) {
        errno = ENOLCK;
        return -1;
    }
    return reinterpret_cast<Fcntl>(dlsym(RTLD_NEXT, name))(fd, command, argument);
}

}  // namespace

#define KILN_FCNTL(name)                            \
    extern "C" int name(int fd, int command, ...) { \
        va_list arguments;                          \
        va_start(arguments, command);               \
        void* argument = va_arg(arguments, void*);  \
        va_end(arguments);                          \
        return Call(#name, fd, command, argument);  \
    }
KILN_FCNTL(fcntl)
KILN_FCNTL(fcntl64)
