#include "pack.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <memory>

#include "bootstrap/contract.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "snapshot/manifest.hpp"
#include "snapshot/tar_stream.hpp"

namespace trelk {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t block_size = 65536;
constexpr std::size_t max_files = 100000;

struct ArchiveWriter {
  struct archive* handle = archive_write_new();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;
  ArchiveWriter() {
    require(handle != nullptr && archive_write_set_format_pax_restricted(handle) == ARCHIVE_OK &&
                archive_write_add_filter_none(handle) == ARCHIVE_OK,
            "pack_archive", "Cannot create tar writer");
  }
  ~ArchiveWriter() {
    if (handle) archive_write_free(handle);
  }
  void check(int status) const {
    if (status < ARCHIVE_WARN) fail("pack_archive", std::string("Tar writer failed: ") + archive_error_string(handle));
  }
};

struct EntryHandle {
  struct archive_entry* entry = archive_entry_new();
  EntryHandle(const EntryHandle&) = delete;
  EntryHandle& operator=(const EntryHandle&) = delete;
  EntryHandle() { require(entry != nullptr, "pack_archive", "Cannot allocate tar entry"); }
  ~EntryHandle() { archive_entry_free(entry); }
};

// Owner, group and time are fixed so that one tree always packs to the same bytes.
void set_common(struct archive_entry* entry, const std::string& path, unsigned mode) {
  archive_entry_set_pathname_utf8(entry, path.c_str());
  archive_entry_set_perm(entry, mode);
  archive_entry_set_uid(entry, 0);
  archive_entry_set_gid(entry, 0);
  archive_entry_set_mtime(entry, 0, 0);
}

template <typename Sink>
la_ssize_t write_callback(struct archive*, void* client, const void* buffer, size_t length) {
  try {
    (*static_cast<Sink*>(client))(std::string_view(static_cast<const char*>(buffer), length));
    return static_cast<la_ssize_t>(length);
  } catch (...) {
    return -1;
  }
}

template <typename Sink>
void open_writer(ArchiveWriter& writer, Sink& sink) {
  writer.check(archive_write_open(writer.handle, &sink, nullptr, &write_callback<Sink>, nullptr));
}

}  // namespace

ZstdFileWriter::ZstdFileWriter(const fs::path& path, const ZstdOptions& options)
    : context_(ZSTD_createCCtx()), output_(ZSTD_CStreamOutSize()) {
  require(context_ != nullptr, "pack_archive", "Cannot create Zstandard encoder");
  require(!ZSTD_isError(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, options.level)) &&
              !ZSTD_isError(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1)) &&
              (options.window_log == 0 ||
               !ZSTD_isError(ZSTD_CCtx_setParameter(context_, ZSTD_c_windowLog, options.window_log))),
          "pack_archive", "Cannot configure Zstandard encoder");
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd_ < 0) {
    ZSTD_freeCCtx(context_);
    transaction_failure(errno, "Cannot create archive " + path_utf8(path));
  }
}

ZstdFileWriter::~ZstdFileWriter() {
  if (fd_ >= 0) ::close(fd_);
  ZSTD_freeCCtx(context_);
}

void ZstdFileWriter::emit(std::string_view bytes) {
  digest_.update(bytes);
  length_ += bytes.size();
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) transaction_failure(written < 0 ? errno : EIO, "Cannot write archive");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void ZstdFileWriter::drain(std::string_view input, int directive) {
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  for (;;) {
    ZSTD_outBuffer out{output_.data(), output_.size(), 0};
    const std::size_t remaining = ZSTD_compressStream2(context_, &out, &in, static_cast<ZSTD_EndDirective>(directive));
    require(!ZSTD_isError(remaining), "pack_archive", "Zstandard compression failed");
    emit(std::string_view(output_.data(), out.pos));
    const bool done = directive == ZSTD_e_end ? remaining == 0 : in.pos == in.size;
    if (done) return;
  }
}

