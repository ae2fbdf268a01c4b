#include "games/installed.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <set>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "games/game_manifest.hpp"
#include "process/arguments.hpp"
#include "process/child.hpp"

namespace trelk {

namespace {

constexpr std::uint64_t kRecordBound = 524288;
constexpr std::uint64_t kManifestBound = 4194304;
constexpr std::uint64_t kPlatformFileBound = 16384;
constexpr std::size_t kReferenceLength = 64;

const std::string kConfigCode = "platformed_config";
const std::string kConfigPrefix = "trelk-platform.json ";

[[noreturn]] void unusable(const std::string& member) {
  fail(kConfigCode, kConfigPrefix + "has an unusable \"" + member + "\" value");
}

// A text member; nullopt when an optional member is absent.
std::optional<std::string> member_text(const json& document, const std::string& member, std::size_t bound,
                                       bool required) {
  const auto found = document.find(member);
  if (found == document.end() && !required) return std::nullopt;
  require(found != document.end() && found->is_string(), kConfigCode,
          kConfigPrefix + "needs a \"" + member + "\" text");
  const auto& value = found->get_ref<const std::string&>();
  if (value.empty() || value.size() > bound) unusable(member);
  return value;
}

// Runs a validator of another rule set and reports its refusal against the member.
template <typename Check>
void usable(const std::string& member, Check check) {
  try {
    check();
  } catch (const Error&) {
    unusable(member);
  }
}

bool plain_text(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

// Only a bare https origin: no path, query, fragment or credentials may ride along.
bool plain_origin(std::string_view service) {
  constexpr std::string_view scheme = "https://";
  if (!service.starts_with(scheme)) return false;
  const std::string_view host = service.substr(scheme.size());
  return !host.empty() && host.find_first_of("/?#@ \t\\") == std::string_view::npos && plain_text(host);
}

bool exists_unfollowed(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  fail("file_read", "Cannot open file: " + path_utf8(path));
}

struct PlatformCache {
  bool loaded = false;
  std::optional<PlatformedGame> game;
  std::optional<Error> failure;
};

GameManifest active_manifest(const fs::path& game_root, const json& active) {
  const auto reference = active.find("manifest_ref");
  if (reference == active.end()) {
    const auto embedded = active.find("manifest");
    require(embedded != active.end(), "invalid_state", "Install record is malformed");
    return GameManifest::parse(*embedded);
  }
  require(reference->is_string() && reference->get_ref<const std::string&>().size() == kReferenceLength,
          "invalid_state", "Installed manifest reference is malformed");
  const auto& ref = reference->get_ref<const std::string&>();
  validate_identifier(ref);
  const fs::path stored = safe_join(game_root, "verified-manifests/application-" + ref + ".json", true);
  const std::string bytes = read_file(stored, kManifestBound);
  require(digest(bytes, "sha256") == ref, "content_mismatch", "The stored game manifest changed");
  return GameManifest::parse(parse_json(bytes, kManifestBound));
}

}  // namespace

PlatformedGame parse_platformed_game(const json& document, const fs::path& directory) {
  const std::string version_one = kConfigPrefix + "is not a version 1 platform file";
  require(document.is_object(), kConfigCode, version_one);
  static const std::set<std::string> known{"schema_version", "game_id",    "name",          "build",
                                           "channel",        "executable", "crash_service", "ca_bundle"};
  for (const auto& [member, value] : document.items()) {
    require(known.contains(member), kConfigCode, kConfigPrefix + "has an unknown field: " + member);
  }
  const auto schema = document.find("schema_version");
  require(schema != document.end() && schema->is_number_integer() && *schema == 1, kConfigCode, version_one);

  PlatformedGame game;
  game.directory = directory;
  game.game_id = *member_text(document, "game_id", 128, true);
  usable("game_id", [&] { validate_identifier(game.game_id); });
  game.name = *member_text(document, "name", 200, true);
  if (!plain_text(game.name)) unusable("name");
  game.build = *member_text(document, "build", 128, true);
  usable("build", [&] { validate_identifier(game.build); });
  game.channel = member_text(document, "channel", 128, false).value_or("stable");
  usable("channel", [&] { validate_identifier(game.channel); });
  const std::string executable = *member_text(document, "executable", 4096, true);
  usable("executable", [&] { validate_relative_path(executable, true); });
  game.executable = safe_join(directory, executable, true);
  game.crash_service = *member_text(document, "crash_service", 2048, true);
  if (!plain_origin(game.crash_service)) unusable("crash_service");
  if (const auto bundle = member_text(document, "ca_bundle", 4096, false)) {
    usable("ca_bundle", [&] { game.ca_bundle = path_from_utf8(*bundle); });
  }
  return game;
}

std::optional<PlatformedGame> read_platformed_game(const fs::path& file) {
  if (!exists_unfollowed(file)) return std::nullopt;
  const std::string bytes = read_file(file, kPlatformFileBound);
  return parse_platformed_game(parse_json(bytes, kPlatformFileBound), file.parent_path());
}

std::optional<PlatformedGame> platformed_game() {
  // Read once: the file beside an installed executable does not change while it runs.
  static PlatformCache cache;
  if (!cache.loaded) {
    cache.loaded = true;
    try {
      cache.game = read_platformed_game(current_executable_path().parent_path() / platform_file_name);
    } catch (const Error& failure) {
      cache.failure = failure;
    }
  }
  if (cache.failure) throw *cache.failure;
  return cache.game;
}

std::optional<PlatformedGame> platformed_game(std::string_view game_id) {
  auto game = platformed_game();
  if (game && game->game_id == game_id) return game;
  return std::nullopt;
}

fs::path platformed_data_root(const PlatformedGame& game) { return user_data_root() / "platformed" / game.game_id; }

InstalledGame locate_installed_game(const fs::path& data_root, const std::string& game_id) {
  validate_identifier(game_id);
  if (const auto platformed = platformed_game(game_id)) {
    std::error_code error;
    require(fs::symlink_status(platformed->executable, error).type() == fs::file_type::regular, "missing_file",
            "The game's program is missing");
    return InstalledGame{platformed->executable, platformed->directory, platformed->build};
  }

  const fs::path root = fs::absolute(data_root);
  const fs::path game_root = safe_join(root, "games/" + game_id, true);
  const fs::path record_path = safe_join(game_root, "record.json", true);
  require(exists_unfollowed(record_path), "not_installed", "The game is not installed");
  const json record = parse_json(read_file(record_path, kRecordBound), kRecordBound);
  const auto installed = record.is_object() ? record.find("installed") : record.end();
  const auto recorded_id = record.is_object() ? record.find("game_id") : record.end();
  require(installed != record.end() && installed->is_boolean() && installed->get<bool>() &&
              recorded_id != record.end() && recorded_id->is_string() && *recorded_id == game_id,
          "not_installed", "The game is not installed");

  const auto active = record.find("active");
  require(
      active != record.end() && active->is_object() && active->contains("version") && (*active)["version"].is_string(),
      "invalid_state", "Install record is malformed");
  const auto& version = (*active)["version"].get_ref<const std::string&>();
  validate_identifier(version);

  const GameManifest manifest = active_manifest(game_root, *active);
  const SnapshotManifest& snapshot = manifest.snapshot;
  require(snapshot.platform == native_platform(), "platform_mismatch", "Installed game build is for another platform");

  InstalledGame game;
  game.directory = safe_join(game_root, "versions/" + version, true);
  game.executable = safe_join(game.directory, snapshot.executable, true);
  game.build = snapshot.build_id;
  std::error_code error;
  const auto size = fs::file_size(game.executable, error);
  require(!error && size == snapshot.files.at(snapshot.executable).length, "content_mismatch",
          "The game's program is missing or changed");
  return game;
}

int start_installed_game(const fs::path& data_root, const std::string& game_id, bool replace) {
  const InstalledGame game = locate_installed_game(data_root, game_id);
  if (replace) {
    exec_process(game.executable, {}, game.directory, {});
  }
  try {
    // Nothing waits for the game: it outlives this call, and its own process
    // group keeps a Ctrl+C meant for the bootstrap from ending it.
    ChildProcess child(game.executable, {}, game.directory, {}, ChildStreams::Console, ChildEnvironment::Inherit, {},
                       ChildGroup::Isolated, ChildControl::None, {});
  } catch (const Error&) {
    fail("process_start", "The game could not be started");
  }
  return 0;
}

}  // namespace trelk
