// From `self update` to a confirmed new launcher version, for a large release over loopback HTTPS, against
// the floor of any update (fetching the archive with curl and unpacking it with `zstd -dc | tar -x`), that
// floor with the archive and every file synced (what durability alone costs on this disk), and the same
// work done with standard tools (the floor plus sha256sum of the archive and of every extracted file, and
// sync).
//   bench_update [MiB]    (default: 256 MiB of incompressible payload)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "delta.hpp"
#include "snapshot/delta.hpp"
#include "support/served_repository.hpp"

namespace {

// The same release staged twice from the installation at 1.1: once from its full archive, once from the
// delta published from 1.1. Release 1.2 rewrites 1% of 1.1's large file.
void delta_case(trelk::test::ServedRepository& publisher, const trelk::test::Release& bootstrap, std::uint64_t mib) {
  using namespace trelk::bench;
  const fs::path pristine = publisher.dir / "pristine-1.1";
  shell("cp -a " + quoted(publisher.data) + " " + quoted(pristine));
  const fs::path payload = publisher.dir / "payload-launcher-1.2";
  shell("cp -a " + quoted(publisher.dir / "payload-launcher-1.1") + " " + quoted(payload));
  fs::remove(payload / "launcher.json");
  trelk::test::write_file(payload / "launcher.json",
                          R"({"behaviour":"normal","build_id":"launcher-1.2","kind":"trelk-reference-launcher",)"
                          R"("schema_version":1})");
  {
    std::fstream large(payload / "share/large.bin", std::ios::binary | std::ios::in | std::ios::out);
    if (!large) throw std::runtime_error("release 1.1 has no large file to change");
    std::mt19937_64 random(12);
    std::vector<std::uint64_t> block((mib << 20) / 100 / 8);
    for (auto& word : block) word = random();
    large.seekp(static_cast<std::streamoff>((mib << 20) / 3));
    large.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
  }
  const trelk::test::Release release{publisher.dir / "launcher-1.2.json", publisher.dir / "launcher-1.2.tar.zst"};
  trelk::PackOptions options;
  options.build_id = "launcher-1.2";
  options.executable = "bin/trelk";
  const trelk::json document = trelk::launcher_release(
      trelk::pack_snapshot(payload, release.archive, options), "bin/trelk-gui",
      {{"bin/trelk-maintenance", "maintenance"}, {"bin/trelk-maintenance-gui", "maintenance-gui"}});
  trelk::test::write_file(release.document, trelk::canonical_json(document));
  const fs::path patch = publisher.dir / "launcher-1.2.patch";
  const trelk::json custom =
      trelk::make_delta({publisher.dir / "launcher-1.1.tar.zst", publisher.dir / "launcher-1.1.json"},
                        {release.archive, release.document}, patch, 3);
  publisher.publish(release, bootstrap);

  struct Staged {
    double seconds = 0;
    std::uint64_t bytes = 0;
  };
  auto stage = [&](const char* path) {
    Staged staged;
    staged.seconds = seconds([&] {
      const trelk::json result = publisher.update()["launcher"];
      if (result["path"] != path || publisher.running() != "launcher-1.2")
        throw std::runtime_error(std::string("the ") + path + " update was not confirmed: " + result.dump());
      staged.bytes = result["downloaded_bytes"].get<std::uint64_t>();
    });
    return staged;
  };
  const Staged full = stage("full");
  fs::remove_all(publisher.data);
  shell("cp -a " + quoted(pristine) + " " + quoted(publisher.data));
  const std::string base_sha = trelk::digest(trelk::test::read_file(publisher.dir / "launcher-1.1.json"), "sha256");
  publisher.repo.add_target(trelk::delta_target(document["archive"]["target"].get<std::string>(), base_sha), patch,
                            "targets", custom);
  publisher.publish(release, bootstrap);
  const Staged delta = stage("delta");
  std::printf("the same release (1%% of a %llu MiB launcher rewritten) from its delta and from its archive\n",
              static_cast<unsigned long long>(mib));
  std::printf("  delta: %10llu bytes  %7.2f s\n", static_cast<unsigned long long>(delta.bytes), delta.seconds);
  std::printf("  full:  %10llu bytes  %7.2f s\n", static_cast<unsigned long long>(full.bytes), full.seconds);
  std::printf("  bytes %.4f (target <= 0.05), time %.2f (target <= 1.00)\n",
              static_cast<double>(delta.bytes) / static_cast<double>(full.bytes), delta.seconds / full.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace trelk::bench;
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  trelk::test::ServedRepository publisher{trelk::test::ServedRepository::two_key_root()};
  const auto launcher_10 = publisher.launcher("launcher-1.0", "normal");
  const auto bootstrap_10 = publisher.bootstrap("bootstrap-1.0");
  publisher.publish(launcher_10, bootstrap_10);
  if (publisher.install(launcher_10, bootstrap_10).status != 0 || publisher.running() != "launcher-1.0") {
    std::fprintf(stderr, "bench_update: the installation did not start\n");
    return 1;
  }

  // Release 1.1 carries a large incompressible file.
  const auto launcher_11 = publisher.launcher("launcher-1.1", "normal");
  {
    const fs::path large = publisher.dir / "payload-launcher-1.1/share/large.bin";
    fs::create_directories(large.parent_path());
    std::ofstream out(large, std::ios::binary);
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t written = 0; written < (mib << 20); written += block.size() * 8) {
      for (auto& word : block) word = random();
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
    if (!out.flush()) throw std::runtime_error("cannot write the large payload file");
  }
  // Repack 1.1 with the large file (the helper packed it without).
  fs::remove(launcher_11.archive);
  trelk::PackOptions options;
  options.build_id = "launcher-1.1";
  options.executable = "bin/trelk";
  const trelk::json document = trelk::launcher_release(
      trelk::pack_snapshot(publisher.dir / "payload-launcher-1.1", launcher_11.archive, options), "bin/trelk-gui",
      {{"bin/trelk-maintenance", "maintenance"}, {"bin/trelk-maintenance-gui", "maintenance-gui"}});
  trelk::test::write_file(launcher_11.document, trelk::canonical_json(document));
  publisher.publish(launcher_11, bootstrap_10);

  const double staging = seconds([&] {
    if (publisher.update()["launcher"]["status"] != "staged") throw std::runtime_error("the update was not staged");
  });
  const double start = seconds([&] {
    if (publisher.running() != "launcher-1.1") throw std::runtime_error("the update was not confirmed");
  });
  const double update = staging + start;

  // The references, each run with standard tools into a fresh directory: the floor of any update; that floor
  // with the durability an update owes (the finished archive and every extracted file on disk), which sets
  // the least any update may take on this disk; and the same work with the checks an update must make.
  const std::string url = publisher.nginx.url() + "targets/" + document["archive"]["target"].get<std::string>();
  const std::string fetch = "curl -sS --fail --cacert " + quoted(publisher.pki.ca) + " -o ";
  struct Reference {
    std::string name;
    std::string commands;  // run by the shell in a fresh directory: archive is A, the tree goes to T
    double target;         // the most the update may take, as a multiple of this reference; 0 for none
  };
  const std::vector<Reference> references = {
      {"curl + zstd -dc | tar -x", fetch + "A " + url + " && zstd -qdc A | tar -x -C T", 1.5},
      {"the same, the archive and each file synced (durability only)",
       fetch + "A " + url + " && sync A && zstd -qdc A | tar -x -C T && find T -type f -exec sync {} +", 0},
      {"the same + sha256sum of archive and of each file + sync of each",
       fetch + "A " + url + " && sha256sum A >/dev/null && zstd -qdc A | tar -x -C T" +
           " && find T -type f -exec sha256sum {} + >/dev/null && sync A && find T -exec sync {} +",
       1.0},
  };
  std::printf("self update to a confirmed %llu MiB launcher release over loopback HTTPS\n",
              static_cast<unsigned long long>(mib));
  std::printf("  %-60s %7.2f s  (%.2f s staging, %.2f s first start)\n", "self update + confirming start", update,
              staging, start);
  double floor = 0;
  for (std::size_t i = 0; i < references.size(); ++i) {
    const fs::path work = publisher.dir / ("reference-" + std::to_string(i));
    fs::create_directories(work / "T");
    const double reference = seconds([&] { shell("cd " + quoted(work) + " && " + references[i].commands); });
    fs::remove_all(work);
    if (i == 0) floor = reference;
    std::printf("  %-60s %7.2f s  ratio %.2f ", references[i].name.c_str(), reference, update / reference);
    if (references[i].target > 0)
      std::printf("(target <= %.1f)\n", references[i].target);
    else
      std::printf("(itself %.2f times the first)\n", reference / floor);
  }
  delta_case(publisher, bootstrap_10, mib);
  return 0;
}