void ZstdFileWriter::write(std::string_view bytes) {
  if (!bytes.empty()) drain(bytes, ZSTD_e_continue);
}

void ZstdFileWriter::finish() {
  require(fd_ >= 0, "pack_archive", "Archive is already finished");
  drain({}, ZSTD_e_end);
  require(posix_files::sync(fd_) == 0, "file_sync", "Cannot synchronize archive");
  const int fd = fd_;
  fd_ = -1;
  require(::close(fd) == 0, "file_write", "Cannot close archive");
}

std::string tar_bytes(const std::vector<TarMember>& members) {
  std::string result;
  auto sink = [&result](std::string_view bytes) { result.append(bytes); };
  ArchiveWriter writer;
  open_writer(writer, sink);
  for (const auto& member : members) {
    EntryHandle handle;
    set_common(handle.entry, member.path, member.mode);
    std::int64_t size = 0;
    switch (member.type) {
      case TarMember::Type::file:
        archive_entry_set_filetype(handle.entry, AE_IFREG);
        size = static_cast<std::int64_t>(member.content.size());
        break;
      case TarMember::Type::directory:
        archive_entry_set_filetype(handle.entry, AE_IFDIR);
        break;
      case TarMember::Type::symlink:
        archive_entry_set_filetype(handle.entry, AE_IFLNK);
        archive_entry_set_symlink_utf8(handle.entry, member.link.c_str());
        break;
      case TarMember::Type::hardlink:
        archive_entry_set_filetype(handle.entry, AE_IFREG);
        archive_entry_set_hardlink_utf8(handle.entry, member.link.c_str());
        break;
      case TarMember::Type::fifo:
        archive_entry_set_filetype(handle.entry, AE_IFIFO);
        break;
      case TarMember::Type::character_device:
        archive_entry_set_filetype(handle.entry, AE_IFCHR);
        archive_entry_set_rdevmajor(handle.entry, 1);
        archive_entry_set_rdevminor(handle.entry, 3);
        break;
    }
    archive_entry_set_size(handle.entry, size);
    writer.check(archive_write_header(writer.handle, handle.entry));
    if (size > 0)
      require(archive_write_data(writer.handle, member.content.data(), member.content.size()) == size, "pack_archive",
              "Cannot write tar member data");
  }
  writer.check(archive_write_close(writer.handle));
  return result;
}

std::string zstd_frame(std::string_view bytes, const ZstdOptions& options) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  require(context != nullptr, "pack_archive", "Cannot create Zstandard encoder");
  require(!ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, options.level)) &&
              (options.window_log == 0 ||
               !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, options.window_log))) &&
              (!options.pledge_size || !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(context.get(), bytes.size()))),
          "pack_archive", "Cannot configure Zstandard encoder");
  std::string result;
  std::vector<char> buffer(ZSTD_CStreamOutSize());
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  // Feeding the input before ending the frame keeps an unpledged size out of the header.
  for (const auto directive : {ZSTD_e_continue, ZSTD_e_end}) {
    for (;;) {
      ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
      const std::size_t remaining = ZSTD_compressStream2(context.get(), &out, &in, directive);
      require(!ZSTD_isError(remaining), "pack_archive", "Zstandard compression failed");
      result.append(buffer.data(), out.pos);
      if (directive == ZSTD_e_end ? remaining == 0 : in.pos == in.size) break;
    }
  }
  return result;
}

