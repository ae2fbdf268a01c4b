#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "native/completeness.hpp"
#include "process/child.hpp"

namespace trelk {

class LauncherStore;

// Copies live in directories named with maintenance_copy_prefix (native/completeness.hpp).
inline constexpr const char* maintenance_ready_prefix = "trelk-maintenance-ready-";
inline constexpr const char* maintenance_copy_environment = "TRELK_MAINTENANCE_COPY";
inline constexpr const char* maintenance_ready_environment = "TRELK_MAINTENANCE_READY";
inline constexpr std::size_t maintenance_environment_limit = 8192;

// Handle on the maintenance helper of an installed launcher version. On the caller's side it proves that the
// helper file is intact and starts it; on the helper's side it recognises the temporary copy the helper runs from.
class MaintenanceRuntime {
 public:
  MaintenanceRuntime() = default;
  MaintenanceRuntime(std::filesystem::path copy, std::filesystem::path image, std::filesystem::path ready,
                     bool attached);
  MaintenanceRuntime(MaintenanceRuntime&& other) noexcept;
  MaintenanceRuntime& operator=(MaintenanceRuntime&& other) noexcept;
  MaintenanceRuntime(const MaintenanceRuntime&) = delete;
  MaintenanceRuntime& operator=(const MaintenanceRuntime&) = delete;
  ~MaintenanceRuntime();

  // The verified helper of role kind ("maintenance" or "maintenance-gui") of the version the reference names.
  static MaintenanceRuntime prepare(const LauncherStore& store, const json& launcher_manifest_document,
                                    std::string_view kind, const std::filesystem::path& data_root,
                                    const Progress& progress);
  // Helper side: null unless this process was started as a temporary copy. first is the helper role, second
  // the expected build identifier (may be empty).
  static std::unique_ptr<MaintenanceRuntime> attach(std::string_view first, std::string_view second);
  // Helper side, before attaching: copies the running image into a fresh private "trelk-maintenance-" directory,
  // keeping the readiness file this process was given, so that the copy can be started with replace().
  static MaintenanceRuntime relocate();

  std::map<std::string, std::string> environment() const;
  [[noreturn]] void replace(const std::vector<std::string>& arguments);
  std::unique_ptr<ChildProcess> launch_console(const std::vector<std::string>& arguments);
  void launch_gui(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout);
  void report_ready() const;

  const std::filesystem::path& copy() const { return copy_; }
  const std::filesystem::path& image() const { return image_; }
  const std::filesystem::path& ready() const { return ready_; }
  bool attached() const { return attached_; }
  bool launched() const { return launched_; }

 private:
  void release() noexcept;

  std::filesystem::path copy_;
  std::filesystem::path image_;
  std::filesystem::path ready_;
  bool attached_ = false;
  bool launched_ = false;
};

// Launcher side: the windowed helper of the running launcher's own version, which must be a managed image.
MaintenanceRuntime prepare_gui_maintenance(const std::filesystem::path& data_root, std::string_view interface,
                                           const Progress& progress);

// Runs one maintenance job of the launcher's window at a time on a worker thread and publishes its progress as a
// JSON view: phase, cancellable, completed_bytes, total_bytes, owned_path, result.
class MaintenanceHandoff {
 public:
  using Job = std::function<json(MaintenanceHandoff&)>;

  MaintenanceHandoff();
  // Asks a running job to stop and waits for it.
  ~MaintenanceHandoff();
  MaintenanceHandoff(const MaintenanceHandoff&) = delete;
  MaintenanceHandoff& operator=(const MaintenanceHandoff&) = delete;

  void begin(Job job);
  // Starts the windowed helper with the arguments; the job ends once its window is open.
  void start(const std::filesystem::path& data_root, std::string_view interface,
             const std::vector<std::string>& arguments);
  void create_shortcut(const std::filesystem::path& data_root, const std::string& game,
                       const std::filesystem::path& destination, const std::string& name);
  void remove_shortcuts(const std::filesystem::path& data_root);

  void publish(json view);
  // Compact JSON text of the current view.
  std::string view() const;
  void set_wakeup(std::function<void()> callback);
  void cancel();
  bool cancelled() const;
  void join();

  // A view with the given phase and everything else neutral.
  static json phase_view(std::string_view phase, bool cancellable);

 private:
  mutable std::mutex mutex_;
  json view_;
  std::function<void()> wakeup_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> running_{false};
  std::thread worker_;
};

}  // namespace trelk
