// A cold refresh plus one target lookup of the trusted client against the loopback nginx, for a flat
// repository of many targets and one of many hash-bin delegations. The floor is what any client must
// do: the curl program fetching the same metadata files, plus parse_json of each. Each program's time and
// peak resident memory are its own; the peak is printed beside the size of the largest document.
//   bench_tuf [targets] [bins] [rounds]    (defaults: 50000 targets, 1000 bins, 3 rounds)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/digest.hpp"
#include "core/json.hpp"
#include "files/atomic.hpp"
#include "repository.hpp"
#include "support/https_servers.hpp"
#include "transport/https_transport.hpp"
#include "tuf/client.hpp"

namespace {

using namespace trelk::bench;

struct Case {
  std::string name;
  fs::path repository;
  std::string lookup;
  std::vector<std::string> files;  // metadata files a cold client fetches
};

// Programs run through /usr/bin/time, which reports the peak of the program alone: a forked child's
// maximum resident size would start from this process's pages.
Run run_program(const std::vector<std::string>& arguments, const fs::path& peak_file) {
  Run run = in_child([&] {
    std::vector<std::string> timed{"/usr/bin/time", "-f", "%M", "-o", peak_file.string()};
    timed.insert(timed.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (const auto& argument : timed) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    throw std::runtime_error("cannot run " + arguments[0]);
  });
  run.peak_kib = std::stol(trelk::read_file(peak_file, 64));
  return run;
}

void measure(const Case& c, const trelk::test::TestPki& pki, int rounds) {
  trelk::test::NginxServer nginx(pki, c.repository / "published");
  const std::string metadata_url = nginx.url() + "metadata/";
  const std::string root = trelk::read_file(c.repository / "published/metadata/root.json", 1 << 20);
  const std::string tool = TRELK_TOOLS_DIR "/trelk-tuf";
  Run client, floor;
  for (int round = 0; round < rounds; ++round) {
    const fs::path state = c.repository / ("state-" + std::to_string(round));
    trelk::TufClient::initialize(state, root);
    // A cold refresh, the lookup and the (tiny) target itself.
    const Run ours = run_program(
        {tool, "--metadata-url", metadata_url, "--metadata-dir", state.string(), "--ca-bundle", pki.ca.string(),
         "--target-name", c.lookup, "--target-dir", (c.repository / ("out-" + std::to_string(round))).string(),
         "--target-base-url", nginx.url() + "targets/", "download"},
        c.repository / "peak");
    const fs::path fetched = c.repository / ("fetched-" + std::to_string(round));
    fs::create_directories(fetched);
    std::vector<std::string> curl{"curl", "-sS", "--fail", "--cacert", pki.ca.string()};
    for (const auto& file : c.files) curl.insert(curl.end(), {"-o", (fetched / file).string(), metadata_url + file});
    curl.insert(curl.end(), {"-o", (fetched / "target").string(), nginx.url() + "targets/" + c.lookup});
    Run theirs = run_program(curl, c.repository / "peak");
    theirs.seconds += seconds([&] {
      for (const auto& file : c.files) trelk::parse_json(trelk::read_file(fetched / file, 1 << 24), 1 << 24);
    });
    client.seconds = std::min(client.seconds, ours.seconds);
    floor.seconds = std::min(floor.seconds, theirs.seconds);
    client.peak_kib = std::max(client.peak_kib, ours.peak_kib);
    floor.peak_kib = std::max(floor.peak_kib, theirs.peak_kib);
  }
  std::uintmax_t largest = 0;
  for (const auto& file : c.files)
    largest = std::max(largest, fs::file_size(c.repository / "published/metadata" / file));
  std::printf(
      "%s: trelk-tuf cold refresh + lookup + target %.3f s; floor (curl + parse_json) %.3f s; ratio %.2f"
      " (target <= 1.2)\n",
      c.name.c_str(), client.seconds, floor.seconds, client.seconds / floor.seconds);
  std::printf(
      "  peak RSS %.1f MiB (curl %.1f MiB); largest metadata document %.1f MiB; peak %.1fx the document"
      " (target <= 3)\n",
      client.peak_kib / 1024.0, floor.peak_kib / 1024.0, static_cast<double>(largest) / (1 << 20),
      client.peak_kib * 1024.0 / static_cast<double>(largest));
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t targets = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50000;
  const std::size_t bins = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  ScratchDir scratch;
  trelk::test::TestPki pki(scratch.path() / "pki");
  const fs::path payload = scratch.path() / "payload.bin";
  trelk::atomic_write(payload, "payload");

  // The repositories are published by a process of its own: what it holds in memory must not count in the
  // peaks of the measured programs, which inherit this process's pages until they replace their image.
  const std::string lookup = "games/g" + std::to_string(std::min<std::size_t>(targets, 10 * bins) / 2) + ".bin";
  const fs::path bin_file = scratch.path() / "bin-role";
  in_child([&] {
    // A flat repository: every target in the top-level targets role.
    auto flat = trelk::Repository::create(scratch.path() / "flat", {});
    std::vector<std::pair<std::string, fs::path>> entries;
    for (std::size_t i = 0; i < targets; ++i) entries.emplace_back("games/g" + std::to_string(i) + ".bin", payload);
    flat.add_targets(entries);
    flat.publish();
    // Hash bins: one role per bin, every target in the bin its path's digest falls into.
    auto binned = trelk::Repository::create(scratch.path() / "binned", {});
    binned.delegate_bins("bin", "targets", bins, {});
    entries.resize(std::min<std::size_t>(targets, 10 * bins));
    binned.add_targets(entries, "auto");
    binned.publish();
    const trelk::json top = binned.document("targets");
    const std::string digest = trelk::digest(lookup, "sha256");
    for (const auto& role : top["signed"]["delegations"]["roles"])
      for (const auto& prefix : role["path_hash_prefixes"])
        if (digest.starts_with(prefix.get<std::string>()))
          trelk::atomic_write(bin_file, role["name"].get<std::string>());
  });
  const std::string bin_role = trelk::read_file(bin_file, 4096);

  std::printf("trusted refresh and lookup against loopback nginx (best of %d)\n", rounds);
  measure({std::to_string(targets) + " targets",
           scratch.path() / "flat",
           lookup,
           {"timestamp.json", "snapshot.json", "targets.json"}},
          pki, rounds);
  measure({std::to_string(bins) + " hash bins",
           scratch.path() / "binned",
           lookup,
           {"timestamp.json", "snapshot.json", "targets.json", bin_role + ".json"}},
          pki, rounds);
  return 0;
}
