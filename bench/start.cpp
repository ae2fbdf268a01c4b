// Start time of the bootstrap against the work it wraps, measured in the same run, alternating:
//  1. `trelk-bootstrap --data-dir D --cli -- self status` on a store whose active version is the
//     reference launcher vs that launcher's entry point run directly with the same arguments;
//     target: the bootstrap adds under 2 ms;
//  2. `trelk-bootstrap --cli -- --help` vs `/bin/true`; target: under 1.5 ms over it.
// Prints the medians, the bootstrap's overhead and the ratios.
//   bench_start [runs of each, default 300]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "files/atomic.hpp"
#include "fixture_payload.hpp"
#include "launcher/store.hpp"

namespace {

using namespace trelk::bench;
using trelk::json;

using Command = std::vector<std::string>;

struct Runner {
  std::vector<std::string> environment;

  // Runs the command to completion with its output in `output`; returns the wall time in seconds.
  double run(const Command& command, const fs::path& output = "/dev/null") const {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv, envp;
    for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const auto& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    pid_t child = -1;
    int status = 0;
    const double elapsed = seconds([&] {
      if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0 ||
          waitpid(child, &status, 0) != child)
        throw std::runtime_error("cannot run " + command[0]);
    });
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("command failed: " + command[0]);
    return elapsed;
  }
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Medians of the two commands, run in turns so both see the same machine.
std::pair<double, double> alternate(const Runner& runner, const Command& measured, const Command& reference, int runs) {
  for (int i = 0; i < 10; ++i) runner.run(measured), runner.run(reference);  // page cache, dynamic loader
  std::vector<double> a, b;
  for (int i = 0; i < runs; ++i) {
    a.push_back(runner.run(measured));
    b.push_back(runner.run(reference));
  }
  return {median(a), median(b)};
}

void report(const char* title, const char* reference, std::pair<double, double> medians, double target_ms) {
  const auto [measured, base] = medians;
  const double overhead = (measured - base) * 1e3;
  std::printf("%s: median %7.3f ms\n", title, measured * 1e3);
  std::printf("  %-44s median %7.3f ms   ratio %5.2f   overhead %6.3f ms (target < %.1f ms: %s)\n", reference,
              base * 1e3, measured / base, overhead, target_ms, overhead < target_ms ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  try {
    ScratchDir scratch;
    const fs::path root = scratch.path() / "data";
    const fs::path home = scratch.path() / "home";
    fs::create_directories(home);

    // The reference launcher as the active version, installed the way seeding leaves it.
    const std::string image = trelk::read_file(TRELK_TOOLS_DIR "/trelk-launcher", std::uint64_t{1} << 30);
    trelk::LauncherPayload payload;
    payload.build_id = "bench-1";
    payload.files = {{"bin/trelk", image, true},
                     {"bin/trelk-gui", image, true},
                     {"launcher.json", json{{"schema_version", 1},
                                            {"kind", "trelk-reference-launcher"},
                                            {"build_id", payload.build_id},
                                            {"behaviour", "normal"}}
                                           .dump()}};
    payload.helpers = {};
    const json reference = trelk::install_launcher_payload(root, payload);
    {
      trelk::LauncherStore store(root);
      auto record = store.load();
      record["active"] = reference;
      store.save(record);
    }
    const fs::path launcher =
        root / "launcher/versions" / reference["manifest_sha256"].get<std::string>() / "bin/trelk";

    const Runner runner{{"HOME=" + home.string(), "TRELK_NO_DIALOGS=1", "PATH=/usr/bin:/bin"}};
    const std::string bootstrap = TRELK_BIN_DIR "/trelk-bootstrap";
    const Command through_bootstrap{bootstrap, "--data-dir", root.string(), "--cli", "--", "self", "status"};
    const Command direct{launcher.string(), "--data-dir", root.string(), "self", "status"};

    // Both must reach the same launcher, or the comparison means nothing.
    for (const auto* command : {&through_bootstrap, &direct}) {
      runner.run(*command, scratch.path() / "status.json");
      const auto status = json::parse(trelk::read_file(scratch.path() / "status.json", 1 << 20));
      if (status.at("running").at("build_id") != "bench-1") throw std::runtime_error("the launcher did not answer");
    }

    std::printf("%d runs of each, alternating\n", runs);
    report("bootstrap --cli -- self status", "launcher entry point started directly",
           alternate(runner, through_bootstrap, direct, runs), 2.0);
    report("bootstrap --cli -- --help", "/bin/true",
           alternate(runner, {bootstrap, "--cli", "--", "--help"}, {"/bin/true"}, runs), 1.5);
  } catch (const trelk::Error& error) {
    std::fprintf(stderr, "bench_start: %s (%s)\n", error.what(), error.code.c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_start: %s\n", error.what());
    return 1;
  }
  return 0;
}
