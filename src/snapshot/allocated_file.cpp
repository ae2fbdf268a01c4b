#include "snapshot/allocated_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "core/error.hpp"
#include "core/paths.hpp"

namespace trelk {

namespace {

constexpr std::size_t block_size = 65536;
// Writeback of each completed range of this many bytes starts while later bytes arrive, so that the
// closing synchronisation finds little left to write. Small files never reach it.
constexpr std::uint64_t write_behind_bytes = 8 << 20;
constexpr auto max_native_length = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// Running out of space is the user's to fix, so it gets one clear message whatever step hit it.
[[noreturn]] void storage_failure(int error_number, const std::string& code, const std::string& message) {
  if (error_number == ENOSPC || error_number == EDQUOT)
    fail("insufficient_space", "Cannot allocate game storage; free space or choose another location");
  fail(code, message);
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool ordinary_single_link(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

bool matches(const struct stat& st, const FileReservation& reservation) {
  return ordinary_single_link(st) && static_cast<std::uint64_t>(st.st_dev) == reservation.device &&
         static_cast<std::uint64_t>(st.st_ino) == reservation.inode;
}

}  // namespace

// Starts writeback of completed ranges on a thread of its own: submitting a range can wait for a busy
// disk, and the writer should go on receiving meanwhile. Only starts writing: durability still comes from
// synchronize(), so a failure here changes nothing and is left for that call to report.
class WriteBehind {
 public:
  explicit WriteBehind(int fd) : fd_(fd), thread_([this] { run(); }) {}
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  // Joined before the descriptor closes, so the thread never touches a reused descriptor number.
  ~WriteBehind() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  void start(std::uint64_t from, std::uint64_t until) {
    {
      const std::lock_guard lock(mutex_);
      if (from_ == until_) from_ = from;
      until_ = until;
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || from_ != until_; });
      if (stopping_) return;
      const std::uint64_t from = from_, until = until_;
      from_ = until_;
      lock.unlock();
      ::sync_file_range(fd_, static_cast<off_t>(from), static_cast<off_t>(until - from), SYNC_FILE_RANGE_WRITE);
      lock.lock();
    }
  }

