#include "snapshot/tar_stream.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "core/paths.hpp"
#include "files/descriptor.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/manifest.hpp"

namespace trelk {

namespace fs = std::filesystem;

SnapshotTarWriter::SnapshotTarWriter(ByteSink sink) : handle_(archive_write_new()), sink_(std::move(sink)) {
  require(handle_ != nullptr, "archive_write", "Cannot create tar writer");
  if (archive_write_set_format_pax_restricted(handle_) != ARCHIVE_OK ||
      archive_write_add_filter_none(handle_) != ARCHIVE_OK ||
      archive_write_open(handle_, this, nullptr, &SnapshotTarWriter::deliver, nullptr) != ARCHIVE_OK) {
    archive_write_free(handle_);
    fail("archive_write", "Cannot create tar writer");
  }
}

SnapshotTarWriter::~SnapshotTarWriter() { archive_write_free(handle_); }

long SnapshotTarWriter::deliver(struct archive*, void* client, const void* buffer, std::size_t length) {
  auto* self = static_cast<SnapshotTarWriter*>(client);
  try {
    self->sink_(std::string_view(static_cast<const char*>(buffer), length));
    return static_cast<long>(length);
  } catch (const Error& error) {
    self->stored_ = error;
  } catch (const std::exception& error) {
    self->stored_ = Error("archive_write", error.what());
  }
  return -1;
}

void SnapshotTarWriter::failed(const std::string& what) const {
  if (stored_) throw *stored_;
  const char* detail = archive_error_string(handle_);
  fail("archive_write", what + (detail != nullptr ? std::string(": ") + detail : std::string()));
}

void SnapshotTarWriter::begin(const std::string& path, std::uint64_t length, bool executable) {
  require(remaining_ == 0, "archive_write", "Tar member is shorter than its declared length");
  std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
  require(entry != nullptr, "archive_write", "Cannot allocate tar entry");
  // Owner, group and time are fixed so that one tree always gives the same bytes.
  archive_entry_set_pathname_utf8(entry.get(), path.c_str());
  archive_entry_set_filetype(entry.get(), AE_IFREG);
  archive_entry_set_perm(entry.get(), executable ? 0755 : 0644);
  archive_entry_set_uid(entry.get(), 0);
  archive_entry_set_gid(entry.get(), 0);
  archive_entry_set_mtime(entry.get(), 0, 0);
  archive_entry_set_size(entry.get(), static_cast<la_int64_t>(length));
  if (archive_write_header(handle_, entry.get()) < ARCHIVE_WARN) failed("Cannot write tar header");
  remaining_ = length;
}

void SnapshotTarWriter::write(std::string_view bytes) {
  require(bytes.size() <= remaining_, "archive_write", "Tar member exceeds its declared length");
  if (bytes.empty()) return;
  if (archive_write_data(handle_, bytes.data(), bytes.size()) != static_cast<la_ssize_t>(bytes.size()))
    failed("Cannot write tar member data");
  remaining_ -= bytes.size();
}

void SnapshotTarWriter::finish() {
  require(remaining_ == 0, "archive_write", "Tar member is shorter than its declared length");
  if (archive_write_close(handle_) != ARCHIVE_OK) failed("Cannot finish tar stream");
}

void write_snapshot_tar(const SnapshotManifest& manifest, const fs::path& root, const ByteSink& sink,
                        const Progress& progress) {
  SnapshotTarWriter writer(sink);
  std::vector<char> block(65536);
  std::uint64_t done = 0;
  for (const auto& [relative, file] : manifest.files) {
    report(progress, done, manifest.expanded_length);
    const fs::path path = safe_join(root, relative, true);
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    const std::string differs = "Installed file differs from its manifest: " + relative;
    require(fd.valid(), "content_mismatch", differs);
    struct stat st {};
    require(::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) == file.length,
            "content_mismatch", differs);
    writer.begin(relative, file.length, file.executable);
    for (std::uint64_t left = file.length; left > 0;) {
      const ssize_t got =
          ::read(fd.get(), block.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size())));
      if (got < 0 && errno == EINTR) continue;
      require(got > 0, "content_mismatch", differs);
      writer.write(std::string_view(block.data(), static_cast<std::size_t>(got)));
      left -= static_cast<std::uint64_t>(got);
      done += static_cast<std::uint64_t>(got);
    }
  }
  writer.finish();
  report(progress, done, manifest.expanded_length);
}

}  // namespace trelk
