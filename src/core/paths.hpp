#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace trelk {

namespace fs = std::filesystem;

void validate_identifier(std::string_view id);
void validate_relative_path(std::string_view path, bool portable);
// Appends a validated relative path to base, refusing to walk through symbolic links.
fs::path safe_join(const fs::path& base, std::string_view relative, bool portable);
fs::path path_from_utf8(std::string_view text);
std::size_t native_length(std::string_view text);
std::string path_utf8(const fs::path& p);
void require_path_room(const fs::path& base, const fs::path& relative, std::size_t extra);
fs::path user_data_root();
std::string native_platform();

}  // namespace trelk