  int fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t from_ = 0, until_ = 0;  // the range not yet submitted
  bool stopping_ = false;
  std::thread thread_;  // last: starts once everything above exists
};

json reservation_document(const FileReservation& reservation) {
  return json{{"path", path_utf8(reservation.path)},
              {"device", reservation.device},
              {"inode", reservation.inode},
              {"length", reservation.length},
              {"preallocated", reservation.preallocated}};
}

FileReservation parse_reservation(const json& document) {
  const std::string malformed = "File reservation record is malformed";
  require(document.is_object() && document.size() == 5, "invalid_reservation", malformed);
  try {
    FileReservation result;
    const auto& path = document.at("path").get_ref<const std::string&>();
    result.path = path_from_utf8(path);
    require(result.path.is_absolute(), "invalid_reservation", malformed);
    for (const char* key : {"device", "inode", "length"})
      require(document.at(key).is_number_unsigned(), "invalid_reservation", malformed);
    result.device = document.at("device").get<std::uint64_t>();
    result.inode = document.at("inode").get<std::uint64_t>();
    result.length = document.at("length").get<std::uint64_t>();
    result.preallocated = document.at("preallocated").get<bool>();
    return result;
  } catch (const json::exception&) {
    fail("invalid_reservation", malformed);
  }
}

AllocatedFile::AllocatedFile(const std::filesystem::path& path, std::uint64_t length,
                             const ReservationCallback& on_reserved)
    : AllocatedFile(path, length, std::nullopt, std::nullopt, on_reserved) {}

AllocatedFile::AllocatedFile(const FileReservation& reservation, std::optional<std::uint64_t> offset)
    : AllocatedFile(reservation.path, reservation.length, reservation, offset, {}) {}

AllocatedFile::AllocatedFile(const std::filesystem::path& path, std::uint64_t length,
                             const std::optional<FileReservation>& reservation, std::optional<std::uint64_t> offset,
                             const ReservationCallback& on_reserved) {
  require(length <= max_native_length, "size_limit", "File allocation exceeds native length bounds");
  reservation_.path = std::filesystem::absolute(path).lexically_normal();
  reservation_.length = length;
  struct stat parent {};
  require(::lstat(reservation_.path.parent_path().c_str(), &parent) == 0 && S_ISDIR(parent.st_mode), "unsafe_path",
          "Allocation requires an ordinary parent directory");
  try {
    open(reservation, offset, on_reserved);
  } catch (...) {
    close_quietly();
    throw;
  }
}

AllocatedFile::~AllocatedFile() { close_quietly(); }

void AllocatedFile::close_quietly() noexcept {
  write_behind_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void AllocatedFile::open(const std::optional<FileReservation>& reservation, std::optional<std::uint64_t> offset,
                         const ReservationCallback& on_reserved) {
  const bool fresh = !reservation.has_value();
  if (!fresh) {
    require(std::filesystem::absolute(reservation->path).lexically_normal() == reservation_.path &&
                reservation->length == reservation_.length,
            "allocation_changed", "Prepared file was replaced or changed; reserved content was preserved");
  }
  int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  if (fresh) flags |= O_CREAT | O_EXCL;
  do {
    fd_ = ::open(reservation_.path.c_str(), flags, 0600);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) storage_failure(errno, "unsafe_path", "Cannot exclusively create or reopen a prepared allocation");

  struct stat st {};
  require(::fstat(fd_, &st) == 0 && ordinary_single_link(st), "unsafe_path",
          "Allocation requires an ordinary single-link file");
  if (!fresh) {
    require(matches(st, *reservation), "allocation_changed",
            "Prepared file was replaced or changed; reserved content was preserved");
    reservation_ = *reservation;
    reservation_.path = std::filesystem::absolute(reservation->path).lexically_normal();
    check("Prepared allocation path changed");
    if (offset) {
      require(*offset <= reservation_.length && *offset <= static_cast<std::uint64_t>(st.st_size) &&
                  ::lseek(fd_, static_cast<off_t>(*offset), SEEK_SET) == static_cast<off_t>(*offset),
              "file_write", "Cannot position allocated file");
      written_ = *offset;
      writeback_ = *offset;
    }
    return;
  }
  require(st.st_size == 0, "unsafe_path", "A new allocation must begin empty");
  reservation_.device = static_cast<std::uint64_t>(st.st_dev);
  reservation_.inode = static_cast<std::uint64_t>(st.st_ino);
  check("New allocation path changed before recording ownership");
  if (on_reserved) on_reserved(reservation_);
  check("New allocation changed while recording ownership");
  reserve_space(0, reservation_.length);
  check("New allocation changed during preparation");
}

// The descriptor and the path must both still be the recorded single-link file: anything else
// means someone else touched our partial work, and we stop rather than write into it.
void AllocatedFile::check(const std::string& message) const {
  struct stat by_descriptor {};
  struct stat by_path {};
  const bool same = fd_ >= 0 && ::fstat(fd_, &by_descriptor) == 0 && matches(by_descriptor, reservation_) &&
                    ::lstat(reservation_.path.c_str(), &by_path) == 0 && ordinary_single_link(by_path) &&
                    same_file(by_descriptor, by_path);
  require(same, "allocation_changed", message);
}

void AllocatedFile::reserve_space(std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return;
  int result = 0;
  do {
    result = ::fallocate(fd_, 0, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    reservation_.preallocated = true;
    return;
  }
  const int error_number = errno;
  if (error_number == ENOSPC || error_number == EDQUOT)
    fail("insufficient_space", "Cannot reserve file data; free space or choose other game storage");
  // A file system that cannot reserve space still stores the data; the budget check came first.
  if (error_number == EOPNOTSUPP || error_number == ENOSYS) return;
  fail("space_reservation", "Native file allocation failed (" + std::to_string(error_number) + ")");
}

std::uint64_t AllocatedFile::size() const {
  check("Allocated file changed before inspection");
  struct stat st {};
  require(::fstat(fd_, &st) == 0, "allocation_changed", "Allocated file changed before inspection");
  return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t AllocatedFile::allocated_bytes() const {
  struct stat st {};
  require(fd_ >= 0 && ::fstat(fd_, &st) == 0, "allocation_changed", "Allocated file changed before inspection");
  return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

void AllocatedFile::write(std::string_view bytes) {
  require(bytes.size() <= reservation_.length - written_, "size_limit", "Write exceeds the authenticated file length");
  require(fd_ >= 0, "file_write", "Cannot write staged file data");
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), block_size);
    const ssize_t result = ::write(fd_, bytes.data(), piece);
    if (result < 0) {
      if (errno == EINTR) continue;
      storage_failure(errno, "file_write", "Cannot write staged file data");
    }
    require(result > 0, "file_write", "Cannot advance staged file data");
    bytes.remove_prefix(static_cast<std::size_t>(result));
    written_ += static_cast<std::uint64_t>(result);
  }
  if (written_ - writeback_ >= write_behind_bytes) start_writeback();
}

void AllocatedFile::start_writeback() noexcept {
  try {
    if (!write_behind_) write_behind_ = std::make_unique<WriteBehind>(fd_);
    write_behind_->start(writeback_, written_);
  } catch (const std::exception&) {
    // Without a thread the range is submitted here; the closing synchronisation does the rest.
    ::sync_file_range(fd_, static_cast<off_t>(writeback_), static_cast<off_t>(written_ - writeback_),
                      SYNC_FILE_RANGE_WRITE);
  }
  writeback_ = written_;
}

void AllocatedFile::set_executable(bool executable) {
  check("Allocated file changed before setting executable permissions");
  const mode_t mode = executable ? 0700 : 0600;
  struct stat st {};
  require(::fstat(fd_, &st) == 0, "file_permissions", "Cannot set private allocated file permissions");
  // An unchanged mode leaves nothing for the next synchronisation to make durable.
  if ((st.st_mode & 07777) != mode) {
    metadata_changed_ = true;
    require(::fchmod(fd_, mode) == 0, "file_permissions", "Cannot set private allocated file permissions");
  }
  check("Allocated file changed while setting executable permissions");
}

void AllocatedFile::finish(bool complete) {
  if (complete)
    require(written_ == reservation_.length, "length_mismatch", "File data is shorter than its authenticated length");
  check("Allocated file changed before completion");
  // Cutting to the written length also gives back preallocated space beyond it.
  if (::ftruncate(fd_, static_cast<off_t>(written_)) != 0)
    storage_failure(errno, "file_write", "Cannot set allocated file length");
  check("Allocated file changed during writing");
  synchronize();
  close_quietly();
}

void AllocatedFile::synchronize() {
  check("Partial file changed before synchronization");
  // fdatasync may leave a new mode behind, and a crash would bring an executable back as 0600.
  const bool metadata = metadata_changed_;
  int result = 0;
  do {
    result = metadata ? ::fsync(fd_) : ::fdatasync(fd_);
  } while (result != 0 && errno == EINTR);
  if (result != 0) storage_failure(errno, "file_sync", "Cannot synchronize reserved file data");
  metadata_changed_ = false;
}

void AllocatedFile::reserve_remaining() {
  check("Resume allocation changed");
  reserve_space(written_, reservation_.length - written_);
  check("Resume allocation changed");
}

void AllocatedFile::restart() {
  check("Cannot restart a replaced partial file");
  write_behind_.reset();
  require(::ftruncate(fd_, 0) == 0 && ::lseek(fd_, 0, SEEK_SET) == 0, "file_write", "Cannot restart partial file");
  written_ = 0;
  writeback_ = 0;
  reserve_space(0, reservation_.length);
  check("Cannot restart a replaced partial file");
}

void AllocatedFile::preserve() {
  check("Cannot preserve a replaced partial file");
  synchronize();
  close_quietly();
}

void AllocatedFile::discard() {
  check("Cannot discard a replaced partial file");
  close_quietly();
  struct stat st {};
  require(::lstat(reservation_.path.c_str(), &st) == 0 && matches(st, reservation_), "allocation_changed",
          "Partial path changed before disposal");
  if (::unlink(reservation_.path.c_str()) != 0 && errno != ENOENT)
    fail("file_remove", "Cannot remove " + path_utf8(reservation_.path));
}

FileReservation AllocatedFile::retain_reservation() {
  check("Cannot retain a changed allocation");
  close_quietly();
  return reservation_;
}

void AllocatedFile::read_range(std::uint64_t offset, std::uint64_t length,
                               const std::function<void(std::string_view)>& consumer) const {
  check("Stored file changed before it was read back");
  require(length <= reservation_.length && offset <= reservation_.length - length, "allocation_changed",
          "Stored file changed before it was read back");
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(block_size, length)));
  for (std::uint64_t done = 0; done < length;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block_size, length - done));
    const ssize_t got = ::pread(fd_, buffer.data(), want, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    require(got > 0, "file_read", "Cannot read back stored file data");
    consumer(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    done += static_cast<std::uint64_t>(got);
  }
  check("Stored file changed while it was read back");
}

