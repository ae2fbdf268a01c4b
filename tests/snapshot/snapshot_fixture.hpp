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

namespace fs = std::filesystem;

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
  const json archive = {{"format", "tar.zst-v1"},
                        {"target", "fixture-1.tar.zst"},
                        {"length", std::max<std::size_t>(archive_bytes.size(), 1)},
                        {"sha256", digest(archive_bytes, "sha256")}};
  return {{"schema_version", 1},        {"build_id", "fixture-1"},
          {"platform", "linux-x86_64"}, {"executable", files.front().path},
          {"archive", archive},         {"files", list},
          {"expanded_length", expanded}};
}

inline TarMember member(std::string path, std::string content, unsigned mode = 0644) {
  return {std::move(path), std::move(content), mode, TarMember::Type::file, ""};
}

// One Zstandard frame of the tar stream of these files.
inline std::string frame(const std::vector<Declared>& files) {
  std::vector<TarMember> members;
  for (const auto& file : files) members.push_back(member(file.path, file.content, file.executable ? 0755u : 0644u));
  return zstd_frame(tar_bytes(members));
}

// Writes archive_bytes to dir/archive.tar.zst and returns the manifest that authenticates it.
inline SnapshotManifest publish(const fs::path& dir, const std::vector<Declared>& files,
                                const std::string& archive_bytes) {
  write_file(dir / "archive.tar.zst", archive_bytes);
  return SnapshotManifest::parse(inventory_document(files, archive_bytes));
}

// Writes the files below root with the given modes for executables and for the others.
inline void write_tree(const fs::path& root, const std::vector<Declared>& files, fs::perms executable = fs::perms(0755),
                       fs::perms plain = fs::perms(0644)) {
  for (const auto& file : files) {
    write_file(root / file.path, file.content);
    fs::permissions(root / file.path, file.executable ? executable : plain);
  }
}

// An executable entry point, nested data, a file larger than one block and an empty file.
inline std::vector<Declared> sample_files() {
  return {{"bin/tool", "#!/bin/sh\necho tool\n", true},
          {"data/a.txt", "alpha\n", false},
          {"data/deep/b.bin", std::string(200000, 'b'), false},
          {"empty", "", false}};
}

}  // namespace trelk::test
