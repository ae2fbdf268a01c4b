#include <sys/stat.h>

#include <functional>
#include <set>

#include "snapshot/allocated_file.hpp"
#include "snapshot/extract.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

unsigned mode_of(const fs::path& file) {
  struct stat st {};
  EXPECT_EQ(::lstat(file.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(ExtractSnapshot, PackedTreeExtractsWithPrivateModesAndVerifies) {
  TempDir dir;
  const auto files = sample_files();
  const auto manifest = publish(dir.path(), files, zstd_frame(tar_bytes(members_of(files))));
  std::uint64_t last_done = 0;
  std::uint64_t calls = 0;
  extract_snapshot(
      manifest, dir / "archive.tar.zst", dir / "staging",
      [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_LE(done, total);
        EXPECT_EQ(total, manifest.expanded_length);
        last_done = done;
        ++calls;
        return true;
      },
      nullptr);
  EXPECT_EQ(last_done, manifest.expanded_length);
  EXPECT_GT(calls, 4u);
  for (const auto& file : files) EXPECT_EQ(read_file(dir / "staging" / file.path), file.content) << file.path;
  EXPECT_EQ(mode_of(dir / "staging/bin/tool"), 0700u);
  EXPECT_EQ(mode_of(dir / "staging/data/a.txt"), 0600u);
  EXPECT_EQ(mode_of(dir / "staging"), 0700u);
  EXPECT_EQ(mode_of(dir / "staging/data/deep"), 0700u);
  verify_snapshot_tree(manifest, dir / "staging", {});

  // A second extraction never reuses an existing staging directory.
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "staging", {}, nullptr),
                     "staging_exists", "A fresh staging directory is required");
}

TEST(ExtractSnapshot, ArchiveMustBeExactlyTheAuthenticatedOne) {
  TempDir dir;
  const auto files = sample_files();
  const std::string archive = zstd_frame(tar_bytes(members_of(files)));
  const auto manifest = publish(dir.path(), files, archive);
  const std::string mismatch = "Snapshot differs from its verified application manifest";

  write_file(dir / "archive.tar.zst", archive + "x");
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "staging", {}, nullptr),
                     "content_mismatch", mismatch);
  std::string flipped = archive;
  flipped[flipped.size() / 2] ^= 1;
  write_file(dir / "archive.tar.zst", flipped);
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "staging", {}, nullptr),
                     "content_mismatch", mismatch);
  write_file(dir / "real.tar.zst", archive);
  fs::remove(dir / "archive.tar.zst");
  fs::create_symlink(dir / "real.tar.zst", dir / "archive.tar.zst");
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "staging", {}, nullptr),
                     "content_mismatch", mismatch);
  // Nothing was decoded, so no staging directory was even created.
  EXPECT_FALSE(fs::exists(dir / "staging"));
}

struct HostileCase {
  std::string name;
  std::function<std::string()> archive;  // the complete archive bytes
  std::vector<Declared> declared;
  std::string code;
  std::string message;
};

std::string frame(const std::vector<TarMember>& members) { return zstd_frame(tar_bytes(members)); }

