#include "files/locks.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/descriptor.hpp"
#include "files/directories.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t path_bound = 4096;
constexpr std::size_t ancestry_bound = 128;

int flock_operation(LockMode mode) { return mode == LockMode::exclusive ? LOCK_EX : LOCK_SH; }

bool private_lock_file(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_size == 0 && status.st_uid == ::geteuid() &&
         (status.st_mode & 0777) == 0600;
}

bool bounded_lock_path(const fs::path& path) {
  const auto& native = path.native();
  return !native.empty() && native.find('\0') == std::string::npos && path_utf8(path).size() <= path_bound;
}

int flock_retry(int fd, int operation) {
  int result;
  do result = ::flock(fd, operation);
  while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

FileLock::FileLock(const fs::path& path, bool wait, LockMode mode) {
  auto parent = path.parent_path();
  private_directory(parent.empty() ? fs::path(".") : parent);
  Descriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  require(fd.valid(), "lock_failed", "Cannot open operation lock");
  require(flock_retry(fd.get(), flock_operation(mode) | (wait ? 0 : LOCK_NB)) == 0, "busy",
          "Another Trelk operation is using this state");
  fd_ = fd.release();
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

void FileLock::retain_until_process_exit() { fd_ = -1; }

bool FileLock::matches_path(const fs::path& path) const {
  struct stat held {};
  struct stat named {};
  return fd_ >= 0 && ::fstat(fd_, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && S_ISREG(held.st_mode) &&
         S_ISREG(named.st_mode) && held.st_nlink == 1 && named.st_nlink == 1 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

bool ordinary_parent(const fs::path& path) {
  const fs::path resolved = resolve_system_links(fs::absolute(path).lexically_normal());
  const fs::path parent = resolved.parent_path();
  fs::path prefix = parent.root_path();
  std::size_t depth = 0;
  for (const auto& part : parent.relative_path()) {
    if (part.empty()) continue;
    if (++depth > ancestry_bound) return false;
    prefix /= part;
    struct stat entry {};
    if (::lstat(prefix.c_str(), &entry) != 0 || !S_ISDIR(entry.st_mode)) return false;
  }
  struct stat final_parent {};
  return ::stat(parent.c_str(), &final_parent) == 0 && S_ISDIR(final_parent.st_mode);
}

NativeFileLock::NativeFileLock(const fs::path& path, bool create, NativeLockSharing sharing, LockMode mode) {
  auto known = [](auto value) {
    auto number = static_cast<int>(value);
    return number == 0 || number == 1;
  };
  require(bounded_lock_path(path) && known(sharing) && known(mode), "lock_failed",
          "Native ownership requires a bounded lock path and known sharing");
  require(ordinary_parent(path), "lock_failed", "Native ownership requires ordinary existing parents");
  Descriptor fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0), 0600));
  struct stat status {};
  require(fd.valid() && ::fstat(fd.get(), &status) == 0 && private_lock_file(status), "lock_failed",
          "Native ownership requires an ordinary empty private file");
  if (flock_retry(fd.get(), flock_operation(mode) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) fail("busy", "Another worker owns this native installation");
    fail("lock_failed", "Cannot acquire native installation ownership");
  }
  fd_ = fd.release();
  if (!matches_path(path)) {
    ::close(std::exchange(fd_, -1));
    fail("lock_failed", "Native ownership path changed while locking");
  }
}

NativeFileLock::NativeFileLock(NativeFileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

NativeFileLock& NativeFileLock::operator=(NativeFileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

NativeFileLock::~NativeFileLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool NativeFileLock::matches_path(const fs::path& path) const {
  try {
    if (!bounded_lock_path(path) || !ordinary_parent(path)) return false;
  } catch (...) {
    return false;
  }
  struct stat held {};
  struct stat named {};
  return fd_ >= 0 && ::fstat(fd_, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && private_lock_file(held) &&
         private_lock_file(named) && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace trelk
