// The identity of a file as the share-mode and lock tables key it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kiln::platform {

struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileKey&) const = default;
};

}  // namespace kiln::platform

template <>
struct std::hash<kiln::platform::FileKey> {
    size_t operator()(const kiln::platform::FileKey& key) const {
        return std::hash<uint64_t>()(static_cast<uint64_t>(key.inode) * 31u +
                                     static_cast<uint64_t>(key.device));
    }
};
