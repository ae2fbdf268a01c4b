// From `self update` to a confirmed new launcher version, for a large release over loopback HTTPS, against
// the floor of any update: fetching the archive with curl and unpacking it with `zstd -dc | tar -x`.
//   bench_update [MiB]    (default: 256 MiB of incompressible payload)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "installed/publisher.hpp"

int main(int argc, char** argv) {
  using namespace trelk::bench;
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  trelk::test::Publisher publisher;
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
    std::ofstream out(publisher.dir / "payload-launcher-1.1/share/large.bin", std::ios::binary);
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t written = 0; written < (mib << 20); written += block.size() * 8) {
      for (auto& word : block) word = random();
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
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

  const double update = seconds([&] {
    if (publisher.update()["launcher"]["status"] != "staged" || publisher.running() != "launcher-1.1")
      throw std::runtime_error("the update was not confirmed");
  });
  const fs::path unpacked = publisher.dir / "floor";
  fs::create_directories(unpacked);
  const std::string url = publisher.nginx.url() + "targets/" + document["archive"]["target"].get<std::string>();
  const double floor = seconds([&] {
    shell("curl -sS --fail --cacert " + quoted(publisher.pki.ca) + " -o " + quoted(publisher.dir / "floor.tar.zst") +
          " " + url);
    shell("zstd -qdc " + quoted(publisher.dir / "floor.tar.zst") + " | tar -x -C " + quoted(unpacked));
  });
  std::printf("self update to a confirmed %llu MiB launcher release over loopback HTTPS\n",
              static_cast<unsigned long long>(mib));
  std::printf("  self update + confirming start  %7.2f s\n", update);
  std::printf("  curl + zstd -dc | tar -x        %7.2f s\n", floor);
  std::printf("  ratio                           %7.2f (target <= 1.30)\n", update / floor);
  return 0;
}
