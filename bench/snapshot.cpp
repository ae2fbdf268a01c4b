// Snapshot extraction and verification against the system tools, measured in the same run:
//  1. extract_snapshot (decode, write, hash from disk, verify the tree) vs
//     `zstd -dc archive | tar -x` followed by `sha256sum` of every file; target ratio <= 1.0;
//  2. verify_snapshot_tree vs `sha256sum` over the same files, warm cache; target ratio <= 1.05;
//  3. peak resident memory of a child process extracting a larger snapshot; target < 96 MiB.
//   bench_snapshot [tree MiB, default 512] [files, default 2000] [memory-test MiB, default 2048]
// (CI runs it small; the defaults are the full size.)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "pack.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/manifest.hpp"

extern char** environ;

namespace {

using namespace trelk::bench;

// Compressible like real program files: random runs mixed with repeated text.
void write_tree(const fs::path& root, std::uint64_t total_bytes, std::size_t files) {
  std::uint64_t state = 0x9e3779b97f4a7c15ULL;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  std::vector<char> block(1 << 16);
  const std::uint64_t per_file = total_bytes / files;
  for (std::size_t i = 0; i < files; ++i) {
    const fs::path file = root / ("dir" + std::to_string(i % 37)) / ("file-" + std::to_string(i) + ".bin");
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    // Sizes vary around the mean so the tree mixes small and large files.
    std::uint64_t remaining = i + 1 == files ? total_bytes - per_file * (files - 1) : per_file / 2 + next() % per_file;
    if (i + 1 < files) remaining = std::min(remaining, per_file * 3 / 2);
    while (remaining > 0) {
      for (std::size_t j = 0; j + 8 <= block.size(); j += 8) {
        const std::uint64_t value = (j / 512) % 2 == 0 ? next() : 0x2020202065737361ULL;
        std::memcpy(block.data() + j, &value, 8);
      }
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, block.size()));
      out.write(block.data(), static_cast<std::streamsize>(piece));
      remaining -= piece;
    }
    if (!out) throw std::runtime_error("cannot write the benchmark tree");
  }
  std::ofstream(root / "run", std::ios::binary) << "#!/bin/sh\n";
  fs::permissions(root / "run", fs::perms(0755), fs::perm_options::replace);
}

// Runs this program as a child that only extracts, and returns its peak resident set in KiB.
long child_peak_kib(const fs::path& manifest, const fs::path& archive, const fs::path& staging) {
  std::vector<std::string> args = {"/proc/self/exe", "--extract-child", manifest.string(), archive.string(),
                                   staging.string()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start the extraction child");
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("the extraction child failed");
  return usage.ru_maxrss;
}

int extract_child(char** argv) {
  const auto manifest = trelk::SnapshotManifest::parse(trelk::parse_json(trelk::read_file(argv[2], 1 << 26), 1 << 26));
  trelk::extract_snapshot(manifest, argv[3], argv[4], {}, nullptr);
  return 0;
}

struct Packed {
  trelk::SnapshotManifest manifest;
  fs::path archive;
};

Packed pack(const fs::path& scratch, const std::string& name, std::uint64_t bytes, std::size_t files) {
  const fs::path source = scratch / (name + "-source");
  write_tree(source, bytes, files);
  trelk::PackOptions options;
  options.build_id = name;
  options.executable = "run";
  const fs::path archive = scratch / (name + ".tar.zst");
  const trelk::json document = trelk::pack_snapshot(source, archive, options);
  trelk::atomic_create(scratch / (name + ".json"), document.dump());
  fs::remove_all(source);
  return {trelk::SnapshotManifest::parse(document), archive};
}

void verdict(const char* what, double ratio, double target) {
  std::printf("%-44s ratio %.3f (target <= %.2f: %s)\n", what, ratio, target, ratio <= target ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 5 && std::string(argv[1]) == "--extract-child") return extract_child(argv);
    const std::uint64_t mib = argc > 1 ? std::stoull(argv[1]) : 512;
    const std::size_t files = argc > 2 ? std::stoull(argv[2]) : 2000;
    const std::uint64_t memory_mib = argc > 3 ? std::stoull(argv[3]) : 2048;
    ScratchDir scratch;
    const fs::path dir = scratch.path();

    const Packed tree = pack(dir, "tree", mib << 20, files);
    std::printf("tree: %llu MiB in %zu files, archive %llu bytes\n", static_cast<unsigned long long>(mib), files + 1,
                static_cast<unsigned long long>(tree.manifest.archive_length));

    // Best of two rounds each, alternating, so neither side alone gets the warm cache.
    const std::string hash_all = "find . -type f -print0 | xargs -0 sha256sum > /dev/null";
    double reference = 1e9;
    double ours = 1e9;
    for (int round = 0; round < 2; ++round) {
      const fs::path tools_out = dir / ("tools-" + std::to_string(round));
      const fs::path staging = dir / ("ours-" + std::to_string(round));
      fs::create_directory(tools_out);
      reference = std::min(reference, seconds([&] {
                             shell("zstd -q -dc " + quoted(tree.archive) + " | tar -x -C " + quoted(tools_out) +
                                   " && cd " + quoted(tools_out) + " && " + hash_all);
                           }));
      ours =
          std::min(ours, seconds([&] { trelk::extract_snapshot(tree.manifest, tree.archive, staging, {}, nullptr); }));
      fs::remove_all(tools_out);
      if (round == 0) fs::remove_all(staging);
    }
    std::printf("extract: ours %.3f s, zstd | tar -x + sha256sum %.3f s\n", ours, reference);
    verdict("extract_snapshot / (zstd | tar + sha256sum)", ours / reference, 1.0);

    const fs::path staging = dir / "ours-1";
    double verify = 1e9;
    double sums = 1e9;
    for (int round = 0; round < 3; ++round) {
      sums = std::min(sums, seconds([&] { shell("cd " + quoted(staging) + " && " + hash_all); }));
      verify = std::min(verify, seconds([&] { trelk::verify_snapshot_tree(tree.manifest, staging, {}); }));
    }
    std::printf("verify: ours %.3f s, sha256sum %.3f s\n", verify, sums);
    verdict("verify_snapshot_tree / sha256sum", verify / sums, 1.05);
    fs::remove_all(staging);
    fs::remove(tree.archive);

    const Packed big = pack(dir, "memory", memory_mib << 20, files);
    const long peak = child_peak_kib(dir / "memory.json", big.archive, dir / "memory-staging");
    std::printf("peak memory extracting %llu MiB: %.1f MiB (target < 96 MiB: %s)\n",
                static_cast<unsigned long long>(memory_mib), peak / 1024.0, peak < 96 * 1024 ? "met" : "MISSED");
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_snapshot: %s\n", error.what());
    return 1;
  }
}
