#include <exception>
#include <utility>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "maintenance/control.hpp"
#include "maintenance/runtime.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds window_timeout{5000};

json failure_result(const std::string& code, const std::string& message) {
  return json{{"code", code}, {"message", message}};
}

json path_list(const std::vector<fs::path>& paths) {
  json list = json::array();
  for (const auto& path : paths) list.push_back(path_utf8(path));
  return list;
}

}  // namespace

MaintenanceHandoff::MaintenanceHandoff() : view_(phase_view("idle", false)) {}

MaintenanceHandoff::~MaintenanceHandoff() {
  cancel();
  join();
}

json MaintenanceHandoff::phase_view(std::string_view phase, bool cancellable) {
  return json{{"phase", phase},   {"cancellable", cancellable}, {"completed_bytes", 0},
              {"total_bytes", 0}, {"owned_path", ""},           {"result", nullptr}};
}

void MaintenanceHandoff::begin(Job job) {
  // Jobs are begun by the window's own thread, never from a job or its wakeup.
  require(worker_.get_id() != std::this_thread::get_id(), "busy", "A maintenance job cannot begin another");
  require(!running_.load(), "busy", "Another maintenance job is still running");
  join();
  cancel_.store(false);
  running_.store(true);
  publish(phase_view("starting", false));
  worker_ = std::thread([this, job = std::move(job)] {
    json end;
    try {
      auto result = job(*this);
      end = phase_view("succeeded", false);
      end["result"] = std::move(result);
    } catch (const Error& error) {
      end = phase_view("failed", false);
      end["result"] = failure_result(error.code, error.what());
    } catch (const std::exception& error) {
      end = phase_view("failed", false);
      end["result"] = failure_result("maintenance_failed", error.what());
    } catch (...) {
      end = phase_view("failed", false);
      end["result"] = failure_result("maintenance_failed", "Maintenance failed");
    }
    // Cleared before the last publication so that a woken window may begin the next job at once.
    running_.store(false);
    publish(std::move(end));
  });
}

void MaintenanceHandoff::start(const fs::path& data_root, std::string_view interface,
                               const std::vector<std::string>& arguments) {
  begin([data_root, interface = std::string(interface), arguments](MaintenanceHandoff& handoff) {
    auto progress = [&handoff](std::uint64_t done, std::uint64_t total) {
      auto view = phase_view("verifying", true);
      view["completed_bytes"] = done;
      view["total_bytes"] = total;
      handoff.publish(std::move(view));
      return !handoff.cancelled();
    };
    auto runtime = prepare_gui_maintenance(data_root, interface, progress);
    require(!handoff.cancelled(), "cancelled", "Operation cancelled at a safe boundary");
    auto opening = phase_view("opening", false);
    opening["owned_path"] = path_utf8(runtime.image());
    handoff.publish(std::move(opening));
    runtime.launch_gui(arguments, window_timeout);
    return json{{"schema_version", 1}, {"started", path_utf8(runtime.image())}};
  });
}

void MaintenanceHandoff::create_shortcut(const fs::path& data_root, const std::string& game,
                                         const fs::path& destination, const std::string& name) {
  begin([data_root, game, destination, name](MaintenanceHandoff& handoff) {
    auto view = phase_view("creating", false);
    view["owned_path"] = path_utf8(destination);
    handoff.publish(std::move(view));
    auto created = create_installation_shortcut(data_root, game, destination, name);
    return json{{"schema_version", 1}, {"created", path_utf8(created)}};
  });
}

void MaintenanceHandoff::remove_shortcuts(const fs::path& data_root) {
  begin([data_root](MaintenanceHandoff& handoff) {
    auto view = phase_view("removing", false);
    view["owned_path"] = path_utf8(data_root);
    handoff.publish(std::move(view));
    auto removal = remove_installation_shortcuts(data_root);
    return json{
        {"schema_version", 1}, {"removed", path_list(removal.removed)}, {"changed", path_list(removal.preserved)}};
  });
}

void MaintenanceHandoff::publish(json view) {
  std::function<void()> wakeup;
  {
    std::lock_guard lock(mutex_);
    view_ = std::move(view);
    wakeup = wakeup_;
  }
  if (wakeup) wakeup();
}

std::string MaintenanceHandoff::view() const {
  std::lock_guard lock(mutex_);
  return view_.dump();
}

void MaintenanceHandoff::set_wakeup(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  wakeup_ = std::move(callback);
}

void MaintenanceHandoff::cancel() { cancel_.store(true); }

bool MaintenanceHandoff::cancelled() const { return cancel_.load(); }

void MaintenanceHandoff::join() {
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

}  // namespace trelk
