#include "files/atomic.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/descriptor.hpp"
#include "files/directories.hpp"

namespace trelk {

namespace {

constexpr std::size_t read_chunk = 65536;
constexpr std::size_t path_bound = 4096;

std::filesystem::path parent_of(const std::filesystem::path& path) {
  auto parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

ssize_t read_retry(int fd, char* buffer, std::size_t size) {
  ssize_t got;
  do got = ::read(fd, buffer, size);
  while (got < 0 && errno == EINTR);
  return got;
}

// Sizes the result once. Large results ask for huge pages first: faulting in a big buffer
// page by page costs more than reading the file into it.
void allocate_result(std::string& result, std::size_t size) {
  constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
  result.reserve(size);
  if (size >= 2 * huge_page) {
    auto start = reinterpret_cast<std::uintptr_t>(result.data());
    auto first = (start + huge_page - 1) & ~(huge_page - 1);
    auto last = (start + size) & ~(huge_page - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // advice only
  }
  result.resize(size);
}

}  // namespace

std::string read_ordinary(const std::filesystem::path& path, std::uint64_t limit, bool tail, std::uint64_t* size_out) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) fail(errno == ELOOP ? "unsafe_path" : "file_read", "Cannot open file: " + path_utf8(path));
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0)
    fail("unsafe_path", "Expected an ordinary file: " + path_utf8(path));
  auto size = static_cast<std::uint64_t>(status.st_size);
  if (size_out) *size_out = size;
  std::uint64_t offset = 0;
  if (tail && size > limit) {
    offset = size - limit;
    if (::lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset))
      fail("file_read", "Cannot read file");
  }
  require(size - offset <= limit, "size_limit", "File exceeds read limit");
  std::string result;
  allocate_result(result, static_cast<std::size_t>(size - offset));
  std::size_t filled = 0;
  while (filled < result.size()) {
    auto want = std::min(read_chunk, result.size() - filled);
    auto got = read_retry(fd.get(), result.data() + filled, want);
    if (got < 0) fail("file_read", "Cannot read file");
    if (got == 0) fail("file_read", "File changed while reading");
    filled += static_cast<std::size_t>(got);
  }
  char probe;
  auto extra = read_retry(fd.get(), &probe, 1);
  if (extra < 0) fail("file_read", "Cannot finish reading file");
  if (extra > 0) fail("file_read", "File changed while reading");
  return result;
}

std::string read_file(const std::filesystem::path& path, std::uint64_t limit) {
  return read_ordinary(path, limit, false, nullptr);
}

std::string read_file_tail(const std::filesystem::path& path, std::uint64_t limit, std::uint64_t* size_out) {
  return read_ordinary(path, limit, true, size_out);
}

void sync_file(const std::filesystem::path& path) {
  const auto& native = path.native();
  require(!native.empty() && native.find('\0') == std::string::npos && path_utf8(path).size() <= path_bound,
          "file_sync", "File synchronization requires a bounded path without NUL bytes");
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat held {};
  require(fd.valid() && ::fstat(fd.get(), &held) == 0 && S_ISREG(held.st_mode) && held.st_nlink == 1, "file_sync",
          "Synchronization requires an ordinary single-link file");
  require(posix_files::sync(fd.get()) == 0, "file_sync", "Could not durably synchronize file");
  struct stat named {};
  require(::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) && named.st_nlink == 1 &&
              named.st_dev == held.st_dev && named.st_ino == held.st_ino,
          "file_sync", "Synchronized file path changed");
}

void sync_directory(const std::filesystem::path& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  require(fd.valid(), "file_sync", "Cannot open directory for synchronization");
  int synced = posix_files::sync(fd.get());
  fd.reset();
  require(synced == 0, "file_sync", "Could not durably synchronize directory");
}

PendingFile::Temporary::~Temporary() {
  // Errors are ignored: the failure that got us here is the one worth reporting.
  if (created) ::unlinkat(directory.get(), name.c_str(), 0);
}

