#include "delta.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <string>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "files/atomic.hpp"
#include "snapshot/delta.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/manifest.hpp"
#include "snapshot/tar_stream.hpp"

namespace trelk {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t document_limit = 64 << 20;

struct Stream {
  std::string document_sha256;
  SnapshotManifest manifest;
  std::string tar;
};

// The release's manifest and the decoded tar stream of its archive, checked against each other.
Stream decode(const PackedRelease& release) {
  const std::string text = read_file(release.document, document_limit);
  Stream stream{digest(text, "sha256"), SnapshotManifest::parse(parse_json(text, document_limit)), ""};
  require(digest_file(release.archive, "sha256") == stream.manifest.archive_sha256 &&
              fs::file_size(release.archive) == stream.manifest.archive_length,
          "delta_source", "Archive differs from its release document: " + release.archive.string());
  BoundedZstd decoder(release.archive, snapshot_tar_bound(stream.manifest));
  while (const std::size_t produced = decoder.read()) stream.tar.append(decoder.output(), produced);
  return stream;
}

// Rewrites the members of a tar stream through the snapshot writer in the manifest's order, as a client
// regenerates it from an installed tree, and requires the very same bytes.
void require_regenerable(const Stream& base) {
  const std::string differs = "The base archive is not the stream an installation regenerates; pack it with trelk-pack";
  std::unique_ptr<struct archive, decltype(&archive_read_free)> reader(archive_read_new(), &archive_read_free);
  require(reader != nullptr && archive_read_support_format_tar(reader.get()) == ARCHIVE_OK &&
              archive_read_open_memory(reader.get(), base.tar.data(), base.tar.size()) == ARCHIVE_OK,
          "delta_base", differs);
  DigestState regenerated("sha256");
  std::uint64_t length = 0;
  SnapshotTarWriter writer([&](std::string_view bytes) {
    regenerated.update(bytes);
    length += bytes.size();
  });
  std::string content;
  for (const auto& [path, file] : base.manifest.files) {
    struct archive_entry* entry = nullptr;
    require(archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK && archive_entry_pathname(entry) == path &&
                archive_entry_size(entry) == static_cast<la_int64_t>(file.length),
            "delta_base", differs);
    writer.begin(path, file.length, file.executable);
    for (std::uint64_t left = file.length; left > 0;) {
      content.resize(std::min<std::uint64_t>(left, 1 << 20));
      const la_ssize_t got = archive_read_data(reader.get(), content.data(), content.size());
      require(got > 0, "delta_base", differs);
      writer.write(std::string_view(content.data(), static_cast<std::size_t>(got)));
      left -= static_cast<std::uint64_t>(got);
    }
  }
  writer.finish();
  require(length == base.tar.size() && regenerated.value() == digest(base.tar, "sha256"), "delta_base", differs);
}

}  // namespace

json make_delta(const PackedRelease& base_release, const PackedRelease& result_release, const fs::path& patch,
                int level) {
  const Stream base = decode(base_release);
  const Stream result = decode(result_release);
  require_regenerable(base);
  // Late result bytes may refer to early base bytes, so the window spans both streams.
  const int window_log = std::max<int>(
      delta_window_log_floor, std::bit_width(static_cast<std::uint64_t>(base.tar.size() + result.tar.size() - 1)));
  require(window_log <= delta_window_log_limit, "size_limit", "Base and result streams exceed the delta window bound");

  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  require(context != nullptr && !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level)) &&
              !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1)) &&
              !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, window_log)) &&
              !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1)) &&
              !ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), base.tar.data(), base.tar.size())),
          "pack_archive", "Cannot configure the delta encoder");
  std::string frame(ZSTD_compressBound(result.tar.size()), '\0');
  const std::size_t written =
      ZSTD_compress2(context.get(), frame.data(), frame.size(), result.tar.data(), result.tar.size());
  require(!ZSTD_isError(written), "pack_archive", "Delta compression failed");
  frame.resize(written);
  atomic_create(patch, frame);

  DeltaDescription delta;
  delta.base_manifest_sha256 = base.document_sha256;
  delta.base_tar_sha256 = digest(base.tar, "sha256");
  delta.base_tar_length = base.tar.size();
  delta.result_tar_sha256 = digest(result.tar, "sha256");
  delta.result_tar_length = result.tar.size();
  delta.window_log = window_log;
  return delta.custom();
}

}  // namespace trelk
