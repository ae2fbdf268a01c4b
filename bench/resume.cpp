// The cost of resuming: one large target downloaded with resumed_target in one go, against the same
// download stopped at one half and resumed (the extra work is the prefix re-hash), alternating.
//   bench_resume [MiB] [rounds]    (defaults: 1024 MiB, 3 rounds)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/digest.hpp"
#include "core/error.hpp"
#include "support/https_servers.hpp"
#include "transport/https_transport.hpp"
#include "transport/resume.hpp"

int main(int argc, char** argv) {
  using namespace trelk::bench;
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::uint64_t size = mib << 20;
  ScratchDir scratch;
  const fs::path files = scratch.path() / "files";
  fs::create_directories(files);
  trelk::DigestState whole("sha256");
  write_pattern_file(files / "target.bin", size, [&](std::string_view block) { whole.update(block); });
  const trelk::json description = {{"length", size}, {"hashes", {{"sha256", whole.value()}}}};
  trelk::test::TestPki pki(scratch.path() / "pki");
  trelk::test::NginxServer nginx(pki, files);
  trelk::HttpsTransport transport(nginx.url(), pki.ca, 0, nullptr);
  const std::string scope = trelk::target_download_resume_scope("bench", nullptr, "target.bin");
  const fs::path out = scratch.path() / "out";
  auto download = [&](const trelk::Progress& progress) {
    trelk::resumed_target(transport, {.target = "target.bin",
                                      .remote = "target.bin",
                                      .destination = out / "target.bin",
                                      .description = description,
                                      .scope = scope,
                                      .progress = progress});
  };

  double straight = 1e300, interrupted = 1e300;
  for (int round = 0; round < rounds; ++round) {
    fs::remove_all(out);
    fs::create_directories(out);
    straight = std::min(straight, seconds([&] { download({}); }));
    fs::remove_all(out);
    fs::create_directories(out);
    interrupted = std::min(interrupted, seconds([&] {
                             try {
                               download([&](std::uint64_t done, std::uint64_t) { return done < size / 2; });
                             } catch (const trelk::Error& error) {
                               if (error.code != "cancelled") throw;
                             }
                             download({});
                           }));
  }
  std::printf("resumable download of %llu MiB from loopback nginx (best of %d)\n", static_cast<unsigned long long>(mib),
              rounds);
  std::printf("  uninterrupted          %8.3f s\n", straight);
  std::printf("  stopped half-way, resumed %5.3f s\n", interrupted);
  std::printf("  ratio                  %8.2f (target <= 1.05)\n", interrupted / straight);
  return 0;
}
