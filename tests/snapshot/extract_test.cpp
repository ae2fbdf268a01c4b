#include <sys/resource.h>

#include <algorithm>

#include "files/fixtures.hpp"
#include "snapshot/extract.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

TEST(ExtractSnapshot, HostileArchivesAreRefusedWithoutWritingOutsideStaging) {
  const PayloadFile tool{"bin/tool", "#!/bin/sh\n", true}, data{"data.txt", "payload\n", false};
  const std::vector<TarMember> good{member(tool.path, tool.content, 0755), member(data.path, data.content)};
  auto with = [&](TarMember extra) {
    auto members = good;
    members.push_back(std::move(extra));
    return zstd_frame(tar_bytes(members));
  };
  const std::string ordinary = "Only ordinary files are accepted in snapshots";
  const std::string unexpected = "Archive contains an unexpected or duplicate file";
  const std::string length_or_mode = "Archive file length or mode differs from manifest";
  const std::string digest = "Extracted file hash differs from manifest";
  const std::string tar = tar_bytes(good);
  const std::tuple<std::string, std::string, std::string, std::string> corpus[] = {
      {"parent traversal", with(member("../escaped", "x")), "unsafe_path", "Path contains an unsafe component"},
      {"absolute name", with(member("/tmp/trelk-corpus-absolute", "x")), "unsafe_path",
       "Path must be a safe relative path"},
      {"symbolic link", with({"entry", "", 0644, TarMember::Type::symlink, "/etc/passwd"}), "archive_type", ordinary},
      {"hard link", with({"entry", "", 0644, TarMember::Type::hardlink, "data.txt"}), "archive_type", ordinary},
      {"directory", with({"entry", "", 0755, TarMember::Type::directory, ""}), "archive_type", ordinary},
      {"duplicate", with(member("data.txt", "payload\n")), "archive_inventory", unexpected},
      {"not in manifest", with(member("extra.txt", "x")), "archive_inventory", unexpected},
      {"missing", frame({tool}), "archive", "Snapshot is incomplete or malformed"},
      {"longer", frame({tool, {"data.txt", "payload\n!"}}), "archive_inventory", length_or_mode},
      {"wrong mode", frame({tool, {"data.txt", "payload\n", true}}), "archive_inventory", length_or_mode},
      {"wrong executable digest", frame({{"bin/tool", "#!/bin/rm\n", true}, data}), "content_mismatch", digest},
      {"second frame", zstd_frame(tar) + zstd_frame("more"), "archive",
       "Trailing or concatenated Zstandard frames are forbidden"},
      {"truncated frame", zstd_frame(tar).substr(0, zstd_frame(tar).size() - 5), "archive",
       "Snapshot frame is truncated"},
      {"window above 64 MiB", zstd_frame(tar, {.level = 3, .window_log = 27, .pledge_size = false}), "archive",
       "Snapshot decoding failed or exceeds the 64 MiB window limit"},
      {"decompression bomb", frame({tool, {"data.txt", std::string(std::size_t{24} << 20, '\0')}}), "size_limit",
       "Decoded tar stream exceeds authenticated expansion bounds"},
  };
  for (const auto& [name, archive, code, message] : corpus) {
    SCOPED_TRACE(name);
    TempDir dir;
    const auto manifest = publish(dir.path(), {tool, data}, archive);
    EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "staging", {}, nullptr), code,
                       message);
    // Whatever was written stays inside the private staging directory, which the caller discards.
    EXPECT_FALSE(fs::exists(dir / "escaped") || fs::exists("/tmp/trelk-corpus-absolute"));
    EXPECT_EQ(mode_bits(dir / "staging"), 0700u);
    for (const auto& entry : fs::recursive_directory_iterator(dir / "staging")) {
      EXPECT_TRUE(entry.is_regular_file() || entry.is_directory()) << entry.path();
      // Only content that matched its digest may become executable.
      if (entry.is_regular_file() && (mode_bits(entry.path()) & 0100) != 0) {
        EXPECT_EQ(read_file(entry.path()), tool.content) << entry.path();
      }
    }
  }
}

// A file this large is read back on a thread that follows the writer: hashed as stored, cancelled at the next block.
// A tree deeper than the usual descriptor limit extracts and verifies without a descriptor per level.
TEST(ExtractSnapshot, PackedTreeExtractsPrivatelyHashesLargeFilesAsStoredAndCancelsAtTheNextBlock) {
  TempDir dir;
  const std::string big(std::size_t{5} << 20, 'z');
  std::string deep;
  for (int level = 0; level < 1020; ++level) deep += "d/";
  auto files = sample_files();
  files.push_back({"big.bin", big});
  files.push_back({deep + "file", "deep\n"});  // last, so that only the whole extraction reaches it
  const std::string archive = frame(files);
  const auto manifest = publish(dir.path(), files, archive);
  for (int allowed : {0, 3, 40}) {
    int calls = 0;
    auto progress = [&](std::uint64_t, std::uint64_t) { return calls++ < allowed; };
    EXPECT_TRELK_ERROR(
        extract_snapshot(manifest, dir / "archive.tar.zst", dir / std::to_string(allowed), progress, nullptr),
        "cancelled", "Operation cancelled at a safe boundary");
    EXPECT_EQ(calls, allowed + 1);
  }
  std::uint64_t last = 0;
  auto progress = [&](std::uint64_t done, std::uint64_t total) {
    EXPECT_LE(done, total);
    last = done;
    return true;
  };
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit usual{std::min<rlim_t>(saved.rlim_cur, 1024), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &usual), 0);
  EXPECT_NO_THROW(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "whole", progress, nullptr));
  fs::create_directories(dir / "whole/data/new/empty");  // an empty directory is no damage
  EXPECT_NO_THROW(verify_snapshot_tree(manifest, dir / "whole", {}));
  EXPECT_TRUE(damaged_snapshot_files(manifest, dir / "whole", {}, 10).paths.empty());
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(last, manifest.expanded_length);
  EXPECT_EQ(mode_bits(dir / "whole/bin/tool"), 0700u);
  EXPECT_EQ(mode_bits(dir / "whole/data/a.txt"), 0600u);
  EXPECT_EQ(mode_bits(dir / "whole/data/deep"), 0700u);
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "whole", {}, nullptr), "staging_exists",
                     "A fresh staging directory is required");
  // Any other archive bytes are refused before anything is decoded.
  write_file(dir / "archive.tar.zst", archive + "x");
  EXPECT_TRELK_ERROR(extract_snapshot(manifest, dir / "archive.tar.zst", dir / "other", {}, nullptr),
                     "content_mismatch", "Snapshot differs from its verified application manifest");
  EXPECT_FALSE(fs::exists(dir / "other"));
  // Its last byte differs from what the manifest signs.
  auto altered = files;
  altered[files.size() - 2].content = big.substr(1) + "y";
  const auto signed_manifest = publish(dir.path(), files, frame(altered));
  EXPECT_TRELK_ERROR(extract_snapshot(signed_manifest, dir / "archive.tar.zst", dir / "altered", {}, nullptr),
                     "content_mismatch", "Extracted file hash differs from manifest");
}

}  // namespace
}  // namespace trelk::test
