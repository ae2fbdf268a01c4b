// The one deterministic tar stream of a snapshot, and deltas between two snapshots of it.
#include "delta.hpp"
#include "snapshot/delta.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/tar_stream.hpp"
#include "snapshot_fixture.hpp"

namespace trelk::test {
namespace {

struct Packed {
  SnapshotManifest manifest;
  PackedRelease files;
};

Packed pack(const fs::path& dir, const std::string& id, const std::vector<Declared>& content) {
  write_tree(dir / id, content);
  PackOptions options;
  options.build_id = id;
  options.executable = "bin/tool";
  const json document = pack_snapshot(dir / id, dir / (id + ".tar.zst"), options);
  write_file(dir / (id + ".json"), canonical_json(document));
  return {SnapshotManifest::parse(document), {dir / (id + ".tar.zst"), dir / (id + ".json")}};
}

TEST(SnapshotDelta, AnInstalledTreeWithAPaxNameRegeneratesTheBaseOfADeltaThatRebuildsTheNextRelease) {
  TempDir temp;
  const fs::path dir = temp.path();
  auto files = sample_files();
  files.push_back({"share/" + std::string(150, 'n') + "/long.txt", "a name only pax can hold\n", false});
  const Packed base = pack(dir, "fixture-1.0", files);
  extract_snapshot(base.manifest, base.files.archive, dir / "installed", {}, nullptr);

  files[2].content[1000] = 'c';
  const Packed result = pack(dir, "fixture-1.1", files);
  const DeltaDescription delta = DeltaDescription::parse(make_delta(base.files, result.files, dir / "1.1.patch", 3));
  EXPECT_LT(fs::file_size(dir / "1.1.patch"), 1000u);
  ScratchFile base_stream(dir, delta.base_tar_length);
  regenerate_delta_base(base.manifest, dir / "installed", delta, base_stream, {});
  auto apply = [&](const fs::path& patch, const DeltaDescription& signed_as, const fs::path& staging) {
    ScratchFile result_stream(dir, signed_as.result_tar_length);
    DeltaDecoder decoder(base_stream, patch, signed_as, result_stream);
    extract_snapshot_stream(
        result.manifest, [&] { return decoder.next(); }, staging, {}, nullptr);
  };
  apply(dir / "1.1.patch", delta, dir / "staged");
  EXPECT_EQ(read_file(dir / "staged" / files[2].path), files[2].content);

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
}

}  // namespace
}  // namespace trelk::test
