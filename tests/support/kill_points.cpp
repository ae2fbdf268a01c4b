#include "support/kill_points.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "support/temp_dir.hpp"

namespace trelk::test {

namespace fs = std::filesystem;

namespace {

// Every call that changes a file or a directory entry, or makes data durable.
const char* const mutating_calls =
    "rename,renameat,renameat2,link,linkat,unlink,unlinkat,mkdir,mkdirat,openat,write,pwrite64,fsync,fdatasync,"
    "fchmod,ftruncate,fallocate";

// The leak checker of sanitizer builds stops a program that runs under a tracer; leaks are not what
// these tests look for.
Outcome run_traced(const fs::path& strace, std::vector<std::string> options, const Command& command) {
  options.push_back(command.program.string());
  options.insert(options.end(), command.arguments.begin(), command.arguments.end());
  auto environment = command.environment;
  environment["ASAN_OPTIONS"] = "detect_leaks=0";
  return run_program(strace, options, environment);
}

}  // namespace

std::set<std::string> entry_names(const fs::path& directory) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(directory)) found.insert(entry.path().filename().string());
  return found;
}

std::optional<fs::path> usable_strace(std::string& skip_reason) {
  const fs::path strace = "/usr/bin/strace";
  // The check needs tracing of children and signal injection, as the crash runs do; a missing strace fails it too.
  const Outcome probe = run_program(
      strace, {"-f", "-o", "/dev/null", "-e", "trace=write", "-e", "inject=write:signal=SIGKILL", "/bin/echo"}, {});
  if (probe.status == 128 + 9) return strace;
  skip_reason = "strace is missing or cannot trace and kill a child here: " + probe.err;
  return std::nullopt;
}

std::vector<KillPoint> kill_points(const fs::path& strace, const Command& command, Outcome& outcome) {
  // "PID call(arguments" starts a call; "<... call resumed>" lines continue one and are not counted.
  static const std::regex started(R"(^(\d+) +([a-z0-9_]+)\((.*))");
  std::map<std::pair<std::string, std::string>, std::size_t> made;
  std::set<std::pair<std::string, std::size_t>> seen;
  std::vector<KillPoint> points;
  for (const std::string& line : traced_calls(strace, command, mutating_calls, outcome)) {
    std::smatch match;
    if (!std::regex_search(line, match, started)) continue;
    const std::string call = match[2];
    const std::size_t n = ++made[{match[1], call}];
    if (call == "openat" && match[3].str().find("O_CREAT") == std::string::npos) continue;
    if (seen.insert({call, n}).second) points.push_back({call, n});
  }
  return points;
}

std::vector<KillPoint> sample_kill_points(const std::vector<KillPoint>& points, std::size_t count) {
  const char* all = std::getenv("TRELK_CRASH_ALL");
  std::vector<KillPoint> sample = points;
  if ((all == nullptr || std::string(all) != "1") && points.size() > count) {
    // Bulk data writes would take most of an even spread, yet the few renames, links and syncs are where
    // consistency is decided: each call gets an equal share (what a rare call leaves goes to the others),
    // taken evenly from its first to its last occurrence.
    std::map<std::string, std::vector<std::size_t>> by_call;
    for (std::size_t i = 0; i < points.size(); ++i) by_call[points[i].call].push_back(i);
    std::vector<const std::vector<std::size_t>*> groups;
    for (const auto& [call, indices] : by_call) groups.push_back(&indices);
    std::stable_sort(groups.begin(), groups.end(), [](auto* a, auto* b) { return a->size() < b->size(); });
    std::vector<std::size_t> chosen;
    std::size_t budget = std::max(count, groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
      const auto& indices = *groups[g];
      const std::size_t take = std::min(indices.size(), std::max<std::size_t>(1, budget / (groups.size() - g)));
      for (std::size_t i = 0; i < take; ++i)
        chosen.push_back(indices[take == 1 ? 0 : i * (indices.size() - 1) / (take - 1)]);
      budget -= std::min(budget, take);
    }
    std::sort(chosen.begin(), chosen.end());
    sample.clear();
    for (const std::size_t i : chosen) sample.push_back(points[i]);
  }
  std::cout << "kill points: running " << sample.size() << " of " << points.size() << std::endl;
  return sample;
}

Outcome run_killed(const fs::path& strace, const Command& command, const KillPoint& point) {
  return run_traced(strace,
                    {"-f", "-o", "/dev/null", "-e", "trace=" + point.call, "-e",
                     "inject=" + point.call + ":signal=SIGKILL:when=" + std::to_string(point.n)},
                    command);
}

std::vector<std::string> traced_calls(const fs::path& strace, const Command& command, const std::string& calls,
                                      Outcome& outcome) {
  TempDir dir;
  const fs::path log = dir / "strace.log";
  outcome = run_traced(strace, {"-f", "-y", "-o", log.string(), "-e", "trace=" + calls}, command);
  std::vector<std::string> lines;
  std::stringstream text(read_file(log));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

void run_crash_test(const CrashTest& test) {
  std::string reason;
  const auto strace = usable_strace(reason);
  if (!strace) GTEST_SKIP() << reason;
  Outcome outcome;
  auto points = kill_points(*strace, test.prepare(), outcome);
  std::erase_if(points, [&](const KillPoint& point) { return !test.only(point); });
  test.reference(outcome);
  if (::testing::Test::HasFatalFailure()) return;
  int killed = 0;
  for (const auto& point : sample_kill_points(points, test.sample)) {
    SCOPED_TRACE(point.text());
    killed += run_killed(*strace, test.prepare(), point).status == 128 + 9;
    test.check();
  }
  EXPECT_GT(killed, 0) << "no run was killed: the fault injection had no effect";
}

}  // namespace trelk::test