std::vector<HostileCase> hostile_corpus() {
  const Declared tool{"bin/tool", "#!/bin/sh\n", true};
  const Declared data{"data.txt", "payload\n", false};
  const std::vector<Declared> pair{tool, data};
  auto file = [](std::string path, std::string content, unsigned mode = 0644) {
    return TarMember{std::move(path), std::move(content), mode, TarMember::Type::file, ""};
  };
  auto special = [](std::string path, TarMember::Type type, std::string link = "") {
    return TarMember{std::move(path), "", 0644, type, std::move(link)};
  };
  const auto good = members_of(pair);
  auto with = [good](TarMember extra) {
    auto members = good;
    members.push_back(std::move(extra));
    return frame(members);
  };
  const std::string ordinary = "Only ordinary files are accepted in snapshots";
  const std::string unexpected = "Archive contains an unexpected or duplicate file";
  const std::string length_or_mode = "Archive file length or mode differs from manifest";
  const std::string trailing = "Trailing or concatenated Zstandard frames are forbidden";
  return {
      {"parent traversal", [=] { return with(file("../escaped", "x")); }, pair, "unsafe_path",
       "Path contains an unsafe component"},
      {"nested traversal", [=] { return with(file("data/../../escaped", "x")); }, pair, "unsafe_path",
       "Path contains an unsafe component"},
      {"absolute name", [=] { return with(file("/tmp/trelk-corpus-absolute", "x")); }, pair, "unsafe_path",
       "Path must be a safe relative path"},
      {"symbolic link", [=] { return with(special("link", TarMember::Type::symlink, "/etc/passwd")); }, pair,
       "archive_type", ordinary},
      {"hard link", [=] { return with(special("data2.txt", TarMember::Type::hardlink, "data.txt")); }, pair,
       "archive_type", ordinary},
      {"character device", [=] { return with(special("null", TarMember::Type::character_device)); }, pair,
       "archive_type", ordinary},
      {"fifo", [=] { return with(special("pipe", TarMember::Type::fifo)); }, pair, "archive_type", ordinary},
      {"directory entry", [=] { return with(special("dir", TarMember::Type::directory)); }, pair, "archive_type",
       ordinary},
      {"duplicate entry", [=] { return with(file("data.txt", "payload\n")); }, pair, "archive_inventory", unexpected},
      {"entry not in manifest", [=] { return with(file("extra.txt", "x")); }, pair, "archive_inventory", unexpected},
      {"missing entry", [=] { return frame({good[0]}); }, pair, "archive", "Snapshot is incomplete or malformed"},
      {"longer than declared",
       [=] {
         return frame({good[0], file("data.txt", "payload\n!")});
       },
       pair, "archive_inventory", length_or_mode},
      {"shorter than declared",
       [=] {
         return frame({good[0], file("data.txt", "payload")});
       },
       pair, "archive_inventory", length_or_mode},
      {"mode 0600",
       [=] {
         return frame({good[0], file("data.txt", "payload\n", 0600)});
       },
       pair, "archive_inventory", length_or_mode},
      {"executable bit on data",
       [=] {
         return frame({good[0], file("data.txt", "payload\n", 0755)});
       },
       pair, "archive_inventory", length_or_mode},
      {"wrong digest",
       [=] {
         return frame({good[0], file("data.txt", "PAYLOAD\n")});
       },
       pair, "content_mismatch", "Extracted file hash differs from manifest"},
      {"second frame", [=] { return frame(good) + zstd_frame("more"); }, pair, "archive", trailing},
      {"trailing byte", [=] { return frame(good) + std::string(1, '\0'); }, pair, "archive", trailing},
      {"trailing garbage", [=] { return frame(good) + "garbage after the frame"; }, pair, "archive", trailing},
      {"skippable frame first", [=] { return std::string("\x50\x2a\x4d\x18\x04\x00\x00\x00junk", 12) + frame(good); },
       pair, "archive", "Snapshot must contain exactly one ordinary Zstandard frame"},
      {"not zstd", [=] { return tar_bytes(good); }, pair, "archive",
       "Snapshot must contain exactly one ordinary Zstandard frame"},
      {"window above 64 MiB",
       [=] { return zstd_frame(tar_bytes(good), {.level = 3, .window_log = 27, .pledge_size = false}); }, pair,
       "archive", "Snapshot decoding failed or exceeds the 64 MiB window limit"},
      {"truncated frame",
       [=] {
         const std::string whole = frame(good);
         return whole.substr(0, whole.size() - 5);
       },
       pair, "archive", "Snapshot frame is truncated"},
      {"truncated tar member",
       [=] {
         // The header promises 100000 bytes; the stream ends after a few of them.
         const std::string tar = tar_bytes({good[0], file("data.txt", std::string(100000, 'd'))});
         return zstd_frame(tar.substr(0, tar.find(std::string(100, 'd')) + 4096));
       },
       std::vector<Declared>{tool, {"data.txt", std::string(100000, 'd'), false}}, "archive",
       "Snapshot decompression failed"},
      {"decompression bomb",
       [=] {
         return frame({good[0], file("data.txt", std::string(std::size_t{24} << 20, '\0'))});
       },
       pair, "size_limit", "Decoded tar stream exceeds authenticated expansion bounds"},
  };
}

