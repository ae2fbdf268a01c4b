#include "bootstrap/start_driver.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <iostream>
#include <optional>
#include <thread>

#include "bootstrap/cli_grammar.hpp"
#include "bootstrap/problem_report.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "games/installed.hpp"
#include "launcher/store.hpp"
#include "maintenance/control.hpp"
#include "maintenance/runtime.hpp"
#include "native/brand.hpp"
#include "process/arguments.hpp"
#include "process/child.hpp"
#include "process/interrupt.hpp"
#include "snapshot/extract.hpp"

namespace trelk {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Interrupted = std::function<bool()>;

constexpr std::uint64_t marker_limit = 4096;

std::vector<std::string> launcher_arguments(const fs::path& data_dir, const std::vector<std::string>& arguments) {
  std::vector<std::string> result{"--data-dir", path_utf8(fs::absolute(data_dir).lexically_normal())};
  result.insert(result.end(), arguments.begin(), arguments.end());
  return result;
}

const std::string& entry_for(const LauncherManifest& manifest, std::string_view interface) {
  return interface == "cli" ? manifest.snapshot.executable : manifest.gui_executable;
}

// The version's entry point, which must be present with exactly its recorded size.
fs::path present_entry(const LauncherStore& store, const json& reference, const LauncherManifest& manifest,
                       std::string_view interface) {
  const auto& entry = entry_for(manifest, interface);
  auto executable = safe_join(store.payload(reference), entry, true);
  struct stat info {};
  auto recorded = manifest.snapshot.files.find(entry);
  bool intact = recorded != manifest.snapshot.files.end() && ::stat(executable.c_str(), &info) == 0 &&
                S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) == recorded->second.length;
  require(intact, "launcher_damaged", "Trelk's files are damaged. Reinstall Trelk to repair them.");
  return executable;
}

fs::path start_marker(const fs::path& data_dir) { return data_dir / "launcher" / "start-attempt.json"; }

std::int64_t now_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void mark_start(const fs::path& data_dir, const std::string& digest, std::uint64_t attempts) {
  try {
    json marker = {{"attempts", attempts}, {"manifest_sha256", digest}, {"started_at", now_seconds()}};
    replace_private_file(start_marker(data_dir), marker.dump());
  } catch (const std::exception&) {
    // The marker only counts retries; a start must not fail because of it.
  }
}

// A directly started launcher must never see a health protocol inherited from an outer start.
std::map<std::string, std::string> cleared_startup_environment() {
  return {{"TRELK_LAUNCHER_HEALTH_NONCE", ""},
          {"TRELK_LAUNCHER_MANIFEST", ""},
          {"TRELK_LAUNCHER_BUILD", ""},
          {"TRELK_LAUNCHER_INTERFACE", ""},
          {"TRELK_LAUNCHER_DATA_ROOT", ""}};
}

