#include "snapshot/extract.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "core/paths.hpp"
#include "core/progress.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "snapshot/allocated_file.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t block_size = 65536;
constexpr std::uint64_t max_tree_entries = 250000;

// Finishes extracted files (durable sync, digest from disk) on a few threads while the next ones
// are decoded. A sync mostly waits for the disk, and syncs in flight together share journal
// commits, so this takes the per-file sync latency off the decoding path. Each file is still
// finished exactly as a sequential extraction would finish it.
class FileFinisher {
 public:
  FileFinisher() {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { run(); });
  }
  ~FileFinisher() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
  }
  FileFinisher(const FileFinisher&) = delete;
  FileFinisher& operator=(const FileFinisher&) = delete;

  // Queues a job once there is room; an earlier job's failure is thrown here instead.
  void add(std::function<void()> job) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return queue_.size() < max_pending || failure_; });
    if (failure_) throw *failure_;
    queue_.push_back(std::move(job));
    wake_.notify_one();
  }

  // Returns once every queued job is done; throws the first failure.
  void wait() {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return (queue_.empty() && busy_ == 0) || failure_; });
    if (failure_) throw *failure_;
  }

 private:
  static constexpr std::size_t workers = 4;
  static constexpr std::size_t max_pending = 8;

  void run() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        job = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
      }
      std::optional<Error> error;
      try {
        job();
      } catch (const Error& failure) {
        error = failure;
      } catch (const std::exception& failure) {
        error = Error("file_write", failure.what());
      }
      job = nullptr;  // closes the file before anyone is told it is done
      {
        std::lock_guard lock(mutex_);
        --busy_;
        if (error && !failure_) failure_ = std::move(error);
      }
      room_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable room_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> threads_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::optional<Error> failure_;
};

// One extracted file and the digest of what was stored of it, read back through its own descriptor while
// the decoder writes the rest. Declared after the file, the digest is destroyed first, so its reader has
// stopped before the file closes.
struct Stored {
  template <typename... Opening>
  explicit Stored(std::uint64_t length, Opening&&... opening)
      : file(std::forward<Opening>(opening)...), digest(file, length) {}
  AllocatedFile file;
  StoredDigest digest;
};

struct ArchiveReader {
  struct archive* handle = archive_read_new();
  ArchiveReader() = default;
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;
  ~ArchiveReader() {
    if (handle) archive_read_free(handle);
  }
};

// The tree walk shared by verification and damage collection. Symbolic links and the entry
// bound always throw; files outside the inventory go to on_unmanaged.
//
// Each directory is read to its end and closed before any below it is opened, so a deep tree
// holds one descriptor rather than one per level. Directories waiting for their turn are kept as
// (parent, name) links, which costs one name each however deep they lie.
template <typename Unmanaged>
std::set<std::string> walk_tree(const SnapshotManifest& manifest, const fs::path& root, Unmanaged&& on_unmanaged) {
  struct stat st {};
  require(::lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode), "unsafe_path",
          "Game content directory is missing or linked");
  struct Directory {
    std::size_t parent;
    std::string name;
  };
  std::vector<Directory> directories{{0, ""}};
  std::vector<std::size_t> pending{0};
  std::set<std::string> met;
  std::uint64_t entries = 0;
  std::uint64_t regular = 0;
  std::vector<const std::string*> names;
  while (!pending.empty()) {
    const std::size_t current = pending.back();
    pending.pop_back();
    names.clear();
    for (std::size_t at = current; at != 0; at = directories[at].parent) names.push_back(&directories[at].name);
    std::string prefix;  // relative path of the directory with a trailing slash, empty for the root
    for (auto name = names.rbegin(); name != names.rend(); ++name) prefix += **name + '/';

    std::error_code error;
    for (fs::directory_iterator it(root / path_from_utf8(prefix), error), end; !error && it != end;
         it.increment(error)) {
      require(++entries <= max_tree_entries, "size_limit", "Game directory entry count exceeds bounds");
      const auto status = it->symlink_status(error);
      if (error) break;
      require(!fs::is_symlink(status), "unsafe_path", "Game tree contains a symbolic link");
      const std::string name = path_utf8(it->path().filename());
      if (fs::is_directory(status)) {
        directories.push_back({current, name});
        pending.push_back(directories.size() - 1);
        continue;
      }
      const std::string relative = prefix + name;
      // A FIFO, socket or device is as foreign to the tree as an unlisted file.
      if (!fs::is_regular_file(status) || !manifest.files.contains(relative)) {
        on_unmanaged(relative);
        continue;
      }
      require(++regular <= manifest.files.size(), "size_limit", "Game tree contains too many files");
      met.insert(relative);
    }
    require(!error, "file_read", "Cannot read game content directory");
  }
  return met;
}

