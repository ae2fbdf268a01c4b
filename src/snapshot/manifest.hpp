#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/json.hpp"

namespace trelk {

struct PackageFile {
  std::uint64_t length = 0;
  std::string sha256;
  bool executable = false;  // declared mode 0755
};

// The signed inventory of one snapshot tree and the identity of its archive.
struct SnapshotManifest {
  json document;
  std::string build_id;
  std::string platform;
  std::string executable;
  std::string archive_target;
  std::uint64_t archive_length = 0;
  std::uint64_t expanded_length = 0;
  std::string archive_sha256;
  std::map<std::string, PackageFile> files;

  static SnapshotManifest parse(const json& document);
  // Greatest native length of any file path; 0 for an empty inventory.
  std::uint64_t longest_native_path() const;
};

}  // namespace trelk
