// Writers killed with SIGKILL at random moments must leave either an old or a new complete
// document, plus nothing but transaction files.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "files/atomic.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

constexpr int kills = 100;

// Version n of the document: its size varies so that a torn write cannot look complete.
std::string version(std::uint64_t n) {
  json doc = {{"n", n}, {"pad", std::string(100 + (n * 7919) % 20000, static_cast<char>('a' + n % 26))}};
  return canonical_json(doc);
}

bool transaction_file(const std::string& name, const std::string& target) {
  return name.size() > target.size() + 5 && name.starts_with(target + ".") && name.ends_with(".tmp");
}

// Forks a child that runs body forever, lets it run for a random few milliseconds, kills it.
template <typename Body>
void run_and_kill(std::mt19937& random, Body body) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      body();
    } catch (...) {
      ::_exit(2);
    }
    ::_exit(0);
  }
  std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(500, 15000)(random)));
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  // The child must have died by our signal, not stopped on its own through a write failure.
  ASSERT_TRUE(WIFSIGNALED(status)) << "writer exited with status " << WEXITSTATUS(status);
}

TEST(CrashSafety, AtomicWriteLeavesOneCompleteVersion) {
  test::TempDir dir;
  auto state = dir / "state";
  auto target = state / "doc.json";
  atomic_write(target, version(0));
  std::mt19937 random(std::random_device{}());
  std::uint64_t start = 1;
  for (int round = 0; round < kills; ++round) {
    run_and_kill(random, [&] {
      for (std::uint64_t n = start;; ++n) atomic_write(target, version(n));
    });
    auto text = read_file(target, 1 << 20);
    auto doc = parse_json(text, 1 << 20);
    auto n = doc.at("n").get<std::uint64_t>();
    ASSERT_EQ(text, version(n)) << "round " << round;
    for (const auto& entry : fs::directory_iterator(state)) {
      auto name = entry.path().filename().string();
      if (name == "doc.json") continue;
      ASSERT_TRUE(transaction_file(name, "doc.json")) << "unexpected litter " << name;
      fs::remove(entry.path());
    }
    start = n + 1000000;  // later rounds write versions never seen before
  }
}

TEST(CrashSafety, AtomicCreateLeavesAbsentOrCompleteTargets) {
  test::TempDir dir;
  auto exports = dir / "exports";
  fs::create_directories(exports);
  std::mt19937 random(std::random_device{}());
  std::uint64_t base = 0;
  for (int round = 0; round < kills; ++round) {
    run_and_kill(random, [&] {
      for (std::uint64_t n = base;; ++n) atomic_create(exports / ("entry-" + std::to_string(n)), version(n));
    });
    for (const auto& entry : fs::directory_iterator(exports)) {
      auto name = entry.path().filename().string();
      if (name.ends_with(".tmp")) {
        fs::remove(entry.path());
        continue;
      }
      ASSERT_TRUE(name.starts_with("entry-")) << "unexpected litter " << name;
      auto n = std::stoull(name.substr(6));
      ASSERT_EQ(read_file(entry.path(), 1 << 20), version(n)) << name;
      fs::remove(entry.path());
    }
    base += 1000000;
  }
}

}  // namespace
}  // namespace trelk
