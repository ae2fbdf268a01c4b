#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "pack.hpp"
#include "snapshot/manifest.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

// What the signed inventory declares for one file.
struct Declared {
  std::string path;
  std::string content;
  bool executable = false;
};

// The manifest document of these files in this archive; the first file is the entry point.
inline json inventory_document(const std::vector<Declared>& files, const std::string& archive_bytes) {
  json list = json::array();
  std::uint64_t expanded = 0;
  for (const auto& file : files) {
    list.push_back({{"path", file.path},
                    {"length", file.content.size()},
                    {"mode", file.executable ? 0755 : 0644},
                    {"sha256", digest(file.content, "sha256")}});
    expanded += file.content.size();
  }
  return {{"schema_version", 1},
          {"build_id", "fixture-1"},
          {"platform", "linux-x86_64"},
          {"executable", files.front().path},
          {"archive",
           {{"format", "tar.zst-v1"},
            {"target", "fixture-1.tar.zst"},
            {"length", archive_bytes.empty() ? 1 : archive_bytes.size()},
            {"sha256", digest(archive_bytes, "sha256")}}},
          {"files", list},
          {"expanded_length", expanded}};
}

inline std::vector<TarMember> members_of(const std::vector<Declared>& files) {
  std::vector<TarMember> members;
  for (const auto& file : files)
    members.push_back({file.path, file.content, file.executable ? 0755u : 0644u, TarMember::Type::file, ""});
  return members;
}

// Writes archive_bytes to dir/archive.tar.zst and returns the manifest that authenticates it.
inline SnapshotManifest publish(const std::filesystem::path& dir, const std::vector<Declared>& files,
                                const std::string& archive_bytes) {
  write_file(dir / "archive.tar.zst", archive_bytes);
  return SnapshotManifest::parse(inventory_document(files, archive_bytes));
}

// An executable entry point, nested data, a file larger than one block and an empty file.
inline std::vector<Declared> sample_files() {
  return {{"bin/tool", "#!/bin/sh\necho tool\n", true},
          {"data/a.txt", "alpha\n", false},
          {"data/deep/b.bin", std::string(200000, 'b'), false},
          {"empty", "", false}};
}

}  // namespace trelk::test
