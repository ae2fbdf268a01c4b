// The reference launcher: the smallest program that is a well-behaved launcher version. It attaches to the
// startup-health protocol, holds its leases, reports health, honours the interrupt channel and answers
// `self status`. A document beside its entry points (launcher.json in the payload root) names its build and can
// make it misbehave in one chosen way, so that releases which fail their first start can be built for tests.
// The same program is the GUI entry point under a second name ending in "-gui".
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bootstrap/cli_grammar.hpp"
#include "bootstrap/staging.hpp"
#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "launcher/health.hpp"
#include "launcher/runtime.hpp"
#include "launcher/store.hpp"
#include "process/arguments.hpp"
#include "process/interrupt.hpp"
#include "progress_line.hpp"
#include "update/launcher_update.hpp"
#include "update/repository.hpp"

namespace {

namespace fs = std::filesystem;
using trelk::json;

constexpr std::uint64_t identity_limit = 4096;
constexpr std::int64_t hold_limit_ms = 600000;
constexpr const char* identity_kind = "trelk-reference-launcher";

struct Identity {
  std::string build_id = "trelk-launcher-dev";
  // normal, exit_before_health, no_health, unleased_health, crash_after_health or ignore_interrupt
  std::string behaviour = "normal";
  // How long the launcher stays busy after reporting health before it answers its command.
  std::int64_t hold_ms = 0;
};

// Installed as <payload>/bin/<name>; without a document (a development build) it is a plain, normal launcher.
Identity read_identity(const fs::path& image) {
  Identity identity;
  auto file = image.parent_path().parent_path() / "launcher.json";
  std::error_code error;
  if (fs::symlink_status(file, error).type() == fs::file_type::not_found) return identity;
  auto document = trelk::parse_json(trelk::read_file(file, identity_limit), identity_limit);
  try {
    trelk::require(document.at("schema_version") == 1 && document.at("kind") == identity_kind, "unsupported_schema",
                   "Unknown reference launcher identity");
    identity.build_id = document.at("build_id").get<std::string>();
    identity.behaviour = document.value("behaviour", std::string("normal"));
    identity.hold_ms = document.value("hold_ms", std::int64_t{0});
  } catch (const json::exception&) {
    trelk::fail("invalid_manifest", "Reference launcher identity has missing or malformed fields");
  }
  trelk::validate_identifier(identity.build_id);
  const std::string& b = identity.behaviour;
  trelk::require(b == "normal" || b == "exit_before_health" || b == "no_health" || b == "unleased_health" ||
                     b == "crash_after_health" || b == "ignore_interrupt",
                 "invalid_manifest", "Unknown reference launcher behaviour");
  trelk::require(identity.hold_ms >= 0 && identity.hold_ms <= hold_limit_ms, "size_limit",
                 "Reference launcher hold time exceeds its bound");
  return identity;
}

// Stays busy for the given time; a honoured interrupt ends the work at this safe point.
void hold(std::int64_t milliseconds, trelk::ConsoleInterrupt* interrupt) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    trelk::require(interrupt == nullptr || !interrupt->requested(), "cancelled",
                   "Operation cancelled at a safe boundary");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// A broken launcher: it answers the attempt with correct documents but takes no lease, so nothing protects its
// content and nobody can tell whether it still runs.
void answer_without_leases(const Identity& identity, const std::string& interface) {
  auto nonce = trelk::process_environment(trelk::launcher_health_nonce_environment, trelk::launcher_environment_limit);
  if (nonce.empty()) return;
  auto root = trelk::normalize_data_root(trelk::path_from_utf8(
      trelk::process_environment(trelk::launcher_data_root_environment, trelk::launcher_environment_limit)));
  json reference = {{"manifest_sha256", trelk::process_environment(trelk::launcher_manifest_environment,
                                                                   trelk::launcher_environment_limit)},
                    {"build_id", identity.build_id}};
  json attempt = {{"nonce", nonce}, {"reference", reference}};
  trelk::LauncherStore store(root, trelk::LaunchView{});
  auto manifest = store.manifest(reference);
  auto pid = static_cast<std::uint64_t>(::getpid());
  trelk::atomic_create(store.startup_ack_path(attempt),
                       trelk::lease_document(manifest, attempt, pid, interface).dump());
  trelk::atomic_create(
      store.health_path(attempt),
      manifest.startup_health(attempt, pid, interface, trelk::ConsoleInterrupt::parent_reader_attached()).dump());
}

fs::path gui_data_dir(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i + 1 < arguments.size() && arguments[i] != "--"; ++i)
    if (arguments[i] == "--data-dir") return trelk::path_from_utf8(arguments[i + 1]);
  return trelk::user_data_root();
}

