// Linux descriptors as the platform holds them: closed by their owner, shared
// where a directory resolved in a request is held by several handles, and
// reached by name where a call refuses O_PATH descriptors.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace kiln::platform {

// A descriptor that closes itself.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ~UniqueFd() { Reset(); }
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// A descriptor with more than one holder: a directory resolved in a request
// is held by the request's resolution scope and by handles opened in it.
using SharedFd = std::shared_ptr<const UniqueFd>;

// "/proc/self/fd/N": the name through which calls that refuse O_PATH
// descriptors (fgetxattr, acl_get_fd, fchmod on some kernels) reach the object.
inline std::string ProcFdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// statx of dirFd/name (empty name: the descriptor itself), never following a
// final link. False with the Windows last error.
bool StatAt(int dirFd, const char* name, struct statx* st);

}  // namespace kiln::platform
