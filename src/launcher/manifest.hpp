#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {

// The application data schema this bootstrap keeps; a launcher must be able to read it.
inline constexpr std::uint64_t application_data_schema = 1;

// Payload bounds of a launcher release, tighter than those of a general snapshot.
inline constexpr std::uint64_t launcher_payload_bytes = std::uint64_t{1} << 30;
inline constexpr std::size_t launcher_payload_files = 4096;
inline constexpr std::size_t launcher_helper_limit = 16;

// A launcher release: its file tree plus the runtime contract it expects from this bootstrap.
struct LauncherManifest {
  SnapshotManifest snapshot;  // executable is the CLI entry point, build_id the version
  std::string gui_executable;
  std::map<std::string, std::string> runtime_helpers;  // helper path -> lifetime role
  std::uint64_t runtime_lease_abi = 2;
  std::uint64_t staging_abi = 1;
  std::uint64_t console_interrupt_abi = 1;

  // Accepts a release only if this bootstrap can run it exactly as described.
  static LauncherManifest parse(const json& document);

  // The document a started launcher writes to prove it is ready for this attempt.
  json startup_health(const json& attempt, std::uint64_t pid, std::string_view interface, bool console_interrupt) const;
  bool matches_startup_health(const json& health, const json& attempt, std::uint64_t pid, std::string_view interface,
                              bool console_interrupt) const;
};

// Target name under which launcher releases for this platform are published.
std::string launcher_manifest_target();

}  // namespace trelk
