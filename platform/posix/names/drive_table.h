// The process-wide drive table, share table and confinement root, published
// as immutable snapshots so that a call in flight keeps the descriptors it
// started with. The translation of paths through them is platform/disk_names.h.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/disk_names.h"
#include "platform/posix/names/path_parsing.h"
#include "platform/posix/system/descriptors.h"

namespace kiln::platform {

// One directory that paths are confined to, with its descriptor and the
// Linux spellings of its location (as configured and as resolved) against
// which absolute link targets are compared.
struct BoundaryDir {
    std::string linuxPath;
    std::string realPath;
    UniqueFd fd;
};

struct UncShare {
    std::u16string server;  // as configured; compared ASCII-case-insensitively
    std::u16string share;
    std::shared_ptr<BoundaryDir> dir;
};

class FileConfig {
  public:
    std::array<std::shared_ptr<BoundaryDir>, 26> drives;
    std::vector<UncShare> shares;
    // The confinement root, when one is set: its parsed Windows path and the
    // directory that everything resolves below.
    bool hasRoot = false;
    ParsedPath rootPath;
    std::shared_ptr<BoundaryDir> root;
};

std::shared_ptr<const FileConfig> CurrentFileConfig();
// Moves on with every change of the configuration.
uint64_t FileConfigVersion();

// The share entry of a parsed UNC path, or null.
const UncShare* FindShare(const FileConfig& config, const ParsedPath& parsed);

// The Linux path of the drive or share directory a parsed path lies on (for
// the volume functions).
bool VolumeDirectoryOf(const ParsedPath& parsed, std::string* linuxDirectory);

}  // namespace kiln::platform
