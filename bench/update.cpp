// From `self update` to a confirmed new launcher version, for a large release over loopback HTTPS, against
// the floor of any update (fetching the archive with curl and unpacking it with `zstd -dc | tar -x`) and
// against the same work done with standard tools (the floor plus sha256sum of the archive and of every
// extracted file, and sync).
//   bench_update [MiB]    (default: 256 MiB of incompressible payload)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "support/served_repository.hpp"

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

  // The references, each run with standard tools into a fresh directory: the floor of any update, and
  // the same work with the checks an update must make (archive digest, every file's digest, durability).
  const std::string url = publisher.nginx.url() + "targets/" + document["archive"]["target"].get<std::string>();
  const std::string fetch = "curl -sS --fail --cacert " + quoted(publisher.pki.ca) + " -o ";
  struct Reference {
    std::string name;
    std::string commands;  // run by the shell in a fresh directory: archive is A, the tree goes to T
    double target;         // the most the update may take, as a multiple of this reference
  };
  const std::vector<Reference> references = {
      {"curl + zstd -dc | tar -x", fetch + "A " + url + " && zstd -qdc A | tar -x -C T", 1.5},
      {"the same + sha256sum of archive and of each file + sync of each",
       fetch + "A " + url + " && sha256sum A >/dev/null && zstd -qdc A | tar -x -C T" +
           " && find T -type f -exec sha256sum {} + >/dev/null && sync A && find T -exec sync {} +",
       1.0},
  };
  std::printf("self update to a confirmed %llu MiB launcher release over loopback HTTPS\n",
              static_cast<unsigned long long>(mib));
  std::printf("  %-60s %7.2f s  (%.2f s staging, %.2f s first start)\n", "self update + confirming start", update,
              staging, start);
  for (std::size_t i = 0; i < references.size(); ++i) {
    const fs::path work = publisher.dir / ("reference-" + std::to_string(i));
    fs::create_directories(work / "T");
    const double reference = seconds([&] { shell("cd " + quoted(work) + " && " + references[i].commands); });
    fs::remove_all(work);
    std::printf("  %-60s %7.2f s  ratio %.2f (target <= %.1f)\n", references[i].name.c_str(), reference,
                update / reference, references[i].target);
  }
  return 0;
}
