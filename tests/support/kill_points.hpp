#pragma once
// Crash tests: real programs are killed right before one of their mutating system calls, with strace's fault
// injection, so that what they leave on disk can be checked as a later start would find it.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/run_program.hpp"

namespace trelk::test {

// The n-th call of this name made by any one process or thread (strace counts per tracee).
struct KillPoint {
  std::string call;
  std::size_t n = 0;
  std::string text() const { return call + "#" + std::to_string(n); }
};

// A program with its arguments and its complete environment.
struct Command {
  std::filesystem::path program;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environment;
};
inline Outcome run(const Command& c) { return run_program(c.program, c.arguments, c.environment); }

// The names in a directory: what a run left there.
std::set<std::string> entry_names(const std::filesystem::path& directory);

// strace when it is installed and may trace children here; otherwise why not, in skip_reason.
std::optional<std::filesystem::path> usable_strace(std::string& skip_reason);

// Runs the command once under strace and lists every kill point it passes, in the order they were first reached.
// Opening counts only where it creates; the reference run's outcome is left in outcome.
std::vector<KillPoint> kill_points(const std::filesystem::path& strace, const Command& command, Outcome& outcome);

// About `count` points: each call's share spread over its first to last occurrence; all with TRELK_CRASH_ALL=1.
std::vector<KillPoint> sample_kill_points(const std::vector<KillPoint>& points, std::size_t count);

// Runs the command with every tracee that reaches the point killed there. Returns once every process of the
// tree has ended.
Outcome run_killed(const std::filesystem::path& strace, const Command& command, const KillPoint& point);

// Runs the command once under strace and returns its calls of the given names, one per line in the order they
// were made, descriptors shown with their paths (strace -y).
std::vector<std::string> traced_calls(const std::filesystem::path& strace, const Command& command,
                                      const std::string& calls, Outcome& outcome);

// One crash test. `prepare` makes a fresh state and returns the command to run in it; the command runs once whole
// (its outcome judged by `reference`), then once per sampled point of those `only` keeps, killed there, each time
// from a fresh state, and `check` judges what each killed run left. Skips the calling test without a usable strace.
struct CrashTest {
  std::function<Command()> prepare;
  std::function<void(const Outcome&)> reference;
  std::function<void()> check;
  std::size_t sample = 12;
  std::function<bool(const KillPoint&)> only = [](const KillPoint&) { return true; };
};
void run_crash_test(const CrashTest& test);

}  // namespace trelk::test
