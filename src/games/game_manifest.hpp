#pragma once

#include <string>

#include "core/json.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {

// A game release: a snapshot manifest document (the build's file tree) with the
// game's identity. Presentation members are read by the launcher, not here.
struct GameManifest {
  SnapshotManifest snapshot;
  std::string game_id;
  std::string name;

  static GameManifest parse(const json& document);
};

}  // namespace trelk