TEST(ExtractSnapshot, HostileArchivesAreRefusedWithoutWritingOutsideStaging) {
  for (const auto& hostile : hostile_corpus()) {
    SCOPED_TRACE(hostile.name);
    TempDir dir;
    const auto manifest = publish(dir.path(), hostile.declared, hostile.archive());
    EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "staging", {}, nullptr), hostile.code,
                       hostile.message);
    // Whatever was written stays inside the private staging directory, which the caller discards.
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"archive.tar.zst", "staging"}));
    EXPECT_EQ(mode_of(dir / "staging"), 0700u);
    EXPECT_FALSE(fs::exists("/tmp/trelk-corpus-absolute"));
    for (const auto& entry : fs::recursive_directory_iterator(dir / "staging"))
      EXPECT_TRUE(entry.is_regular_file() || entry.is_directory()) << entry.path();
  }
}

TEST(ExtractSnapshot, CancellationStopsBetweenBlocks) {
  TempDir dir;
  const std::vector<Declared> files{{"bin/tool", "#!/bin/sh\n", true},
                                    {"big.bin", std::string(std::size_t{1} << 20, 'z'), false}};
  const auto manifest = publish(dir.path(), files, frame(members_of(files)));
  for (int allowed : {0, 3, 10}) {
    SCOPED_TRACE(allowed);
    const auto staging = dir / ("staging-" + std::to_string(allowed));
    int calls = 0;
    EXPECT_TRELK_ERROR(extract_snapshot(
                           manifest, dir / "archive.tar.zst", staging,
                           [&](std::uint64_t, std::uint64_t) { return calls++ < allowed; }, nullptr),
                       "cancelled", "Operation cancelled at a safe boundary");
    EXPECT_EQ(calls, allowed + 1);
  }
  // Cancelling during the final verification pass uses the same message.
  std::uint64_t expanded = manifest.expanded_length;
  bool extracted = false;
  EXPECT_TRELK_ERROR(extract_snapshot(
                         manifest, dir / "archive.tar.zst", dir / "staging-verify",
                         [&](std::uint64_t done, std::uint64_t) {
                           if (done == expanded) extracted = true;
                           return !(extracted && done > 0 && done < expanded);
                         },
                         nullptr),
                     "cancelled", "Operation cancelled at a safe boundary");
  EXPECT_TRUE(extracted);
}

TEST(ExtractSnapshot, WritesIntoAReservedTree) {
  TempDir dir;
  const auto files = sample_files();
  const auto manifest = publish(dir.path(), files, frame(members_of(files)));
  const auto reserved = ReservedTree::prepare(manifest, dir / "prepared");
  const auto restored = ReservedTree::parse(reserved.document());
  EXPECT_EQ(restored.files.size(), files.size());
  const auto identity = reserved.file("data/a.txt", 6);

  // The prepared root is the only staging directory it accepts.
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "elsewhere", {}, &restored),
                     "allocation_changed", "Reserved tree does not match this snapshot");
  extract_snapshot(manifest, dir / "archive.tar.zst", dir / "prepared", {}, &restored);
  for (const auto& file : files) EXPECT_EQ(read_file(dir / "prepared" / file.path), file.content);
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "prepared/data/a.txt").c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_ino), identity.inode);

  // A reserved file replaced by another one is refused before anything is decoded.
  const auto again = ReservedTree::prepare(manifest, dir / "prepared-2");
  write_file(dir / "prepared-2/data/a.txt.new", "");
  fs::rename(dir / "prepared-2/data/a.txt.new", dir / "prepared-2/data/a.txt");
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "prepared-2", {}, &again),
                     "allocation_changed", "Owned partial file identity or bounds changed");
}

}  // namespace
}  // namespace trelk::test
