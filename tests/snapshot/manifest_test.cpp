#include "snapshot/manifest.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "support/errors.hpp"

namespace {

// Heap in use through operator new and its high-water mark, for the memory bound of parsing.
std::atomic<std::int64_t> heap_live{0}, heap_peak{0};

}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  const auto live = heap_live += static_cast<std::int64_t>(malloc_usable_size(block));
  if (live > heap_peak) heap_peak = live;  // only the parsing thread allocates while the peak is measured
  return block;
}
void operator delete(void* block) noexcept {
  if (block != nullptr) heap_live -= static_cast<std::int64_t>(malloc_usable_size(block));
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

namespace trelk {
namespace {

constexpr std::uint64_t tib4 = std::uint64_t{1} << 42;

json entry(const std::string& path, std::uint64_t length, int mode = 0644) {
  return {{"path", path}, {"length", length}, {"mode", mode}, {"sha256", std::string(64, 'a')}};
}

// A manifest of these files after the entry point bin/launcher of the given length.
json manifest(std::vector<json> rest, std::uint64_t first = 10) {
  json files = json::array({entry("bin/launcher", first, 0755)});
  std::uint64_t total = first;
  for (auto& f : rest) {
    total += f["length"].get<std::uint64_t>();
    files.push_back(std::move(f));
  }
  return {{"schema_version", 1},
          {"build_id", "launcher-1.2.3"},
          {"platform", "linux-x86_64"},
          {"executable", "bin/launcher"},
          {"archive",
           {{"format", "tar.zst-v1"}, {"target", "1.2.3.tar.zst"}, {"length", 1000}, {"sha256", std::string(64, 'a')}}},
          {"files", files},
          {"expanded_length", total},
          {"unknown_member", "ignored"}};
}

TEST(SnapshotManifest, AcceptsItsBoundsAndParsesInMemoryLinearInTheDocument) {
  auto largest = manifest({entry("rest", 100)}, tib4 - 100);
  largest["archive"]["length"] = tib4;
  EXPECT_EQ(SnapshotManifest::parse(largest).expanded_length, tib4);
  // Names may differ in case from a directory as long as no directory is spelt two ways.
  EXPECT_NO_THROW(
      SnapshotManifest::parse(manifest({entry("Data/A", 1), entry("data.txt", 1), entry("Data/a.txt", 1)})));
  std::vector<json> files;
  for (int i = 1; i < 100000; ++i)
    files.push_back(entry(std::to_string(i % 100).append("/f").append(std::to_string(i)), 1));
  auto most = manifest(files);
  EXPECT_EQ(SnapshotManifest::parse(most).files.size(), 100000u);
  most["files"].push_back(entry("one-more", 1));
  EXPECT_TRELK_ERROR(SnapshotManifest::parse(most), "size_limit", "Package file count exceeds bounds");

  // Near the 512 KiB document bound: 4093-byte paths of one-letter directories, no two sharing a directory.
  files.clear();
  for (int i = 0; i < 124; ++i) {
    std::string path = std::to_string(i + 100) + "/";
    while (path.size() < 4092) path += "a/";
    files.push_back(entry(path + "f", 1));
  }
  const auto document = manifest(files);
  const auto size = static_cast<std::int64_t>(document.dump().size());
  ASSERT_GT(size, 500 << 10);
  heap_peak = heap_live.load();
  const auto before = heap_live.load();
  EXPECT_EQ(SnapshotManifest::parse(document).files.size(), 125u);
  EXPECT_LT(heap_peak - before, 8 * size);
}

TEST(SnapshotManifest, Refusals) {
  auto changed = [](std::function<void(json&)> change) {
    auto document = manifest({entry("share/data.txt", 5)});
    change(document);
    return document;
  };
  const char* duplicate = "Package contains duplicate or case-colliding paths";
  const char* directories = "Package directories differ only in case";
  const std::tuple<json, const char*, const char*> refusals[] = {
      {changed([](json& d) { d["schema_version"] = 2; }), "unsupported_schema",
       "Unsupported snapshot schema; nothing was rewritten"},
      {changed([](json& d) { d.erase("build_id"); }), "invalid_manifest",
       "Snapshot manifest has missing or malformed fields"},
      {changed([](json& d) { d["expanded_length"] = 16; }), "invalid_manifest",
       "Expanded length differs from file inventory"},
      {changed([](json& d) { d["archive"]["length"] = tib4 + 1; }), "size_limit",
       "Snapshot exceeds archive size bounds"},
      {manifest({entry("rest", 101)}, tib4 - 100), "size_limit", "Expanded package exceeds size bounds"},
      {manifest({entry("d/Sub/a", 1), entry("d/x", 1), entry("d/sub/b", 1)}), "path_collision", directories},
      // The first failure in array order wins, and within one path the duplicate check comes first.
      {manifest({entry("Game/A.txt", 1), entry("game/b.txt", 1, 0600)}), "path_collision", directories},
      {manifest({entry("x", 1, 0600), entry("Game/A.txt", 1), entry("game/b.txt", 1)}), "invalid_manifest",
       "Package modes must be 0644 or 0755"},
      {manifest({entry("Game/a", 1), entry("game/A", 1)}), "path_collision", duplicate},
      {manifest({entry("bin", 1)}), "path_collision", "Package file is another file's parent directory"},
      {manifest({entry("caf\xc3\xa9.txt", 1)}), "invalid_manifest", "The v1 package profile requires ASCII file paths"},
      {changed([](json& d) { d["files"][0]["mode"] = 0644; }), "invalid_manifest",
       "Declared executable is missing or not executable"},
  };
  for (const auto& [document, code, message] : refusals) {
    SCOPED_TRACE(document.dump().substr(0, 200));
    EXPECT_TRELK_ERROR(SnapshotManifest::parse(document), code, message);
  }
}

}  // namespace
}  // namespace trelk
