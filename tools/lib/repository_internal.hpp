// What the three parts of the repository (plan, keys and signing, publication) share; not for other users.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace trelk::repository_internal {

inline const std::vector<std::string> top_roles = {"root", "timestamp", "snapshot", "targets"};
// Files the web server hands out are readable by everyone.
inline constexpr auto public_mode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                    std::filesystem::perms::group_read | std::filesystem::perms::others_read;

inline bool is_top(const std::string& name) { return std::ranges::find(top_roles, name) != top_roles.end(); }
inline std::vector<std::string> ids_of(const json& keyids) { return keyids.get<std::vector<std::string>>(); }

}  // namespace trelk::repository_internal