enum class FileState { good, damaged, missing_execute };

// Size, digest and execute bit of one inventory file; seen(bytes hashed so far) may throw to stop it.
// Cancellation and I/O failures propagate.
template <typename Seen>
FileState check_file(const fs::path& file, const PackageFile& expected, Seen&& seen) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) != expected.length)
    return FileState::damaged;
  const std::string actual = digest_file_progress(file, "sha256", [&](std::uint64_t done, std::uint64_t total) {
    require(done <= total && total == expected.length, "content_mismatch",
            "File changed beyond its declared verification bound");
    seen(done);
    return true;
  });
  if (actual != expected.sha256) return FileState::damaged;
  if (expected.executable && (st.st_mode & S_IXUSR) == 0) return FileState::missing_execute;
  return FileState::good;
}

void require_good(FileState state, const std::string& relative) {
  require(state != FileState::damaged, "content_mismatch",
          "Game content differs from the verified manifest: " + relative);
  require(state != FileState::missing_execute, "content_mode", "Game executable permission is missing");
}

// The tree extraction has just written: exactly the inventory, and every file still the very file
// (device and inode) whose stored bytes were hashed through its own descriptor, with its length and
// mode. The bytes are not read a second time.
void check_stored_tree(
    const SnapshotManifest& manifest, const fs::path& root,
    const std::unordered_map<std::string_view, std::pair<std::uint64_t, std::uint64_t>>& identities) {
  const auto met = walk_tree(
      manifest, root, [](const std::string&) { fail("unexpected_file", "Game tree contains an unmanaged file"); });
  require(met.size() == manifest.files.size(), "missing_file", "Game content is incomplete; repair is available");
  for (const auto& [relative, expected] : manifest.files) {
    struct stat st {};
    const auto identity = identities.find(relative);
    const bool same = identity != identities.end() && ::lstat((root / path_from_utf8(relative)).c_str(), &st) == 0 &&
                      S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) == expected.length &&
                      identity->second ==
                          std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
    require_good(same ? FileState::good : FileState::damaged, relative);
    require_good(expected.executable && (st.st_mode & S_IXUSR) == 0 ? FileState::missing_execute : FileState::good,
                 relative);
  }
}

}  // namespace

void report(const Progress& progress, std::uint64_t done, std::uint64_t total) {
  if (progress && !progress(done, total)) fail("cancelled", "Operation cancelled at a safe boundary");
}

BoundedZstd::BoundedZstd(const fs::path& archive, std::uint64_t bound)
    : BoundedZstd(Descriptor(::open(archive.c_str(), O_RDONLY | O_CLOEXEC)), bound) {}

BoundedZstd::BoundedZstd(Descriptor archive, std::uint64_t bound)
    : input_(std::move(archive)),
      context_(ZSTD_createDCtx()),
      input_buffer_(block_size),
      output_(block_size),
      bound_(bound) {
  // The destructor does not run for a failed constructor, so the context is freed here.
  try {
    open_checks();
  } catch (...) {
    ZSTD_freeDCtx(context_);
    throw;
  }
}

void BoundedZstd::open_checks() {
  require(input_.valid() && context_ != nullptr, "archive", "Cannot open bounded snapshot decoder");
  require(!ZSTD_isError(ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, 26)), "archive",
          "Cannot set the 64 MiB decoder window limit");
  fill();
  static constexpr unsigned char magic[] = {0x28, 0xB5, 0x2F, 0xFD};
  require(input_fill_ >= 4 && std::equal(std::begin(magic), std::end(magic),
                                         reinterpret_cast<const unsigned char*>(input_buffer_.data())),
          "archive", "Snapshot must contain exactly one ordinary Zstandard frame");
}

BoundedZstd::~BoundedZstd() { ZSTD_freeDCtx(context_); }

void BoundedZstd::fill() {
  input_fill_ = 0;
  input_position_ = 0;
  while (input_fill_ < input_buffer_.size()) {
    const ssize_t got = ::read(input_.get(), input_buffer_.data() + input_fill_, input_buffer_.size() - input_fill_);
    if (got < 0 && errno == EINTR) continue;
    require(got >= 0, "archive", "Snapshot read failed");
    if (got == 0) break;
    input_fill_ += static_cast<std::size_t>(got);
  }
}

