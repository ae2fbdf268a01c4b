#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "files/locks.hpp"

namespace trelk {

// The launcher's side of the startup-health protocol. Attaching takes the attempt and version leases, proves that
// this image is the verified entry point, acknowledges the leases and clears the startup variables; report_health
// then writes the health document once. The leases stay held until the process ends.
class LauncherRuntime {
 public:
  // Null when the program runs outside every installed version and was not started under the protocol.
  static std::unique_ptr<LauncherRuntime> attach(std::string_view build_id, std::string_view interface,
                                                 const std::filesystem::path& data_root);

  LauncherRuntime(std::filesystem::path root, json attempt, json reference, std::string interface);
  ~LauncherRuntime();
  LauncherRuntime(const LauncherRuntime&) = delete;
  LauncherRuntime& operator=(const LauncherRuntime&) = delete;

  // Does nothing without an attempt or once health was reported.
  void report_health();

  const std::filesystem::path& root() const { return root_; }
  const json& reference() const { return reference_; }
  const json& attempt() const { return attempt_; }
  const std::string& interface() const { return interface_; }
  bool health_reported() const { return health_reported_; }

 private:
  std::filesystem::path root_;
  json reference_;
  json attempt_;
  std::string interface_;
  bool health_reported_ = false;
  std::unique_ptr<FileLock> attempt_lease_;
  std::unique_ptr<FileLock> version_lease_;
};

void report_launcher_health(LauncherRuntime* runtime);

// A helper program's hold on its version: the version lease from launcher_helper_guard, kept until the process ends.
class LauncherHelperRuntime {
 public:
  // Null when the helper runs outside every installed version.
  static std::unique_ptr<LauncherHelperRuntime> attach(std::string_view build_id, std::string_view role);

  explicit LauncherHelperRuntime(std::unique_ptr<FileLock> guard);
  ~LauncherHelperRuntime();
  LauncherHelperRuntime(const LauncherHelperRuntime&) = delete;
  LauncherHelperRuntime& operator=(const LauncherHelperRuntime&) = delete;

 private:
  std::unique_ptr<FileLock> guard_;
};

}  // namespace trelk
