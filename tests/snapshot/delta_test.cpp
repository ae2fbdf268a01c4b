// The one deterministic tar stream of a snapshot, deltas between two snapshots of it, and the same tree as other
// tar and Zstandard writers pack it.
#include <cstdlib>

#include "delta.hpp"
#include "snapshot/delta.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/tar_stream.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

// The files packed as release id, with the manifest its document holds.
auto pack(const fs::path& dir, const std::string& id, const std::vector<PayloadFile>& content) {
  write_payload_tree(dir / id, content);
  const json document = pack_snapshot(dir / id, dir / (id + ".tar.zst"),
                                      {.build_id = id, .executable = "bin/tool", .target = id + ".tar.zst"});
  write_file(dir / (id + ".json"), canonical_json(document));
  return std::pair{SnapshotManifest::parse(document), PackedRelease{dir / (id + ".tar.zst"), dir / (id + ".json")}};
}

TEST(SnapshotDelta, AnInstalledTreeWithALongNameRegeneratesTheBaseOfADeltaAndOtherWritersArchivesExtract) {
  TempDir temp;
  const fs::path dir = temp.path();
  auto files = sample_files();
  // A name too long for a plain ustar header needs the pax form here and the GNU long-name form below.
  files.push_back({"share/" + std::string(150, 'n') + "/" + std::string(120, 'f') + ".txt", "long name\n", false});
  const auto [base_manifest, base] = pack(dir, "fixture-1.0", files);
  extract_snapshot(base_manifest, base.archive, dir / "installed", {}, nullptr);

  files[2].content[1000] = 'c';
  const auto [result_manifest, result] = pack(dir, "fixture-1.1", files);
  const DeltaDescription delta = DeltaDescription::parse(make_delta(base, result, dir / "1.1.patch", 3));
  EXPECT_LT(fs::file_size(dir / "1.1.patch"), 1000u);
  ScratchFile base_stream(dir, delta.base_tar_length);
  regenerate_delta_base(base_manifest, dir / "installed", delta, base_stream, {});
  auto apply = [&](const fs::path& patch, const DeltaDescription& signed_as, const fs::path& staging) {
    ScratchFile result_stream(dir, signed_as.result_tar_length);
    DeltaDecoder decoder(base_stream, patch, signed_as, result_stream);
    extract_snapshot_stream(
        result_manifest, [&] { return decoder.next(); }, staging, {}, nullptr);
  };
  EXPECT_NO_THROW(apply(dir / "1.1.patch", delta, dir / "staged"));

  // What the decoder refuses on its own, beyond what the trusted client and extraction check.
  write_file(dir / "trailing.patch", read_file(dir / "1.1.patch") + "x");
  DeltaDescription small_window = delta;
  small_window.window_log = delta_window_log_floor;
  const std::tuple<const char*, fs::path, DeltaDescription, const char*> refusals[] = {
      {"a byte after the frame", dir / "trailing.patch", delta, "delta_patch"},
      {"a window signed smaller than the frame's", dir / "1.1.patch", small_window, "delta_patch"},
  };
  for (const auto& [name, patch, signed_as, code] : refusals) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(fails_with([&] { apply(patch, signed_as, dir / name); }, code));
  }

  // The release as GNU tar and the zstd program pack it, a long window included, extracts as well.
  if (std::system("tar --version >/dev/null 2>&1 && zstd --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "GNU tar or zstd is not installed";
  std::string list;  // files named one by one, so that the archives hold no directory members
  for (const auto& file : files) list += " '" + file.path + "'";
  const std::pair<std::string, std::string> producers[] = {
      {"gnu.tar.zst", "tar --format=gnu --zstd -C fixture-1.1 -cf gnu.tar.zst" + list},
      {"posix.tar.zst", "tar --format=posix -C fixture-1.1 -cf - " + list + " | zstd -q -19 -o posix.tar.zst"},
      {"long.tar.zst", "tar --format=gnu -C fixture-1.1 -cf - " + list + " | zstd -q --long=26 -o long.tar.zst"},
  };
  for (const auto& [name, command] : producers) {
    SCOPED_TRACE(name);
    ASSERT_EQ(std::system(("cd '" + dir.string() + "' && " + command).c_str()), 0);
    const auto manifest = SnapshotManifest::parse(inventory_document(files, read_file(dir / name)));
    EXPECT_NO_THROW(extract_snapshot(manifest, dir / name, dir / ("staging-" + name), {}, nullptr));
  }
}

}  // namespace
}  // namespace trelk::test