std::size_t BoundedZstd::read() {
  if (finished_) return 0;
  for (;;) {
    if (input_position_ == input_fill_ && !output_pending_) {
      fill();
      require(input_fill_ > 0, "archive", "Snapshot frame is truncated");
    }
    ZSTD_inBuffer in{input_buffer_.data(), input_fill_, input_position_};
    ZSTD_outBuffer out{output_.data(), output_.size(), 0};
    const std::size_t result = ZSTD_decompressStream(context_, &out, &in);
    input_position_ = in.pos;
    require(!ZSTD_isError(result), "archive", "Snapshot decoding failed or exceeds the 64 MiB window limit");
    require(out.pos <= bound_ - total_, "size_limit", "Decoded tar stream exceeds authenticated expansion bounds");
    output_pending_ = out.pos == out.size;
    if (result == 0) {
      bool trailing = input_position_ != input_fill_;
      if (!trailing) {
        fill();
        trailing = input_fill_ != 0;
      }
      require(!trailing, "archive", "Trailing or concatenated Zstandard frames are forbidden");
      finished_ = true;
    }
    if (out.pos > 0 || finished_) {
      total_ += out.pos;
      return out.pos;
    }
  }
}

namespace {

// Hands a TarSource's bytes to libarchive. A failure inside the callback is kept, so that the source's own
// error rather than libarchive's report of it reaches the caller.
struct SourceReader {
  const TarSource& source;
  std::optional<Error> stored;

  static la_ssize_t callback(struct archive* reader, void* client, const void** buffer) {
    auto* self = static_cast<SourceReader*>(client);
    try {
      const std::string_view bytes = self->source();
      *buffer = bytes.data();
      return static_cast<la_ssize_t>(bytes.size());
    } catch (const Error& error) {
      self->stored = error;
    } catch (const std::exception& error) {
      self->stored = Error("archive", error.what());
    }
    archive_set_error(reader, EINVAL, "%s", self->stored->what());
    return -1;
  }
  void rethrow_stored() const {
    if (stored) throw *stored;
  }
  // Drains the source, so that trailing data and the checks at its end are never skipped.
  void finish() {
    rethrow_stored();
    while (!source().empty()) {
    }
  }
};

void prepare_staging(const SnapshotManifest& manifest, const fs::path& staging, const ReservedTree* reserved) {
  if (reserved) {
    reserved->validate(manifest, staging);
  } else {
    std::error_code ignored;
    require(!fs::exists(fs::symlink_status(staging, ignored)), "staging_exists",
            "A fresh staging directory is required");
    private_directory_new(staging);
  }
}

void expand_tar(const SnapshotManifest& manifest, const TarSource& source, const fs::path& staging,
                const Progress& progress, const ReservedTree* reserved);

constexpr const char* archive_mismatch = "Snapshot differs from its verified application manifest";

void require_archive_length(const SnapshotManifest& manifest, int archive) {
  struct stat status {};
  require(::fstat(archive, &status) == 0 && S_ISREG(status.st_mode) &&
              static_cast<std::uint64_t>(status.st_size) == manifest.archive_length,
          "content_mismatch", archive_mismatch);
}

}  // namespace