json pack_snapshot(const fs::path& source, const fs::path& archive, const PackOptions& options) {
  struct stat st {};
  require(::lstat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode), "pack_source",
          "Packer source must be an existing directory");
  // Byte order of the portable paths, which is also the manifest's order.
  std::map<std::string, fs::path> sources;
  for (fs::recursive_directory_iterator it(source, fs::directory_options::none), end; it != end; ++it) {
    const auto status = it->symlink_status();
    if (fs::is_directory(status)) continue;
    const std::string relative = path_utf8(it->path().lexically_relative(source));
    require(fs::is_regular_file(status), "pack_source",
            "Packer source may hold only regular files and directories: " + relative);
    validate_relative_path(relative, true);
    require(sources.size() < max_files, "size_limit", "Package file count exceeds bounds");
    sources.emplace(relative, it->path());
  }
  require(!sources.empty(), "pack_source", "Packer source holds no files");

  ZstdFileWriter compressed(archive, ZstdOptions{.level = options.level, .window_log = 0, .pledge_size = false});
  SnapshotTarWriter writer([&compressed](std::string_view bytes) { compressed.write(bytes); });
  json files = json::array();
  std::uint64_t expanded = 0;
  std::vector<char> block(block_size);
  for (const auto& [relative, path] : sources) {
    std::ifstream input(path, std::ios::binary);
    require(input.is_open() && ::stat(path.c_str(), &st) == 0, "file_read", "Cannot read packer source " + relative);
    const auto length = static_cast<std::uint64_t>(st.st_size);
    const unsigned mode = (st.st_mode & S_IXUSR) != 0 ? 0755 : 0644;
    writer.begin(relative, length, mode == 0755);
    DigestState digest("sha256");
    std::uint64_t done = 0;
    while (input) {
      input.read(block.data(), static_cast<std::streamsize>(block.size()));
      const auto got = static_cast<std::size_t>(input.gcount());
      if (got == 0) break;
      require(got <= length - done, "pack_source", "Packer source changed while packing: " + relative);
      digest.update(std::string_view(block.data(), got));
      writer.write(std::string_view(block.data(), got));
      done += got;
    }
    require(!input.bad() && done == length, "pack_source", "Packer source changed while packing: " + relative);
    files.push_back({{"path", relative}, {"length", length}, {"mode", mode}, {"sha256", digest.value()}});
    expanded += length;
  }
  writer.finish();
  compressed.finish();

  json manifest = {{"schema_version", 1},
                   {"build_id", options.build_id},
                   {"platform", options.platform},
                   {"executable", options.executable},
                   {"archive",
                    {{"format", "tar.zst-v1"},
                     {"target", options.target.empty() ? options.build_id + ".tar.zst" : options.target},
                     {"length", compressed.length()},
                     {"sha256", compressed.sha256()}}},
                   {"files", files},
                   {"expanded_length", expanded}};
  // The publisher refuses what an installer would refuse.
  SnapshotManifest::parse(manifest);
  return manifest;
}

json launcher_release(json snapshot, const std::string& gui_executable,
                      const std::vector<std::pair<std::string, std::string>>& helpers) {
  snapshot["kind"] = "trelk-launcher-release";
  snapshot["bootstrap_abi"] = 1;
  snapshot["health_abi"] = 1;
  snapshot["application_schema"] = {{"minimum", 1}, {"maximum", 1}};
  snapshot["runtime_lease_abi"] = 2;
  snapshot["staging_abi"] = 1;
  snapshot["console_interrupt_abi"] = 1;
  snapshot["gui_executable"] = gui_executable;
  snapshot["runtime_helpers"] = json::array();
  for (const auto& [path, role] : helpers)
    snapshot["runtime_helpers"].push_back({{"path", path}, {"role", role}, {"lease_abi", 1}});
  return snapshot;
}

json bootstrap_release(json snapshot) {
  snapshot["kind"] = "trelk-bootstrap-release";
  snapshot["bootstrap_abi"] = 1;
  snapshot["runtime_lease_abi"] = 1;
  snapshot["application_schema"] = {{"minimum", 1}, {"maximum", 1}};
  const SnapshotManifest manifest = SnapshotManifest::parse(snapshot);
  // Only this machine's platform can be held to the update rules, which include the platform itself.
  if (manifest.platform == native_platform())
    validate_bootstrap_update(manifest);
  else
    validate_bootstrap_contract(manifest);
  return snapshot;
}

}  // namespace trelk
