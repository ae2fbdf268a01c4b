#pragma once
// Releases of the reference launcher in a real store.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/json.hpp"
#include "fixture_payload.hpp"
#include "launcher/store.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

// Installs a release whose behaviour document makes the reference launcher (mis)behave in one way.
inline json install_reference(const std::filesystem::path& root, const std::string& build_id,
                              const std::string& behaviour, std::int64_t hold_ms = 0) {
  static const std::string image = read_file(TRELK_TOOLS_DIR "/trelk-launcher");
  const json identity = {{"schema_version", 1},
                         {"kind", "trelk-reference-launcher"},
                         {"build_id", build_id},
                         {"behaviour", behaviour},
                         {"hold_ms", hold_ms}};
  return install_launcher_payload(
      root, {.build_id = build_id,
             .files = {{"bin/trelk", image, true}, {"bin/trelk-gui", image, true}, {"launcher.json", identity.dump()}},
             .helpers = {}});
}

// Records the working version, the candidate waiting for its first start and the version to roll back to.
inline void select_versions(const std::filesystem::path& root, const json& active, const json& candidate,
                            const json& rollback = nullptr) {
  LauncherStore store(root);
  auto record = store.load();
  record["active"] = active;
  record["candidate"] = candidate;
  record["rollback"] = rollback;
  store.save(record);
}

}  // namespace trelk::test
