// digest_file (SHA-256) of a large file against the system's sha256sum on the
// same file, both reading it from the page cache.
//   bench_digest [size in MiB, default 1024] [rounds, default 3]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/digest.hpp"
#include "core/error.hpp"

namespace {

using namespace trelk::bench;

void write_pattern(const fs::path& file, std::size_t mib) {
  std::vector<char> block(1 << 20);
  std::uint64_t state = 0x9e3779b97f4a7c15ULL;
  std::ofstream out(file, std::ios::binary);
  for (std::size_t i = 0; i < mib; ++i) {
    for (std::size_t j = 0; j + 8 <= block.size(); j += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::memcpy(block.data() + j, &state, 8);
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  out.close();
  if (!out) throw std::runtime_error("cannot write the benchmark file");
}

// Runs sha256sum and returns the digest it printed.
std::string sha256sum(const fs::path& file) {
  std::string command = "sha256sum '" + file.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot start sha256sum");
  char buffer[256] = {};
  std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, pipe);
  int status = ::pclose(pipe);
  if (status != 0 || got < 64) throw std::runtime_error("sha256sum failed");
  return std::string(buffer, 64);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    trelk::initialize_client_runtime();
    std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (mib == 0 || rounds <= 0) {
      std::fprintf(stderr, "usage: bench_digest [MiB > 0] [rounds > 0]\n");
      return 2;
    }
    ScratchDir scratch;
    const fs::path file = scratch.path() / "data";
    write_pattern(file, mib);

    // Warm the page cache and check that both agree.
    std::string reference_value = sha256sum(file);
    std::string our_value = trelk::digest_file(file, "sha256");
    if (reference_value != our_value) {
      std::fprintf(stderr, "bench_digest: digests differ: %s vs %s\n", our_value.c_str(), reference_value.c_str());
      return 1;
    }
    double reference = best_seconds(rounds, [&] { sha256sum(file); });
    double ours = best_seconds(rounds, [&] { trelk::digest_file(file, "sha256"); });
    double ratio = ours / reference;
    double mb = static_cast<double>(mib) * 1048576.0 / 1e6;

    std::printf("file: %zu MiB, best of %d rounds, sha256 %s\n", mib, rounds, our_value.c_str());
    std::printf("reference  sha256sum:            %8.1f ms (%7.1f MB/s)\n", reference * 1e3, mb / reference);
    std::printf("measured   digest_file(sha256):  %8.1f ms (%7.1f MB/s)\n", ours * 1e3, mb / ours);
    std::printf("ratio %.3f (target <= 1.00): %s\n", ratio, ratio <= 1.0 ? "met" : "NOT met");
    return 0;
  } catch (const trelk::Error& error) {
    std::fprintf(stderr, "bench_digest: %s (%s)\n", error.what(), error.code.c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_digest: %s\n", error.what());
    return 1;
  }
}