bool exists_unfollowed(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

void sleep_for(milliseconds period) { std::this_thread::sleep_for(period); }

// Whether the launcher holds its startup lease: our exclusive probe then fails with "busy".
bool lease_retained(const fs::path& lease) {
  try {
    FileLock probe(lease, false, LockMode::exclusive);
    return false;
  } catch (const Error& error) {
    if (error.code == "busy") return true;
    throw;
  }
}

struct Driver {
  fs::path data_dir;
  std::string interface;
  std::vector<std::string> forwarded;
  milliseconds startup_limit{10000};
  std::unique_ptr<ConsoleInterrupt> console;
  Interrupted interrupted = [] { return false; };
  std::vector<std::string> launch;

  // Starts the staged candidate under the health protocol. A value is the exit status of a
  // confirmed launcher; empty means the working version must be started directly.
  std::optional<int> start_candidate(const json& selection) {
    LauncherStore store(data_dir);
    auto owner = store.owner();
    store.recover_attempt();
    const json attempt = store.begin_candidate();
    if (attempt.is_null()) return std::nullopt;
    const auto deadline =
        Clock::now() + (selection.value("active", json()).is_null() ? milliseconds(30000) : startup_limit);
    std::unique_ptr<ChildProcess> child;
    std::unique_ptr<FileLock> guard;
    std::unique_ptr<FileLock> lease;
    try {
      const json& reference = attempt.at("reference");
      auto manifest = store.manifest(reference);
      auto payload = store.payload(reference);
      guard = store.version_guard(reference, LockMode::shared);
      lease = std::make_unique<FileLock>(store.startup_lease_path(attempt), false, LockMode::shared);
      verify_snapshot_tree(manifest.snapshot, payload, {});
      auto executable = safe_join(payload, entry_for(manifest, interface), true);
      bool cli = interface == "cli";
      child = std::make_unique<ChildProcess>(
          executable, launcher_arguments(data_dir, launch), payload, store.health_environment(attempt, interface),
          cli ? ChildStreams::Console : ChildStreams::Diagnostics, ChildEnvironment::Inherit,
          ChildProcess::StartedCallback{}, cli ? ChildGroup::Isolated : ChildGroup::Shared,
          cli ? ChildControl::Interrupt : ChildControl::None);
      supervise_start(store, attempt, *child, lease, deadline);
    } catch (const Error& error) {
      bool ended = !child || child->terminate(milliseconds(250));
      store.reject_candidate(attempt, ended ? "startup_failed" : "startup_unconfirmed");
      require(ended, "launcher_startup_timeout",
              "Launcher candidate exit is unconfirmed; the working launcher remains selected");
      if (store.status().value("active", json()).is_null()) throw;
      if (interface == "cli")
        std::cerr << "trelk: launcher candidate " << safe_text(attempt.at("reference").value("build_id", ""))
                  << " rejected (" << error.code << "): " << safe_text(branded(error.what()))
                  << "; starting the working version\n";
      return std::nullopt;
    }
    // Confirmed: no store lock is held while the launcher runs.
    guard.reset();
    lease.reset();
    owner.reset();
    while (true) {
      if (auto status = child->poll()) return *status;
      if (interrupted()) child->request_interrupt();
      sleep_for(milliseconds(20));
    }
  }

  void supervise_start(const LauncherStore& store, const json& attempt, ChildProcess& child,
                       std::unique_ptr<FileLock>& lease, Clock::time_point deadline) {
    const auto health_file = store.health_path(attempt);
    while (true) {
      if (interrupted()) child.request_interrupt();
      if (exists_unfollowed(health_file)) {
        auto health = parse_json(read_file(health_file, 4096), 4096);
        lease.reset();
        if (!child.poll() && !lease_retained(store.startup_lease_path(attempt))) {
          auto until = std::min(Clock::now() + milliseconds(100), deadline);
          while (!child.poll() && Clock::now() < until) sleep_for(milliseconds(5));
          require(child.poll().has_value(), "launcher_lease",
                  "The running launcher did not retain native startup ownership");
        }
        store.confirm_candidate(attempt, health, static_cast<std::uint64_t>(child.process_id()), interface);
        return;
      }
      require(!child.poll().has_value(), "launcher_startup_failed", "Launcher candidate exited before initialization");
      require(Clock::now() < deadline, "launcher_startup_timeout", "Launcher candidate did not confirm initialization");
      sleep_for(milliseconds(10));
    }
  }

  [[noreturn]] void maintenance(const std::vector<std::string>& arguments, bool json_output) {
    LauncherStore store(data_dir);
    auto owner = store.owner();
    store.recover_attempt();
    json version = store.status().value("active", json());
    // The helper's own bytes are checked against the manifest before its copy runs.
    if (version.is_null()) version = store.fallback_active();
    auto guard = store.version_guard(version, LockMode::shared);
    auto runtime = prepare_console_maintenance(store, version, data_dir, interrupted, json_output);
    runtime.replace(arguments);
    fail("maintenance_failed", "Maintenance process replacement returned unexpectedly");
  }

  int start_directly(const std::optional<json>& selection) {
    LauncherStore store(data_dir, LaunchView{});
    const auto arguments = launcher_arguments(data_dir, launch);

    // A start less than 30 seconds ago may still be in progress: it does not count as failed.
    std::optional<std::string> marked;
    std::uint64_t marked_attempts = 0;
    if (interface == "gui") {
      try {
        auto marker = parse_json(read_file(start_marker(data_dir), marker_limit), marker_limit);
        if (now_seconds() - marker.at("started_at").get<std::int64_t>() > 29) {
          marked = marker.at("manifest_sha256").get<std::string>();
          marked_attempts = marker.value("attempts", std::uint64_t{0});
        }
      } catch (const std::exception&) {
      }
    }

    // Replaces this process with the version's launcher; returns only when the version is unusable. A version
    // found only by the fallback (unproven) has no record vouching for its tree.
    std::optional<std::string> last_failure;
    auto start = [&](const json& version, const LauncherManifest* verified, bool unproven) {
      try {
        std::optional<LauncherManifest> read;
        const LauncherManifest& manifest = verified ? *verified : read.emplace(store.manifest(version));
        auto payload = store.payload(version);
        auto executable = present_entry(store, version, manifest, interface);
        const auto digest = version.at("manifest_sha256").get<std::string>();
        std::uint64_t attempts = 1;
        if (marked && *marked == digest) {
          require(marked_attempts < 2, "launcher_damaged", "This Trelk version failed to start twice");
          verify_snapshot_tree(manifest.snapshot, payload, {});
          attempts = marked_attempts + 1;
        } else if (unproven) {
          verify_snapshot_tree(manifest.snapshot, payload, {});
        }
        if (interface == "gui") mark_start(data_dir, digest, attempts);
        console.reset();
        exec_process(executable, arguments, payload, cleared_startup_environment());
      } catch (const Error& error) {
        std::cerr << "trelk: launcher version unusable (" << error.code << "): " << safe_text(branded(error.what()))
                  << '\n';
        last_failure = error.what();
      } catch (const std::exception& error) {
        std::cerr << "trelk: launcher version unusable: " << safe_text(branded(error.what())) << '\n';
        last_failure = error.what();
      }
    };

    // The recorded versions first, each once; the store is searched only when none of them started.
    std::vector<std::string> tried;
    auto untried = [&](const json& reference) {
      if (!reference.is_object()) return false;
      const auto digest = reference.value("manifest_sha256", "");
      if (std::find(tried.begin(), tried.end(), digest) != tried.end()) return false;
      tried.push_back(digest);
      return true;
    };
    if (selection) {
      for (const char* slot : {"active", "rollback"}) {
        const json reference = selection->value(slot, json());
        if (untried(reference)) start(reference, nullptr, false);
      }
    }
    std::optional<LauncherStore::VerifiedVersion> fallback;
    try {
      fallback = store.fallback_version();
    } catch (const std::exception&) {
    }
    if (fallback && untried(fallback->reference)) start(fallback->reference, &fallback->manifest, true);

    if (interface == "gui" && forwarded.size() == 2 && forwarded[0] == "--launch") {
      std::cerr << "trelk: starting " << forwarded[1]
                << branded(" directly; repair Trelk by running its installer again") << std::endl;
      return start_installed_game(data_dir, forwarded[1], true);
    }
    fail("launcher_damaged", last_failure.value_or("No installed Trelk version could be started"));
  }

  int run() {
    require(interface == "gui" || interface == "cli", "launcher_interface", "Choose the CLI or GUI launcher interface");
    require(startup_limit.count() >= 1 && startup_limit.count() <= 30000, "launcher_health",
            "Launcher startup limit must be bounded to 30 seconds");
    if (interface == "cli") {
      console = std::make_unique<ConsoleInterrupt>(false);
      interrupted = [this] { return console && console->requested(); };
    } else {
      for (const auto& argument : forwarded) {
        if (argument == "--") break;
        require(argument != "--data-dir", "usage",
                "Set the data directory on the native bootstrap, before forwarded arguments");
      }
    }
    launch = forwarded;
    if (interface == "cli") {
      auto cli = parse_cli_entry(forwarded, data_dir);
      require(!cli.data_dir_given, "usage",
              "Set the data directory on the native bootstrap, before forwarded arguments");
      if (cli.help && !forwarded.empty()) {
        if (cli.json)
          std::cout << json{{"kind", "help"}, {"schema_version", 1}, {"text", cli_help()}}.dump() << '\n';
        else
          std::cout << cli_help();
        std::cout.flush();
        return 0;
      }
      launch = cli.arguments;
      if (cli.json) launch.insert(launch.begin(), "--json");
      if (auto answer = native_maintenance_control(data_dir, launch, interrupted)) {
        std::cout << answer->dump() << '\n' << std::flush;
        return 0;
      }
      auto helper_arguments = maintenance_arguments(launch, data_dir);
      if (!helper_arguments.empty()) maintenance(helper_arguments, cli.json);
    }
    auto store = LauncherStore::for_launch(data_dir);
    auto selection = store->selection();
    if (selection &&
        (!selection->value("attempt", json()).is_null() || !selection->value("candidate", json()).is_null())) {
      if (auto status = start_candidate(*selection)) return *status;
      selection = store->selection();
    }
    return start_directly(selection);
  }
};

}  // namespace

int run_launcher_bootstrap(const fs::path& data_dir, std::string_view interface,
                           const std::vector<std::string>& arguments, milliseconds startup_limit,
                           const std::unique_ptr<NativeFileLock>& /*lifetime: held by the caller*/) {
  Driver driver;
  driver.data_dir = data_dir;
  driver.interface = std::string(interface);
  driver.forwarded = arguments;
  driver.startup_limit = startup_limit;
  return driver.run();
}

void confirm_launcher_start(const fs::path& data_dir) {
  std::error_code ignored;
  fs::remove(start_marker(data_dir), ignored);
}

}  // namespace trelk
