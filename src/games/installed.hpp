#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace trelk {

// The program of a game's active build, proven to match its install record and manifest.
struct InstalledGame {
  std::filesystem::path executable;
  std::filesystem::path directory;  // the active version directory; the game's working directory
  std::string build;
};

// The game a single-game build ships with, from trelk-platform.json beside the executable.
struct PlatformedGame {
  std::string game_id;
  std::string name;
  std::string build;
  std::string channel;  // "stable" when the file names none
  std::filesystem::path executable;
  std::string crash_service;
  std::optional<std::filesystem::path> ca_bundle;
  std::filesystem::path directory;  // where the platform file lies
};

inline constexpr std::string_view platform_file_name = "trelk-platform.json";

InstalledGame locate_installed_game(const std::filesystem::path& data_root, const std::string& game_id);
// With replace the process becomes the game and the call does not return; otherwise the
// game starts as a child and the call returns 0 once it runs.
int start_installed_game(const std::filesystem::path& data_root, const std::string& game_id, bool replace);

// The platform file next to the running executable, read once per process.
std::optional<PlatformedGame> platformed_game();
std::optional<PlatformedGame> platformed_game(std::string_view game_id);
std::filesystem::path platformed_data_root(const PlatformedGame& game);

// Validates a platform file document; directory is where the file lies.
PlatformedGame parse_platformed_game(const json& document, const std::filesystem::path& directory);
// Reads and validates a platform file; empty when no file is there.
std::optional<PlatformedGame> read_platformed_game(const std::filesystem::path& file);

}  // namespace trelk
