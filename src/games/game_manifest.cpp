#include "games/game_manifest.hpp"

#include "core/error.hpp"
#include "core/paths.hpp"

namespace trelk {

namespace {

constexpr std::size_t kNameBound = 200;

bool plain_text(const std::string& text, std::size_t bound) {
  if (text.empty() || text.size() > bound) return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

}  // namespace

GameManifest GameManifest::parse(const json& document) {
  require(document.is_object() && document.contains("kind") && document["kind"] == "trelk-game-release",
          "unsupported_schema", "Unsupported game release schema; nothing was rewritten");
  GameManifest manifest;
  manifest.snapshot = SnapshotManifest::parse(document);
  try {
    manifest.game_id = document.at("game_id").get<std::string>();
    manifest.name = document.at("name").get<std::string>();
  } catch (const json::exception&) {
    fail("invalid_manifest", "Game release has missing or malformed fields");
  }
  validate_identifier(manifest.game_id);
  require(plain_text(manifest.name, kNameBound), "invalid_manifest",
          "Game release name must be 1 to 200 bytes of plain text");
  return manifest;
}

}  // namespace trelk
