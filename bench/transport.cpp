// HttpsTransport::download of one large target from the loopback nginx into a preallocated file,
// against the curl program fetching the same URL to a file; alternating, best of several runs.
// Prints both throughputs, their ratio and the peak resident memory of the downloading process.
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

namespace {

using namespace trelk::bench;

struct Run {
  double seconds = 0;
  long peak_kib = 0;
};

// The work runs in a child of its own, so its peak memory is its own.
template <typename Work>
Run in_child(Work&& work) {
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    try {
      work();
      ::_exit(0);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "bench_transport: %s\n", error.what());
      ::_exit(1);
    }
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("a download failed");
  return {std::chrono::duration<double>(Clock::now() - start).count(), usage.ru_maxrss};
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::uint64_t size = mib << 20;
  ScratchDir scratch;
  const fs::path files = scratch.path() / "files";
  fs::create_directories(files);
  {
    std::ofstream out(files / "target.bin", std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 24);
    for (std::uint64_t written = 0; written < size; written += block.size()) out.write(block.data(), block.size());
  }
  trelk::test::TestPki pki(scratch.path() / "pki");
  trelk::test::NginxServer nginx(pki, files);
  const std::string url = nginx.url() + "target.bin";

  double best_transport = 1e300, best_curl = 1e300;
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
    if (fs::file_size(ours) != size || fs::file_size(theirs) != size) throw std::runtime_error("short download");
    best_transport = std::min(best_transport, transport.seconds);
    best_curl = std::min(best_curl, curl.seconds);
    peak_kib = std::max(peak_kib, transport.peak_kib);
  }
  const double ours_mib_s = static_cast<double>(mib) / best_transport;
  const double curl_mib_s = static_cast<double>(mib) / best_curl;
  std::printf("download %llu MiB over HTTPS from loopback nginx (best of %d)\n", static_cast<unsigned long long>(mib),
              rounds);
  std::printf("  HttpsTransport::download  %8.1f MiB/s\n", ours_mib_s);
  std::printf("  curl -o                   %8.1f MiB/s\n", curl_mib_s);
  std::printf("  throughput ratio          %8.2f (target >= 0.95)\n", ours_mib_s / curl_mib_s);
  std::printf("  peak RSS of the transport %8.1f MiB (target < 32)\n", static_cast<double>(peak_kib) / 1024.0);
  return 0;
}
