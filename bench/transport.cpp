// HttpsTransport::download of one large target from the loopback nginx into a preallocated file (on disk
// when it returns), against the curl program fetching the same URL to a file, and against curl followed by
// `sync F` (the same durability); alternating, best of several runs. Prints the throughputs, both ratios
// and the peak resident memory of the downloading process.
//   bench_transport [MiB] [rounds]    (defaults: 1024 MiB, 3 rounds)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "support/https_servers.hpp"
#include "transport/https_transport.hpp"

int main(int argc, char** argv) {
  using namespace trelk::bench;
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::uint64_t size = mib << 20;
  ScratchDir scratch;
  const fs::path files = scratch.path() / "files";
  fs::create_directories(files);
  write_pattern_file(files / "target.bin", size);
  trelk::test::TestPki pki(scratch.path() / "pki");
  trelk::test::NginxServer nginx(pki, files);
  const std::string url = nginx.url() + "target.bin";

  double best_transport = 1e300, best_curl = 1e300, best_synced = 1e300;
  long peak_kib = 0;
  for (int round = 0; round < rounds; ++round) {
    const fs::path ours = scratch.path() / "ours.bin", theirs = scratch.path() / "curl.bin";
    fs::remove(ours);
    fs::remove(theirs);
    const Run transport = in_child(
        [&] { trelk::HttpsTransport(nginx.url(), pki.ca, 0, nullptr).download("target.bin", ours, size, {}); });
    const Run curl = in_child([&] {
      ::execlp("curl", "curl", "-sS", "--fail", "--cacert", pki.ca.c_str(), "-o", theirs.c_str(), url.c_str(),
               static_cast<char*>(nullptr));
      throw std::runtime_error("cannot run curl");
    });
    const Run sync = in_child([&] {
      ::execlp("sync", "sync", theirs.c_str(), static_cast<char*>(nullptr));
      throw std::runtime_error("cannot run sync");
    });
    if (fs::file_size(ours) != size || fs::file_size(theirs) != size) throw std::runtime_error("short download");
    best_transport = std::min(best_transport, transport.seconds);
    best_curl = std::min(best_curl, curl.seconds);
    best_synced = std::min(best_synced, curl.seconds + sync.seconds);
    peak_kib = std::max(peak_kib, transport.peak_kib);
  }
  const double ours_mib_s = static_cast<double>(mib) / best_transport;
  const double curl_mib_s = static_cast<double>(mib) / best_curl;
  const double synced_mib_s = static_cast<double>(mib) / best_synced;
  std::printf("download %llu MiB over HTTPS from loopback nginx (best of %d)\n", static_cast<unsigned long long>(mib),
              rounds);
  std::printf("  HttpsTransport::download  %8.1f MiB/s\n", ours_mib_s);
  std::printf("  curl -o                   %8.1f MiB/s\n", curl_mib_s);
  std::printf("  curl -o + sync F          %8.1f MiB/s\n", synced_mib_s);
  std::printf("  ratio vs curl -o          %8.2f\n", ours_mib_s / curl_mib_s);
  std::printf("  ratio vs curl -o + sync F %8.2f (target >= 0.95)\n", ours_mib_s / synced_mib_s);
  std::printf("  peak RSS of the transport %8.1f MiB (target < 32)\n", static_cast<double>(peak_kib) / 1024.0);
  return 0;
}
