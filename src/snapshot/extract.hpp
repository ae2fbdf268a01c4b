#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "files/descriptor.hpp"

struct ZSTD_DCtx_s;

namespace trelk {

struct SnapshotManifest;
struct ReservedTree;

// Source of decoded tar bytes for libarchive: exactly one ordinary Zstandard frame, a 64 MiB
// window at most, and no more decoded bytes than the manifest allows.
class BoundedZstd {
 public:
  BoundedZstd(const std::filesystem::path& archive, std::uint64_t bound);
  // Decodes an archive already open for reading, from its current offset.
  BoundedZstd(Descriptor archive, std::uint64_t bound);
  BoundedZstd(const BoundedZstd&) = delete;
  BoundedZstd& operator=(const BoundedZstd&) = delete;
  ~BoundedZstd();

  // Decodes the next bytes into the output buffer; 0 once the frame has finished.
  std::size_t read();
  void fill();

  const char* output() const { return output_.data(); }
  std::uint64_t decoded() const { return total_; }

 private:
  void open_checks();

  Descriptor input_;
  ZSTD_DCtx_s* context_ = nullptr;
  std::vector<char> input_buffer_;
  std::size_t input_fill_ = 0;
  std::size_t input_position_ = 0;
  std::vector<char> output_;
  bool output_pending_ = false;  // the decoder may hold output that did not fit the last buffer
  std::uint64_t bound_ = 0;
  std::uint64_t total_ = 0;
  bool finished_ = false;
};

struct DamagedFiles {
  std::uint64_t omitted = 0;
  std::vector<std::string> paths;
};

// Calls progress(done, total) when set; false from it throws "cancelled".
void report(const Progress& progress, std::uint64_t done, std::uint64_t total);

// A source of tar bytes: each call returns the next bytes (valid until the next call), empty at the end of
// the stream. The source bounds what it produces and checks the stream as a whole at its end; extraction
// always drains it to that end.
using TarSource = std::function<std::string_view()>;

// Expands archive into a new private staging directory (or into reserved's prepared tree),
// admitting only the manifest's files with exactly their lengths, modes and digests. The archive's length
// and digest are checked through the descriptor it is then decoded from.
void extract_snapshot(const SnapshotManifest& manifest, const std::filesystem::path& archive,
                      const std::filesystem::path& staging, const Progress& progress, const ReservedTree* reserved);
// The same for an archive that a download verified moments ago, opened for reading: the caller holds that
// its signed length and SHA-256 were those of the manifest, and that archive is the very file whose stored
// bytes the download read back. Its digest is not taken again; its kind and length are.
void extract_verified_snapshot(const SnapshotManifest& manifest, Descriptor archive,
                               const std::filesystem::path& staging, const Progress& progress,
                               const ReservedTree* reserved);
// The same admission for a tar stream that does not come from an archive file (the result of a delta).
void extract_snapshot_stream(const SnapshotManifest& manifest, const TarSource& source,
                             const std::filesystem::path& staging, const Progress& progress,
                             const ReservedTree* reserved);
// Throws on the first difference between the tree at root and the manifest.
void verify_snapshot_tree(const SnapshotManifest& manifest, const std::filesystem::path& root,
                          const Progress& progress);
// Collects differences (unmanaged, missing, wrong size or digest, missing execute bit); at most
// limit paths are listed, the rest counted in omitted.
DamagedFiles damaged_snapshot_files(const SnapshotManifest& manifest, const std::filesystem::path& root,
                                    const Progress& progress, std::size_t limit);

}  // namespace trelk