PendingFile::PendingFile(const std::filesystem::path& path, std::string_view data, bool private_parent, bool durable)
    : name_(path.filename().native()), durable_(durable) {
  const auto parent = parent_of(path);
  if (private_parent) {
    private_directory(parent);
  } else {
    struct stat link {};
    struct stat followed {};
    require(::lstat(parent.c_str(), &link) == 0 && !S_ISLNK(link.st_mode) && ::stat(parent.c_str(), &followed) == 0 &&
                S_ISDIR(followed.st_mode),
            "unsafe_path", "Export parent must be an existing plain directory");
  }
  temporary_.name = name_ + "." + random_id() + ".tmp";
  const auto temporary = parent / temporary_.name;

  // Every step after this works relative to one directory descriptor, so a parent swapped
  // mid-transaction cannot redirect the file, the publish or the directory sync.
  const int directory = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) transaction_failure(errno, "Cannot create transaction file " + path_utf8(temporary));
  temporary_.directory = Descriptor(directory);
  struct stat target {};
  require(!(::fstatat(directory, name_.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(target.st_mode)),
          "unsafe_path", "Refusing to replace a symbolic link");

  Descriptor file(
      ::openat(directory, temporary_.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) transaction_failure(errno, "Cannot create transaction file " + path_utf8(temporary));
  temporary_.created = true;

  std::size_t written = 0;
  while (written < data.size()) {
    auto put = ::write(file.get(), data.data() + written, data.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      int error = put < 0 ? errno : EIO;
      file.reset();
      transaction_failure(error, "Cannot write transaction file");
    }
    written += static_cast<std::size_t>(put);
  }
  int sync_error = 0;
  if (durable && posix_files::sync(file.get()) != 0) sync_error = errno;
  file.reset();
  if (sync_error != 0) transaction_failure(sync_error, "Cannot synchronize transaction file");
}

void PendingFile::publish(bool replace) {
  require(temporary_.created, "file_write", "Transaction file was already published");
  const int directory = temporary_.directory.get();
  const char* temporary = temporary_.name.c_str();
  if (replace) {
    if (::renameat(directory, temporary, directory, name_.c_str()) != 0)
      transaction_failure(errno, "Cannot commit transaction file");
  } else {
    if (::linkat(directory, temporary, directory, name_.c_str(), 0) != 0)
      transaction_failure(errno, "Cannot create export; the destination may already exist");
    if (::unlinkat(directory, temporary, 0) != 0) transaction_failure(errno, "Cannot finish export transaction");
  }
  temporary_.created = false;
  if (durable_) {
    int synced = posix_files::sync(directory);
    temporary_.directory.reset();
    require(synced == 0, "file_sync", "Could not durably synchronize directory");
  }
}

void atomic_file(const std::filesystem::path& path, std::string_view data, bool replace, bool private_parent,
                 bool durable) {
  PendingFile(path, data, private_parent, durable).publish(replace);
}

void atomic_write(const std::filesystem::path& path, std::string_view data) {
  atomic_file(path, data, true, true, true);
}

void atomic_create(const std::filesystem::path& path, std::string_view data) {
  atomic_file(path, data, false, false, true);
}

void atomic_private_create(const std::filesystem::path& path, std::string_view data) {
  atomic_file(path, data, false, true, true);
}

void replace_private_file(const std::filesystem::path& path, std::string_view data) {
  atomic_file(path, data, true, true, false);
}

void transaction_failure(int error_number, const std::string& context) {
  if (error_number == ENOSPC || error_number == EDQUOT)
    fail("insufficient_space", "Local storage cannot save data; free space and try again");
  fail("file_write", context + " (" + std::to_string(error_number) + ")");
}

namespace posix_files {

int sync(int fd) {
  int result;
  do result = ::fsync(fd);
  while (result != 0 && errno == EINTR);
  return result;
}

int reserve(int fd, std::int64_t size) {
  if (size < 0) return EFBIG;
  if (size == 0) return 0;
  int result;
  do result = ::fallocate(fd, 0, 0, static_cast<off_t>(size));
  while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

}  // namespace posix_files

bool entry_exists(const std::filesystem::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace trelk
