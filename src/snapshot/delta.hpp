#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "files/descriptor.hpp"

struct ZSTD_DCtx_s;

namespace trelk {

class StoredDigest;
struct SnapshotManifest;

// A delta turns the tar stream of one snapshot (the base) into that of another (the result): one Zstandard
// frame compressed with the whole base stream as its referenced prefix. Its description travels signed, as
// the `custom` member "delta" of the patch target's description.
struct DeltaDescription {
  std::string base_manifest_sha256;
  std::string base_tar_sha256;
  std::uint64_t base_tar_length = 0;
  std::string result_tar_sha256;
  std::uint64_t result_tar_length = 0;
  int window_log = 0;

  // Reads the "delta" member of a target's custom object; "delta_invalid" when missing or malformed.
  static DeltaDescription parse(const json& custom);
  // The custom object of a patch target.
  json custom() const;
};

// The decoder never accepts a window larger than this (1 GiB), whatever a delta declares; a Zstandard window
// is never smaller than 1 KiB.
inline constexpr int delta_window_log_limit = 30;
inline constexpr int delta_window_log_floor = 10;

// The patch target of an archive target for a base release: "<archive target>.from-<first 16 hex digits of
// the base manifest's SHA-256>.patch". A client finds the delta for its own version by this one name.
std::string delta_target(std::string_view archive_target, std::string_view base_manifest_sha256);

// The largest tar stream a manifest's snapshot can expand to: its files, a header, long-name record and
// padding each, and the end-of-archive record.
std::uint64_t snapshot_tar_bound(const SnapshotManifest& manifest);

// A private unnamed file in a directory (O_TMPFILE: nothing of it outlives the process, even a killed one),
// its space reserved for exactly length bytes and mapped shared, so that a large stream lives in the page
// cache rather than on the heap.
class ScratchFile {
 public:
  ScratchFile(const std::filesystem::path& directory, std::uint64_t length);
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile();

  char* data() const { return data_; }
  std::uint64_t length() const { return length_; }
  // Stores bytes at offset through the descriptor: filling the mapping instead would fault every page in
  // from the file first, zeroing it and reading ahead, only to overwrite it.
  void write(std::uint64_t offset, std::string_view bytes);

 private:
  Descriptor fd_;
  char* data_ = nullptr;
  std::uint64_t length_ = 0;
};

// Regenerates the base stream of an installed, verified tree into scratch (sized to the signed base length)
// and checks it against the signed length and SHA-256 as it is written: "delta_base" when it differs.
void regenerate_delta_base(const SnapshotManifest& manifest, const std::filesystem::path& root,
                           const DeltaDescription& delta, ScratchFile& scratch, const Progress& progress);

// The result stream of a delta, decoded from the patch with the base as prefix straight into result (sized to
// the signed result length; the decoder keeps no window of its own). The window is bounded by the signed
// window_log; next() hands out the decoded bytes in order and, at the end of the frame, checks that the
// stream has exactly the signed length and SHA-256 ("delta_result") and that nothing follows the frame.
class DeltaDecoder {
 public:
  DeltaDecoder(const ScratchFile& base, const std::filesystem::path& patch, const DeltaDescription& delta,
               ScratchFile& result);
  DeltaDecoder(const DeltaDecoder&) = delete;
  DeltaDecoder& operator=(const DeltaDecoder&) = delete;
  ~DeltaDecoder();

  // The next decoded bytes, empty once the whole stream has been handed out and checked.
  std::string_view next();

 private:
  void fill();

  Descriptor patch_;
  ZSTD_DCtx_s* context_ = nullptr;
  std::vector<char> input_;
  std::size_t input_fill_ = 0;
  std::size_t input_position_ = 0;
  char* output_ = nullptr;
  std::uint64_t capacity_ = 0;
  std::size_t produced_ = 0;              // decoded so far
  std::size_t handed_ = 0;                // handed out so far
  std::unique_ptr<StoredDigest> digest_;  // follows the decoder on a thread of its own
  std::string expected_sha256_;
  bool frame_done_ = false;
  bool checked_ = false;
};

}  // namespace trelk
