#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/digest.hpp"
#include "core/error.hpp"

struct archive;

namespace trelk {

struct SnapshotManifest;

// Receives the bytes of a stream in order; throws to stop the writer.
using ByteSink = std::function<void(std::string_view)>;

// The one deterministic tar stream of a snapshot, written by libarchive: POSIX pax (restricted), regular
// files only, owner and group 0, time 0, mode 0755 or 0644. The packer writes archives through it and a
// client regenerates the stream of an installed tree through it, so one tree always gives the same bytes.
class SnapshotTarWriter {
 public:
  explicit SnapshotTarWriter(ByteSink sink);
  SnapshotTarWriter(const SnapshotTarWriter&) = delete;
  SnapshotTarWriter& operator=(const SnapshotTarWriter&) = delete;
  ~SnapshotTarWriter();

  // Starts a member; exactly length bytes of it follow through write() before the next begin() or finish().
  void begin(const std::string& path, std::uint64_t length, bool executable);
  void write(std::string_view bytes);
  // Ends the stream; the end-of-archive record reaches the sink before this returns.
  void finish();

 private:
  [[noreturn]] void failed(const std::string& what) const;
  static long deliver(struct archive*, void* client, const void* buffer, std::size_t length);

  struct archive* handle_ = nullptr;
  ByteSink sink_;
  std::uint64_t remaining_ = 0;
  std::optional<Error> stored_;  // the sink's failure, rethrown instead of libarchive's report of it
};

// Regenerates the stream of the tree at root as the packer wrote it from the same files: the manifest's
// paths in its (byte) order with their declared lengths and modes. A file that is not an ordinary file of
// its declared length throws "content_mismatch"; file contents are not checked here, only passed on.
void write_snapshot_tar(const SnapshotManifest& manifest, const std::filesystem::path& root, const ByteSink& sink,
                        const Progress& progress);

}  // namespace trelk
