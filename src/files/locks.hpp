#pragma once

#include <filesystem>
#include <string_view>

namespace trelk {

enum class LockMode { exclusive = 0, shared = 1 };

// Open-time sharing request for platforms that honour it; only 0 and 1 are accepted.
enum class NativeLockSharing { none = 0, shared = 1 };

// Lock files relative to an installation's data root.
inline constexpr std::string_view native_bootstrap_lock = ".native-bootstrap.lock";
inline constexpr std::string_view native_setup_lock = ".trelk-setup.lock";

// Advisory flock on a lock file inside private state, created on demand. The lock lives exactly
// as long as the descriptor, which is close-on-exec.
class FileLock {
 public:
  FileLock(const std::filesystem::path& path, bool wait, LockMode mode);
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  // Keeps the lock until the process ends (or replaces its image) without closing the descriptor.
  void retain_until_process_exit();
  bool matches_path(const std::filesystem::path& path) const;

 private:
  int fd_ = -1;
};

// Ownership of a native installation: a non-blocking flock on an empty private lock file that is
// proven to be the file the path names.
class NativeFileLock {
 public:
  NativeFileLock(const std::filesystem::path& path, bool create, NativeLockSharing sharing, LockMode mode);
  NativeFileLock(NativeFileLock&& other) noexcept;
  NativeFileLock& operator=(NativeFileLock&& other) noexcept;
  NativeFileLock(const NativeFileLock&) = delete;
  NativeFileLock& operator=(const NativeFileLock&) = delete;
  ~NativeFileLock();

  bool matches_path(const std::filesystem::path& path) const;

 private:
  int fd_ = -1;
};

// True when every ancestor of path (after resolving system links) is a directory, not followed.
bool ordinary_parent(const std::filesystem::path& path);

}  // namespace trelk
