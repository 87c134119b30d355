// Accounts of the host system by their numeric ids, for the front end: the
// SFTP wire names owners by id (version 3) or by name (versions 4 to 6).
// Answers of the user and group databases are kept for a few seconds
// (platform/README.md, the cache of accounts).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kiln::platform::security {

std::optional<std::string> UserNameOf(uint32_t uid);
std::optional<std::string> GroupNameOf(uint32_t gid);
std::optional<uint32_t> UidOfName(const std::string& name);
std::optional<uint32_t> GidOfName(const std::string& name);

}  // namespace kiln::platform::security
