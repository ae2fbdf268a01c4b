#include "snapshot/manifest.hpp"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "core/error.hpp"

namespace trelk {
namespace {

constexpr std::uint64_t tib4 = std::uint64_t{1} << 42;
const std::string digest_a(64, 'a');

json file_entry(const std::string& path, std::uint64_t length, int mode = 420) {
  return {{"path", path}, {"length", length}, {"mode", mode}, {"sha256", digest_a}};
}

json manifest(json files) {
  std::uint64_t total = 0;
  for (const auto& f : files) total += f["length"].get<std::uint64_t>();
  return {{"schema_version", 1},
          {"build_id", "launcher-1.2.3"},
          {"platform", "linux-x86_64"},
          {"executable", "bin/launcher"},
          {"archive",
           {{"format", "tar.zst-v1"}, {"target", "launcher/1.2.3.tar.zst"}, {"length", 1000}, {"sha256", digest_a}}},
          {"files", std::move(files)},
          {"expanded_length", total},
          {"unknown_member", "ignored"}};
}

json valid() { return manifest({file_entry("bin/launcher", 10, 493), file_entry("share/data.txt", 5)}); }

Error failure(const json& document) {
  try {
    SnapshotManifest::parse(document);
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "accepted " << document.dump();
  return Error("none", "accepted");
}

void expect_failure(const json& document, const char* code, const char* message) {
  auto error = failure(document);
  EXPECT_EQ(error.code, code) << document.dump().substr(0, 300);
  EXPECT_STREQ(error.what(), message) << document.dump().substr(0, 300);
  EXPECT_TRUE(error.details.empty());
}

json with(json document, const std::function<void(json&)>& change) {
  change(document);
  return document;
}

TEST(SnapshotManifest, ParsesAValidManifest) {
  auto parsed = SnapshotManifest::parse(valid());
  EXPECT_EQ(parsed.document, valid());
  EXPECT_EQ(parsed.build_id, "launcher-1.2.3");
  EXPECT_EQ(parsed.platform, "linux-x86_64");
  EXPECT_EQ(parsed.executable, "bin/launcher");
  EXPECT_EQ(parsed.archive_target, "launcher/1.2.3.tar.zst");
  EXPECT_EQ(parsed.archive_length, 1000u);
  EXPECT_EQ(parsed.archive_sha256, digest_a);
  EXPECT_EQ(parsed.expanded_length, 15u);
  ASSERT_EQ(parsed.files.size(), 2u);
  EXPECT_TRUE(parsed.files.at("bin/launcher").executable);
  EXPECT_FALSE(parsed.files.at("share/data.txt").executable);
  EXPECT_EQ(parsed.files.at("share/data.txt").length, 5u);
  EXPECT_EQ(parsed.longest_native_path(), std::string("share/data.txt").size());
  EXPECT_EQ(SnapshotManifest{}.longest_native_path(), 0u);
}

TEST(SnapshotManifest, SchemaAndShape) {
  const char* schema = "Unsupported snapshot schema; nothing was rewritten";
  expect_failure(with(valid(), [](json& d) { d["schema_version"] = 2; }), "unsupported_schema", schema);
  expect_failure(with(valid(), [](json& d) { d["schema_version"] = "1"; }), "unsupported_schema", schema);
  expect_failure(with(valid(), [](json& d) { d.erase("schema_version"); }), "unsupported_schema", schema);
  expect_failure(json::array({valid()}), "unsupported_schema", schema);

  const char* malformed = "Snapshot manifest has missing or malformed fields";
  expect_failure(with(valid(), [](json& d) { d.erase("build_id"); }), "invalid_manifest", malformed);
  expect_failure(with(valid(), [](json& d) { d["platform"] = 7; }), "invalid_manifest", malformed);
  expect_failure(with(valid(), [](json& d) { d["archive"] = "x"; }), "invalid_manifest", malformed);
  expect_failure(with(valid(), [](json& d) { d["files"][0].erase("sha256"); }), "invalid_manifest", malformed);
  expect_failure(with(valid(), [](json& d) { d["files"][0]["path"] = json::array(); }), "invalid_manifest", malformed);
  expect_failure(with(valid(), [](json& d) { d["files"][1]["mode"] = "420"; }), "invalid_manifest", malformed);
  expect_failure(with(valid(), [](json& d) { d.erase("expanded_length"); }), "invalid_manifest", malformed);

  expect_failure(with(valid(), [](json& d) { d["platform"] = "linux-arm64"; }), "invalid_manifest",
                 "Unknown snapshot platform");
  expect_failure(with(valid(), [](json& d) { d["archive"]["format"] = "tar.gz-v1"; }), "invalid_manifest",
                 "Unsupported snapshot format");
  EXPECT_EQ(failure(with(valid(), [](json& d) { d["build_id"] = "Upper"; })).code, "invalid_identity");
  EXPECT_EQ(failure(with(valid(), [](json& d) { d["executable"] = "../launcher"; })).code, "unsafe_path");
  EXPECT_EQ(failure(with(valid(), [](json& d) { d["archive"]["target"] = "/abs"; })).code, "unsafe_path");
  EXPECT_EQ(failure(with(valid(), [](json& d) { d["files"][1]["path"] = "share//x"; })).code, "unsafe_path");
  expect_failure(with(valid(), [](json& d) { d["files"][1]["length"] = -1; }), "invalid_manifest",
                 "Manifest length must be a non-negative integer");
  expect_failure(with(valid(), [](json& d) { d["files"][1]["sha256"] = std::string(64, 'A'); }), "invalid_manifest",
                 "Manifest needs a lower-case SHA-256 digest");
}

TEST(SnapshotManifest, SizeBounds) {
  const char* archive_bounds = "Snapshot exceeds archive size bounds";
  expect_failure(with(valid(), [](json& d) { d["archive"]["length"] = 0; }), "size_limit", archive_bounds);
  expect_failure(with(valid(), [](json& d) { d["archive"]["length"] = tib4 + 1; }), "size_limit", archive_bounds);
  EXPECT_EQ(SnapshotManifest::parse(with(valid(), [](json& d) { d["archive"]["length"] = tib4; })).archive_length,
            tib4);

  auto full = manifest({file_entry("bin/launcher", tib4 - 100, 493), file_entry("rest", 100)});
  EXPECT_EQ(SnapshotManifest::parse(full).expanded_length, tib4);
  expect_failure(manifest({file_entry("bin/launcher", tib4 - 100, 493), file_entry("rest", 101)}), "size_limit",
                 "Expanded package exceeds size bounds");
  expect_failure(manifest({file_entry("bin/launcher", tib4 + 1, 493)}), "size_limit",
                 "Expanded package exceeds size bounds");

  const char* expanded = "Expanded length differs from file inventory";
  expect_failure(with(valid(), [](json& d) { d["expanded_length"] = 16; }), "invalid_manifest", expanded);
  expect_failure(with(valid(), [](json& d) { d["expanded_length"] = 14; }), "invalid_manifest", expanded);
}

TEST(SnapshotManifest, FileCountBounds) {
  const char* count = "Package file count exceeds bounds";
  expect_failure(manifest(json::array()), "size_limit", count);
  expect_failure(with(valid(), [](json& d) { d["files"] = json::object(); }), "size_limit", count);

  json files = json::array({file_entry("bin/launcher", 1, 493)});
  for (int i = 1; i < 100000; ++i) {
    std::string path = "d";
    path += std::to_string(i % 100);
    path += "/f";
    path += std::to_string(i);
    files.push_back(file_entry(path, 1));
  }
  auto at_bound = manifest(files);
  EXPECT_EQ(SnapshotManifest::parse(at_bound).files.size(), 100000u);
  at_bound["files"].push_back(file_entry("one-more", 1));
  at_bound["expanded_length"] = 100001;
  expect_failure(at_bound, "size_limit", count);
}

TEST(SnapshotManifest, PathsCollisionsAndModes) {
  expect_failure(
      manifest({file_entry("bin/launcher", 1, 493), file_entry("Game/A.txt", 1), file_entry("game/b.txt", 1)}),
      "path_collision", "Package directories differ only in case");
  expect_failure(manifest({file_entry("bin/launcher", 1, 493), file_entry("a.txt", 1), file_entry("A.TXT", 1)}),
                 "path_collision", "Package contains duplicate or case-colliding paths");
  expect_failure(manifest({file_entry("bin/launcher", 1, 493), file_entry("bin/launcher", 1, 493)}), "path_collision",
                 "Package contains duplicate or case-colliding paths");
  const char* parent = "Package file is another file's parent directory";
  expect_failure(manifest({file_entry("bin/launcher", 1, 493), file_entry("bin", 1)}), "path_collision", parent);
  expect_failure(manifest({file_entry("bin/launcher", 1, 493), file_entry("BIN", 1)}), "path_collision", parent);
  expect_failure(manifest({file_entry("bin/launcher", 1, 493), file_entry("lib/x/y", 1), file_entry("lib/X", 1)}),
                 "path_collision", parent);
  // Same directory in one spelling is fine at any depth.
  EXPECT_EQ(SnapshotManifest::parse(
                manifest({file_entry("bin/launcher", 1, 493), file_entry("bin/lib/a", 1), file_entry("bin/lib/b", 1)}))
                .files.size(),
            3u);

  const char* ascii = "The v1 package profile requires ASCII file paths";
  expect_failure(manifest({file_entry("bin/launcher", 1, 493), file_entry("caf\xc3\xa9.txt", 1)}), "invalid_manifest",
                 ascii);
  expect_failure(manifest({file_entry("bin/launcher", 1, 493), file_entry("del\x7f", 1)}), "invalid_manifest", ascii);

  const char* modes = "Package modes must be 0644 or 0755";
  expect_failure(manifest({file_entry("bin/launcher", 1, 511)}), "invalid_manifest", modes);
  expect_failure(manifest({file_entry("bin/launcher", 1, 493), file_entry("x", 1, 0600)}), "invalid_manifest", modes);

  const char* executable = "Declared executable is missing or not executable";
  expect_failure(manifest({file_entry("bin/launcher", 1, 420)}), "invalid_manifest", executable);
  expect_failure(manifest({file_entry("bin/other", 1, 493)}), "invalid_manifest", executable);
}

}  // namespace
}  // namespace trelk