void AllocatedFile::verify_identity(const FileReservation& reservation) {
  struct stat st {};
  require(::lstat(reservation.path.c_str(), &st) == 0, "file_read", "Cannot inspect owned partial file identity");
  require(matches(st, reservation) && static_cast<std::uint64_t>(st.st_size) <= reservation.length,
          "allocation_changed", "Owned partial file identity or bounds changed");
}

FileReservation AllocatedFile::inspect_file(const std::filesystem::path& path) {
  FileReservation result;
  result.path = std::filesystem::absolute(path).lexically_normal();
  const int fd = ::open(result.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  require(fd >= 0, "file_read", "Cannot inspect cache file identity");
  struct stat by_descriptor {};
  struct stat by_path {};
  const bool same = ::fstat(fd, &by_descriptor) == 0 && ordinary_single_link(by_descriptor) &&
                    ::lstat(result.path.c_str(), &by_path) == 0 && ordinary_single_link(by_path) &&
                    same_file(by_descriptor, by_path);
  ::close(fd);
  require(same, "allocation_changed", "Cache file changed during inspection");
  result.device = static_cast<std::uint64_t>(by_descriptor.st_dev);
  result.inode = static_cast<std::uint64_t>(by_descriptor.st_ino);
  result.length = static_cast<std::uint64_t>(by_descriptor.st_size);
  return result;
}

namespace {
constexpr std::uint64_t follow_from = 4 << 20;  // smaller files are read back in one go
constexpr std::uint64_t follow_step = 1 << 20;
}  // namespace

StoredDigest::StoredDigest(const AllocatedFile& file, std::uint64_t length, std::string_view algorithm)
    : file_(&file), length_(length), state_(algorithm) {
  if (length_ >= follow_from) thread_ = std::thread([this] { follow(); });
}

StoredDigest::StoredDigest(const char* data, std::uint64_t length, std::string_view algorithm)
    : data_(data), length_(length), state_(algorithm) {
  if (length_ >= follow_from) thread_ = std::thread([this] { follow(); });
}

void StoredDigest::hash(std::uint64_t from, std::uint64_t until) {
  if (file_ == nullptr)
    state_.update(std::string_view(data_ + from, static_cast<std::size_t>(until - from)));
  else
    file_->read_range(from, until - from, [&](std::string_view chunk) { state_.update(chunk); });
}

StoredDigest::~StoredDigest() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void StoredDigest::stored(std::uint64_t written) {
  if (!thread_.joinable() || written - announced_ < follow_step) return;
  announced_ = written;
  {
    const std::lock_guard lock(mutex_);
    stored_ = written;
  }
  wake_.notify_one();
}

std::string StoredDigest::value() {
  if (!thread_.joinable()) {
    hash(0, length_);
    return state_.value();
  }
  {
    const std::lock_guard lock(mutex_);
    stored_ = length_;
  }
  wake_.notify_one();
  thread_.join();
  if (failure_) std::rethrow_exception(failure_);
  return state_.value();
}

void StoredDigest::follow() {
  try {
    for (std::uint64_t hashed = 0; hashed < length_;) {
      std::uint64_t until = 0;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || stored_ > hashed; });
        if (stopping_) return;
        until = std::min(stored_, hashed + follow_step);
      }
      hash(hashed, until);
      hashed = until;
    }
  } catch (...) {
    failure_ = std::current_exception();
  }
}

}  // namespace trelk
