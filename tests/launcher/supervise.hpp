#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/locks.hpp"
#include "launcher/store.hpp"
#include "process/child.hpp"

namespace trelk::test {

// How a supervised first start ended: confirmed, or the Error that made the supervisor reject it.
struct StartOutcome {
  bool confirmed = false;
  std::string error;
  json attempt;
  std::unique_ptr<ChildProcess> child;
};

// The bootstrap's side of a first start, as the start driver runs it: the candidate runs under its attempt
// and version leases, and is confirmed when its health arrives while it holds the attempt lease, otherwise
// rejected. with_channel hands a CLI launcher the interrupt channel, as the driver always does; a GUI launcher never
// gets one.
inline StartOutcome supervise_candidate(const std::filesystem::path& root, const std::string& interface,
                                        bool with_channel, std::chrono::milliseconds limit) {
  using clock = std::chrono::steady_clock;
  LauncherStore store(root);
  auto owner = store.owner();
  store.recover_attempt();
  StartOutcome outcome;
  outcome.attempt = store.begin_candidate();
  if (outcome.attempt.is_null()) return outcome;
  const json reference = outcome.attempt["reference"];
  try {
    auto manifest = store.manifest(reference);
    auto payload = store.payload(reference);
    auto guard = store.version_guard(reference, LockMode::shared);
    auto lease = std::make_unique<FileLock>(store.startup_lease_path(outcome.attempt), false, LockMode::shared);
    auto entry = interface == "cli" ? manifest.snapshot.executable : manifest.gui_executable;
    bool cli = interface == "cli";
    outcome.child = std::make_unique<ChildProcess>(
        safe_join(payload, entry, true), std::vector<std::string>{"--data-dir", path_utf8(root)}, payload,
        store.health_environment(outcome.attempt, interface), cli ? ChildStreams::Console : ChildStreams::Diagnostics,
        ChildEnvironment::Inherit, ChildProcess::StartedCallback{}, cli ? ChildGroup::Isolated : ChildGroup::Shared,
        cli && with_channel ? ChildControl::Interrupt : ChildControl::None);
    auto deadline = clock::now() + limit;
    auto health_file = store.health_path(outcome.attempt);
    while (true) {
      std::error_code missing;
      if (std::filesystem::symlink_status(health_file, missing).type() != std::filesystem::file_type::not_found) {
        auto health = parse_json(read_file(health_file, 4096), 4096);
        lease.reset();
        if (!outcome.child->poll()) {
          // A launcher that still runs must hold the attempt lease itself from now on.
          try {
            FileLock probe(store.startup_lease_path(outcome.attempt), false, LockMode::exclusive);
            auto end = std::min(clock::now() + std::chrono::milliseconds(100), deadline);
            while (!outcome.child->poll() && clock::now() < end)
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
            require(outcome.child->poll().has_value(), "launcher_lease",
                    "The running launcher did not retain native startup ownership");
          } catch (const Error& error) {
            if (error.code != "busy") throw;
          }
        }
        store.confirm_candidate(outcome.attempt, health, static_cast<std::uint64_t>(outcome.child->process_id()),
                                interface);
        outcome.confirmed = true;
        return outcome;
      }
      require(!outcome.child->poll(), "launcher_startup_failed", "Launcher candidate exited before initialization");
      require(clock::now() < deadline, "launcher_startup_timeout", "Launcher candidate did not confirm initialization");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  } catch (const Error& error) {
    outcome.error = error.code;
    bool ended = !outcome.child || outcome.child->terminate(std::chrono::milliseconds(250));
    store.reject_candidate(outcome.attempt, ended ? "startup_failed" : "startup_unconfirmed");
    return outcome;
  }
}

}  // namespace trelk::test
