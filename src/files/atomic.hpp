#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "files/descriptor.hpp"

namespace trelk {

// Whole content of an ordinary file (no final symbolic link, no FIFO or device); fails above limit bytes.
std::string read_file(const std::filesystem::path& path, std::uint64_t limit);
// The last min(size, limit) bytes; the full size goes to *size_out when given. Never fails on size.
std::string read_file_tail(const std::filesystem::path& path, std::uint64_t limit, std::uint64_t* size_out);
std::string read_ordinary(const std::filesystem::path& path, std::uint64_t limit, bool tail, std::uint64_t* size_out);

// Whether a directory entry of any type is at path; a final symbolic link is not followed.
bool entry_exists(const std::filesystem::path& path);

// Forces an existing single-link ordinary file to stable storage and proves the path still names it.
void sync_file(const std::filesystem::path& path);
// Forces a directory's entries to stable storage.
void sync_directory(const std::filesystem::path& path);

// Writes data to a fresh "<path>.<id>.tmp" beside path and publishes it by rename (replace) or by
// link (create: fails when path exists). private_parent makes the parent a 0700 directory; durable
// syncs the file before publishing and the directory after.
void atomic_file(const std::filesystem::path& path, std::string_view data, bool replace, bool private_parent,
                 bool durable);

// The same write in two steps, so the slow one can run beside other work: the constructor writes (and, when
// durable, syncs) "<path>.<id>.tmp", publish() renames or links it into place and syncs the directory. A file
// that is never published is removed, also when the constructor fails after creating it.
class PendingFile {
 public:
  PendingFile(const std::filesystem::path& path, std::string_view data, bool private_parent, bool durable);
  void publish(bool replace);

 private:
  // A member, so that its removal also runs when the constructor throws.
  struct Temporary {
    Descriptor directory;
    std::string name;
    bool created = false;
    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary();
  };
  std::string name_;
  bool durable_;
  Temporary temporary_;
};

void atomic_write(const std::filesystem::path& path, std::string_view data);
void atomic_create(const std::filesystem::path& path, std::string_view data);
void atomic_private_create(const std::filesystem::path& path, std::string_view data);
void replace_private_file(const std::filesystem::path& path, std::string_view data);

// Throws the Error for an operating-system failure during a write transaction.
[[noreturn]] void transaction_failure(int error_number, const std::string& context);

namespace posix_files {

// fsync retried on EINTR; 0 or -1 with errno.
int sync(int fd);
// Allocates size bytes from offset 0: 0 on success, else an error number (EFBIG for a negative size).
int reserve(int fd, std::int64_t size);

}  // namespace posix_files

}  // namespace trelk