void extract_snapshot(const SnapshotManifest& manifest, const fs::path& archive, const fs::path& staging,
                      const Progress& progress, const ReservedTree* reserved) {
  Descriptor opened(::open(archive.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  require(opened.valid(), "content_mismatch", archive_mismatch);
  require_archive_length(manifest, opened.get());
  require(digest_descriptor(opened.get(), "sha256", {}) == manifest.archive_sha256, "content_mismatch",
          archive_mismatch);
  extract_verified_snapshot(manifest, std::move(opened), staging, progress, reserved);
}

void extract_verified_snapshot(const SnapshotManifest& manifest, Descriptor archive, const fs::path& staging,
                               const Progress& progress, const ReservedTree* reserved) {
  require_archive_length(manifest, archive.get());
  progress_phase(progress, "unpack");

  prepare_staging(manifest, staging, reserved);

  // Every tar member costs at most a header, a long-name or pax record and padding; the end of
  // the archive is padded to one 10240-byte record.
  const std::uint64_t bound = manifest.expanded_length + 8192 * manifest.files.size() + 10240;
  BoundedZstd decoder(std::move(archive), bound);
  const TarSource source = [&decoder] {
    const std::size_t produced = decoder.read();
    return std::string_view(decoder.output(), produced);
  };
  expand_tar(manifest, source, staging, progress, reserved);
}

void extract_snapshot_stream(const SnapshotManifest& manifest, const TarSource& source, const fs::path& staging,
                             const Progress& progress, const ReservedTree* reserved) {
  prepare_staging(manifest, staging, reserved);
  expand_tar(manifest, source, staging, progress, reserved);
}

namespace {

void expand_tar(const SnapshotManifest& manifest, const TarSource& source, const fs::path& staging,
                const Progress& progress, const ReservedTree* reserved) {
  SourceReader decoder{source, std::nullopt};
  ArchiveReader reader;
  require(reader.handle != nullptr, "archive", "Cannot allocate archive decoder");
  require(archive_read_support_filter_none(reader.handle) == ARCHIVE_OK &&
              archive_read_support_format_tar(reader.handle) == ARCHIVE_OK,
          "archive", "Cannot open snapshot archive");
  // Opening already reads the first blocks, so a refused stream shows up here first.
  if (archive_read_open(reader.handle, &decoder, nullptr, &SourceReader::callback, nullptr) != ARCHIVE_OK) {
    decoder.rethrow_stored();
    fail("archive", "Cannot open snapshot archive");
  }

  FileFinisher finisher;
  std::unordered_set<std::string> seen;
  // Directories already made, as leading parts of the manifest's own path strings, so that a
  // deep tree costs no copy of every directory path.
  std::unordered_set<std::string_view> directories;
  // Device and inode of each file as written and hashed, for the check of the finished tree.
  std::unordered_map<std::string_view, std::pair<std::uint64_t, std::uint64_t>> identities;
  std::vector<char> block(block_size);
  std::uint64_t extracted = 0;
  const std::uint64_t total = manifest.expanded_length;
  try {
    for (;;) {
      report(progress, extracted, total);
      struct archive_entry* entry = nullptr;
      const int status = archive_read_next_header(reader.handle, &entry);
      if (status == ARCHIVE_EOF) break;
      if (status != ARCHIVE_OK) {
        decoder.rethrow_stored();
        fail("archive", "Snapshot is incomplete or malformed");
      }
      const char* name = archive_entry_pathname_utf8(entry);
      require(name != nullptr, "archive_path", "Archive path is not valid UTF-8");
      const std::string relative = name;
      // The type is checked before the name: tar spells a directory with a trailing slash, and it
      // should be refused as a directory, not as a malformed path.
      require(archive_entry_filetype(entry) == AE_IFREG && archive_entry_symlink(entry) == nullptr &&
                  archive_entry_hardlink(entry) == nullptr && archive_entry_sparse_count(entry) == 0 &&
                  archive_entry_xattr_count(entry) == 0,
              "archive_type", "Only ordinary files are accepted in snapshots");
      const fs::path target = safe_join(staging, relative, true);
      const auto found = manifest.files.find(relative);
      require(found != manifest.files.end() && seen.insert(relative).second, "archive_inventory",
              "Archive contains an unexpected or duplicate file");
      const PackageFile& expected = found->second;
      const auto mode = static_cast<unsigned>(archive_entry_perm(entry)) & 07777;
      require(archive_entry_size_is_set(entry) && archive_entry_size(entry) >= 0 &&
                  static_cast<std::uint64_t>(archive_entry_size(entry)) == expected.length &&
                  mode == (expected.executable ? 0755u : 0644u),
              "archive_inventory", "Archive file length or mode differs from manifest");

      // Each missing ancestor becomes a private directory of its own, top down. The ancestors
      // already made are a leading run, as every directory is made after its parent.
      const std::string_view key = found->first;
      std::vector<std::size_t> slashes;
      for (auto slash = key.find('/'); slash != std::string_view::npos; slash = key.find('/', slash + 1))
        slashes.push_back(slash);
      const auto missing = std::partition_point(slashes.begin(), slashes.end(), [&](std::size_t slash) {
        return directories.contains(key.substr(0, slash));
      });
      for (auto slash = missing; slash != slashes.end(); ++slash) {
        private_directory(staging / path_from_utf8(key.substr(0, *slash)));
        directories.insert(key.substr(0, *slash));
      }
      const auto stored =
          reserved ? std::make_shared<Stored>(expected.length, reserved->file(relative, expected.length))
                   : std::make_shared<Stored>(expected.length, target, expected.length, ReservationCallback{});
      AllocatedFile* const file = &stored->file;
      identities.emplace(key, std::make_pair(file->reservation().device, file->reservation().inode));
      for (;;) {
        const la_ssize_t got = archive_read_data(reader.handle, block.data(), block.size());
        if (got < 0) {
          decoder.rethrow_stored();
          fail("archive", "Snapshot decompression failed");
        }
        if (got == 0) break;
        require(static_cast<std::uint64_t>(got) <= expected.length - file->written(), "size_limit",
                "Archive expands beyond authenticated file length");
        file->write(std::string_view(block.data(), static_cast<std::size_t>(got)));
        stored->digest.stored(file->written());
        extracted += static_cast<std::uint64_t>(got);
        report(progress, extracted, total);
      }
      require(file->written() == expected.length, "archive", "Snapshot file is truncated");
      finisher.add([stored, sha256 = expected.sha256, executable = expected.executable] {
        // What counts is what reached the disk, so the digest is taken from the stored file; only
        // content that matched it may become executable.
        stored->file.synchronize();
        require(stored->digest.value() == sha256, "content_mismatch", "Extracted file hash differs from manifest");
        stored->file.set_executable(executable);
        stored->file.finish(true);
      });
    }
    decoder.rethrow_stored();
    require(seen.size() == manifest.files.size(), "archive", "Snapshot is incomplete or malformed");
    decoder.finish();
  } catch (...) {
    finisher.wait();  // an earlier file's failure comes first, as it would in order
    throw;
  }
  finisher.wait();
  check_stored_tree(manifest, staging, identities);

  // Deepest first, so that each directory's entry is synchronised after what it holds.
  std::vector<std::string_view> made(directories.begin(), directories.end());
  std::sort(made.begin(), made.end(), [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
  for (const auto directory : made) sync_directory(staging / path_from_utf8(directory));
  sync_directory(staging);
}

}  // namespace

// Two threads take the files in path order, one at a time. The first difference in path order is
// the one reported, as a single thread would report it: every file before it was taken earlier and
// finishes before the result is decided. Only the calling thread reports progress.
void verify_snapshot_tree(const SnapshotManifest& manifest, const fs::path& root, const Progress& progress) {
  progress_phase(progress, "verify");
  const auto met = walk_tree(
      manifest, root, [](const std::string&) { fail("unexpected_file", "Game tree contains an unmanaged file"); });
  require(met.size() == manifest.files.size(), "missing_file", "Game content is incomplete; repair is available");
  std::vector<const std::pair<const std::string, PackageFile>*> files;
  files.reserve(manifest.files.size());
  for (const auto& file : manifest.files) files.push_back(&file);

  std::atomic<std::size_t> next = 0;
  std::atomic<std::uint64_t> verified = 0;
  std::atomic<bool> stopping = false;
  std::mutex mutex;
  std::size_t failed_at = files.size();
  std::exception_ptr failure;
  auto work = [&](bool reporting) {
    while (!stopping) {
      const std::size_t index = next++;
      if (index >= files.size()) return;
      const auto& [relative, expected] = *files[index];
      try {
        if (reporting) report(progress, verified, manifest.expanded_length);
        require_good(check_file(root / path_from_utf8(relative), expected,
                                [&](std::uint64_t done) {
                                  if (reporting) report(progress, verified + done, manifest.expanded_length);
                                }),
                     relative);
        verified += expected.length;
      } catch (...) {
        std::lock_guard lock(mutex);
        if (index < failed_at) failed_at = index, failure = std::current_exception();
        stopping = true;
      }
    }
  };
  std::thread helper;
  if (files.size() > 1) {
    try {
      helper = std::thread(work, false);
    } catch (const std::system_error&) {
      // Without a second thread the calling thread checks every file itself.
    }
  }
  work(true);
  if (helper.joinable()) helper.join();
  if (failure) std::rethrow_exception(failure);
}

DamagedFiles damaged_snapshot_files(const SnapshotManifest& manifest, const fs::path& root, const Progress& progress,
                                    std::size_t limit) {
  DamagedFiles result;
  auto record = [&](const std::string& relative) {
    if (result.paths.size() < limit)
      result.paths.push_back(relative);
    else
      ++result.omitted;
  };
  const auto met = walk_tree(manifest, root, record);
  std::uint64_t verified = 0;
  for (const auto& [relative, expected] : manifest.files) {
    report(progress, verified, manifest.expanded_length);
    if (!met.contains(relative)) {
      record(relative);
    } else {
      FileState state = FileState::damaged;
      try {
        state = check_file(root / path_from_utf8(relative), expected,
                           [&](std::uint64_t done) { report(progress, verified + done, manifest.expanded_length); });
      } catch (const Error& error) {
        // A file that vanishes or changes while it is read is damaged too; cancellation is not.
        if (error.code != "content_mismatch" && error.code != "file_read") throw;
      }
      if (state != FileState::good) record(relative);
    }
    verified += expected.length;
  }
  return result;
}

}  // namespace trelk
