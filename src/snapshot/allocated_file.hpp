#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "core/digest.hpp"
#include "core/json.hpp"

namespace trelk {

struct SnapshotManifest;
class WriteBehind;

// Durable description of a preallocated file: enough to reopen it later only if it is still
// the same file.
struct FileReservation {
  std::filesystem::path path;  // absolute
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t length = 0;  // the authenticated length
  bool preallocated = false;
};

json reservation_document(const FileReservation& reservation);
FileReservation parse_reservation(const json& document);

using ReservationCallback = std::function<void(const FileReservation&)>;

// A private file of a length fixed by signed metadata: space is reserved before the first byte,
// its identity is recorded, and it never grows beyond its authenticated length.
class AllocatedFile {
 public:
  // New allocation; on_reserved sees the reservation once the file exists, before space is reserved.
  AllocatedFile(const std::filesystem::path& path, std::uint64_t length, const ReservationCallback& on_reserved);
  // General form: with a reservation the prepared file is reopened instead of created; offset
  // positions the write cursor for a resumed write.
  AllocatedFile(const std::filesystem::path& path, std::uint64_t length,
                const std::optional<FileReservation>& reservation, std::optional<std::uint64_t> offset,
                const ReservationCallback& on_reserved);
  explicit AllocatedFile(const FileReservation& reservation, std::optional<std::uint64_t> offset = std::nullopt);
  AllocatedFile(const AllocatedFile&) = delete;
  AllocatedFile& operator=(const AllocatedFile&) = delete;
  ~AllocatedFile();

  const FileReservation& reservation() const { return reservation_; }
  std::uint64_t written() const { return written_; }
  std::uint64_t size() const;
  std::uint64_t allocated_bytes() const;

  void write(std::string_view bytes);
  void set_executable(bool executable);
  // complete requires every authenticated byte; the file is cut to what was written, synchronised
  // and closed.
  void finish(bool complete);
  // Makes the data durable, and the permissions too once they were changed.
  void synchronize();

  // Resumption and disposal, used by resumable downloads.
  void reserve_remaining();
  void restart();
  // Keeps the partial file (synchronised) for a later resume and closes it.
  void preserve();
  // Removes the partial file, only while the path still names it.
  void discard();
  // Closes the file and hands its reservation to a durable record that owns it from now on.
  FileReservation retain_reservation();
  // Feeds length bytes from offset to consumer through the held descriptor, in blocks of at most
  // 65536 bytes. Safe on another thread beside write() once those bytes were written.
  void read_range(std::uint64_t offset, std::uint64_t length,
                  const std::function<void(std::string_view)>& consumer) const;
  // Throws unless the reservation's path still names its file within its bounds.
  static void verify_identity(const FileReservation& reservation);
  // The identity of an existing ordinary single-link file, as a reservation of its current size.
  static FileReservation inspect_file(const std::filesystem::path& path);

 private:
  void open(const std::optional<FileReservation>& reservation, std::optional<std::uint64_t> offset,
            const ReservationCallback& on_reserved);
  void check(const std::string& message) const;
  void reserve_space(std::uint64_t offset, std::uint64_t length);
  void close_quietly() noexcept;
  void start_writeback() noexcept;

  FileReservation reservation_;
  std::uint64_t written_ = 0;
  std::uint64_t writeback_ = 0;                // bytes before this offset were handed to writeback
  std::unique_ptr<WriteBehind> write_behind_;  // from the first completed range on
  int fd_ = -1;
  bool metadata_changed_ = false;  // since the last synchronisation
};

// The digest of a file's first length bytes as stored, read back through the file's own descriptor. From
// 4 MiB on, a thread of its own follows the writer (told through stored()), so the digest is ready soon
// after the last byte is stored instead of costing a pass of its own; smaller files are read back in one go
// by value(). The file must outlive this object.
class StoredDigest {
 public:
  StoredDigest(const AllocatedFile& file, std::uint64_t length, std::string_view algorithm = "sha256");
  // The same over memory that a writer fills from its start, such as a mapped scratch stream.
  StoredDigest(const char* data, std::uint64_t length, std::string_view algorithm = "sha256");
  ~StoredDigest();
  StoredDigest(const StoredDigest&) = delete;
  StoredDigest& operator=(const StoredDigest&) = delete;

  // The first written bytes are stored; called by the writer.
  void stored(std::uint64_t written);
  // The digest of all length bytes as stored; the file must hold them all.
  std::string value();

 private:
  void follow();
  void hash(std::uint64_t from, std::uint64_t until);

  const AllocatedFile* file_ = nullptr;  // or, without a file, the memory at data_
  const char* data_ = nullptr;
  std::uint64_t length_;
  DigestState state_;
  std::uint64_t announced_ = 0;  // the writer's own copy, to wake the reader once per step
  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t stored_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: starts once everything above exists
};

// A tree of files preallocated in advance for one snapshot under one private root, so that
// extraction writes into space that was already secured.
struct ReservedTree {
  std::filesystem::path root;
  std::map<std::string, FileReservation> files;

  // Creates root as a new private directory with every inventory file reserved at its length.
  static ReservedTree prepare(const SnapshotManifest& manifest, const std::filesystem::path& root);
  static ReservedTree parse(const json& document);
  json document() const;

  // Throws unless this is the prepared tree of manifest at staging and every file is unchanged.
  void validate(const SnapshotManifest& manifest, const std::filesystem::path& staging) const;
  FileReservation file(std::string_view path, std::uint64_t length) const;
};

}  // namespace trelk
