#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/json.hpp"

namespace trelk {

// One file of a payload tree: its relative path, its bytes and whether it is installed with mode 0755.
struct PayloadFile {
  std::string path;
  std::string content;
  bool executable = false;
};

// A launcher payload and the release fields that describe it. The defaults make a valid release: CLI and GUI
// entry points, a maintenance helper and one data file.
struct LauncherPayload {
  std::string build_id = "launcher-1.0.0";
  std::string platform = "linux-x86_64";
  std::string executable = "bin/trelk";
  std::string gui_executable = "bin/trelk-gui";
  std::vector<PayloadFile> files = {
      {"bin/trelk", "#!/bin/sh\necho cli\n", true},
      {"bin/trelk-gui", "#!/bin/sh\necho gui\n", true},
      {"bin/trelk-maintenance", "#!/bin/sh\necho maintenance\n", true},
      {"share/readme.txt", "Trelk launcher\n", false},
  };
  // Pairs of helper path and role.
  std::vector<std::pair<std::string, std::string>> helpers = {{"bin/trelk-maintenance", "maintenance"}};
};

// Writes every file below root (creating directories) with mode 0755 or 0644.
void write_payload_tree(const std::filesystem::path& root, const std::vector<PayloadFile>& files);

// The snapshot inventory of the files: path, length, mode and SHA-256 of each, in the given order.
json payload_inventory(const std::vector<PayloadFile>& files);

// A snapshot manifest of the files. Until an archive is packed, the archive member names a placeholder
// target whose length is the expanded length (at least 1) and whose digest is that of the empty text.
json snapshot_document(const std::string& build_id, const std::string& platform, const std::string& executable,
                       const std::vector<PayloadFile>& files);

// The full launcher release document of a payload, with the contract values this bootstrap accepts.
json launcher_release_document(const LauncherPayload& payload);

// Installs a payload into the launcher store under data_root, the way seeding leaves it: the exact manifest
// bytes under launcher/manifests/<sha>.json and the tree under launcher/versions/<sha>/. Returns the store
// reference {manifest_sha256, build_id}. The document defaults to launcher_release_document(payload).
json install_launcher_payload(const std::filesystem::path& data_root, const LauncherPayload& payload);
json install_launcher_payload(const std::filesystem::path& data_root, const LauncherPayload& payload,
                              const json& document);

// Packs the payload into a tar.zst-v1 archive at archive (which must not exist) and returns the launcher
// release document with its archive member describing that archive.
json pack_launcher_payload(const LauncherPayload& payload, const std::filesystem::path& archive);

}  // namespace trelk