json self_status(const Identity& identity, const std::string& interface, const trelk::LauncherRuntime* runtime,
                 const fs::path& data_dir) {
  auto root = runtime != nullptr ? runtime->root() : data_dir;
  auto record = trelk::LauncherStore(root, trelk::LaunchView{}).status();
  json running = {{"build_id", identity.build_id},
                  {"interface", interface},
                  {"pid", static_cast<std::int64_t>(::getpid())},
                  {"manifest_sha256", runtime != nullptr ? runtime->reference().at("manifest_sha256") : json(nullptr)}};
  return {{"schema_version", 1},        {"kind", "self-status"},          {"running", running},
          {"active", record["active"]}, {"rollback", record["rollback"]}, {"candidate", record["candidate"]}};
}

json stage_result(const trelk::StageResult& result) {
  return {{"staged", result.staged}, {"status", result.status}, {"build_id", result.build_id}};
}

// The launcher's answer also says how the release arrived, how many bytes that took, and why a published
// delta was not used.
json launcher_stage_result(const trelk::StageResult& result) {
  json answer = stage_result(result);
  answer["path"] = result.path.empty() ? json(nullptr) : json(result.path);
  answer["downloaded_bytes"] = result.downloaded_bytes;
  answer["fallback"] =
      result.fallback ? json{{"code", result.fallback->code}, {"message", result.fallback->what()}} : json(nullptr);
  return answer;
}

// Refreshes the installation's trusted metadata once, then stages the launcher and the bootstrap; the
// next start of the bootstrap applies what was staged.
json self_update(const fs::path& data_dir) {
  const fs::path root = trelk::normalize_data_root(data_dir);
  trelk::InstallationUpdates updates(root);
  updates.tuf().refresh();
  const auto progress = trelk::terminal_progress();
  const auto launcher = trelk::stage_launcher_update(root, updates.tuf(), progress);
  const auto bootstrap = trelk::stage_bootstrap_update(root, updates.tuf(), progress);
  return {{"schema_version", 1},
          {"kind", "self-update"},
          {"launcher", launcher_stage_result(launcher)},
          {"bootstrap", stage_result(bootstrap)}};
}

int run(const std::vector<std::string>& arguments, bool& json_mode) {
  auto image = trelk::current_executable_path();
  auto name = image.filename().string();
  std::string interface = name.size() > 4 && name.ends_with("-gui") ? "gui" : "cli";
  auto identity = read_identity(image);

  // Watching the parent's channel before health lets the health document claim the interrupt contract.
  std::optional<trelk::ConsoleInterrupt> interrupt;
  if (interface == "cli") interrupt.emplace(true);
  trelk::CliEntry entry;
  fs::path data_dir;
  if (interface == "cli") {
    entry = trelk::parse_cli_entry(arguments, trelk::user_data_root(), &json_mode);
    data_dir = entry.data_dir;
  } else {
    data_dir = gui_data_dir(arguments);
  }
  auto* listener = interrupt ? &*interrupt : nullptr;

  if (identity.behaviour == "unleased_health") {
    answer_without_leases(identity, interface);
    hold(identity.hold_ms, listener);
    return 0;
  }
  auto runtime = trelk::LauncherRuntime::attach(identity.build_id, interface, data_dir);
  if (identity.behaviour == "exit_before_health") return 0;
  if (identity.behaviour == "no_health") {
    hold(identity.hold_ms, listener);
    return 0;
  }
  trelk::report_launcher_health(runtime.get());
  if (identity.behaviour == "crash_after_health") std::abort();
  hold(identity.hold_ms, identity.behaviour == "ignore_interrupt" ? nullptr : listener);

  if (interface == "gui") return 0;
  if (entry.help) {
    std::cout << trelk::cli_help() << std::flush;
    return 0;
  }
  if (entry.arguments == std::vector<std::string>{"self", "update"}) {
    std::cout << self_update(data_dir).dump() << '\n' << std::flush;
    return 0;
  }
  trelk::require(entry.arguments == std::vector<std::string>{"self", "status"}, "launcher_command",
                 "This command is not available in this launcher");
  std::cout << self_status(identity, interface, runtime.get(), data_dir).dump() << '\n' << std::flush;
  return 0;
}

int exit_status(const std::string& code) {
  if (code == "usage") return 2;
  if (code == "confirmation_required") return 3;
  if (code == "cancelled") return 4;
  return 1;
}

void report(bool json_mode, const std::string& code, const std::string& message,
            const std::vector<std::string>& recovery) {
  if (json_mode) {
    json problem = {{"code", code}, {"message", message}, {"recovery", recovery}};
    std::cout << json{{"schema_version", 1}, {"problem", problem}}.dump(-1, ' ', true, json::error_handler_t::replace)
              << '\n'
              << std::flush;
  } else {
    std::cerr << "trelk: " << message << '\n';
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool json_mode = false;
  try {
    trelk::initialize_client_runtime();
    return run(trelk::process_arguments(argc, argv), json_mode);
  } catch (const trelk::Error& error) {
    report(json_mode, error.code, error.what(), error.details);
    return exit_status(error.code);
  } catch (const std::exception& error) {
    report(json_mode, "local_failure", error.what(), {"operations list"});
    return 1;
  }
}
