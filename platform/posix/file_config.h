// Internal to the file functions: the process-wide drive table, share table
// and confinement root, published as immutable snapshots so that a call in
// flight keeps the descriptors it started with.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/confinement.h"

namespace kiln::platform {

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

}  // namespace kiln::platform
