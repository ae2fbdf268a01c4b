#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "fixture_payload.hpp"
#include "pack.hpp"
#include "snapshot/manifest.hpp"
#include "support/errors.hpp"
#include "support/temp_dir.hpp"

namespace trelk::test {

namespace fs = std::filesystem;

// The manifest document of these files in an archive of these bytes; the first file is the entry point.
inline json inventory_document(const std::vector<PayloadFile>& files, const std::string& archive_bytes) {
  json document = snapshot_document("fixture-1", "linux-x86_64", files.front().path, files);
  document["archive"]["length"] = archive_bytes.size();
  document["archive"]["sha256"] = digest(archive_bytes, "sha256");
  return document;
}

inline TarMember member(std::string path, std::string content, unsigned mode = 0644) {
  return {std::move(path), std::move(content), mode, TarMember::Type::file, ""};
}

// Writes archive_bytes to dir/archive.tar.zst and returns the manifest that authenticates it.
inline SnapshotManifest publish(const fs::path& dir, const std::vector<PayloadFile>& files,
                                const std::string& archive_bytes) {
  write_file(dir / "archive.tar.zst", archive_bytes);
  return SnapshotManifest::parse(inventory_document(files, archive_bytes));
}

// One Zstandard frame of the tar stream of these files.
inline std::string frame(const std::vector<PayloadFile>& files) {
  std::vector<TarMember> members;
  for (const auto& file : files) members.push_back(member(file.path, file.content, file.executable ? 0755u : 0644u));
  return zstd_frame(tar_bytes(members));
}

// An executable entry point, nested data, a file larger than one block and an empty file.
inline std::vector<PayloadFile> sample_files() {
  return {{"bin/tool", "#!/bin/sh\necho tool\n", true},
          {"data/a.txt", "alpha\n", false},
          {"data/deep/b.bin", std::string(200000, 'b'), false},
          {"empty", "", false}};
}

}  // namespace trelk::test
