#include "snapshot/delta.hpp"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer: decode into the mapped result, no window copy
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>

#include "core/error.hpp"
#include "files/atomic.hpp"
#include "snapshot/allocated_file.hpp"
#include "snapshot/manifest.hpp"
#include "snapshot/tar_stream.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t block_size = 65536;
constexpr std::uint64_t stream_limit = std::uint64_t{1} << 43;

}  // namespace

DeltaDescription DeltaDescription::parse(const json& custom) {
  const std::string malformed = "Delta description is missing or malformed";
  require(custom.is_object() && custom.contains("delta") && custom.at("delta").is_object() &&
              custom.at("delta").size() == 6,
          "delta_invalid", malformed);
  const json& delta = custom.at("delta");
  DeltaDescription result;
  try {
    result.base_manifest_sha256 = sha256(delta.at("base_manifest_sha256"));
    result.base_tar_sha256 = sha256(delta.at("base_tar_sha256"));
    result.base_tar_length = size_value(delta.at("base_tar_length"));
    result.result_tar_sha256 = sha256(delta.at("result_tar_sha256"));
    result.result_tar_length = size_value(delta.at("result_tar_length"));
    require(delta.at("window_log").is_number_integer(), "delta_invalid", malformed);
    result.window_log = delta.at("window_log").get<int>();
  } catch (const json::exception&) {
    fail("delta_invalid", malformed);
  } catch (const Error&) {
    fail("delta_invalid", malformed);
  }
  require(result.base_tar_length > 0 && result.base_tar_length <= stream_limit && result.result_tar_length > 0 &&
              result.result_tar_length <= stream_limit && result.window_log >= delta_window_log_floor,
          "delta_invalid", malformed);
  return result;
}

json DeltaDescription::custom() const {
  return {{"delta",
           {{"base_manifest_sha256", base_manifest_sha256},
            {"base_tar_sha256", base_tar_sha256},
            {"base_tar_length", base_tar_length},
            {"result_tar_sha256", result_tar_sha256},
            {"result_tar_length", result_tar_length},
            {"window_log", window_log}}}};
}

std::string delta_target(std::string_view archive_target, std::string_view base_manifest_sha256) {
  return std::string(archive_target) + ".from-" + std::string(base_manifest_sha256.substr(0, 16)) + ".patch";
}

std::uint64_t snapshot_tar_bound(const SnapshotManifest& manifest) {
  return manifest.expanded_length + 8192 * manifest.files.size() + 10240;
}

ScratchFile::ScratchFile(const fs::path& directory, std::uint64_t length) : length_(length) {
  require(length > 0 && length <= stream_limit, "size_limit", "Scratch stream exceeds its bounds");
  fd_.reset(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!fd_.valid()) transaction_failure(errno, "Cannot create a private scratch file");
  if (const int error = posix_files::reserve(fd_.get(), static_cast<std::int64_t>(length));
      error != 0 && error != EOPNOTSUPP && error != ENOSYS)
    transaction_failure(error, "Cannot reserve a private scratch file");
  if (::ftruncate(fd_.get(), static_cast<off_t>(length)) != 0)
    transaction_failure(errno, "Cannot size a private scratch file");
  void* mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
  require(mapped != MAP_FAILED, "file_write", "Cannot map a private scratch file");
  data_ = static_cast<char*>(mapped);
  ::madvise(data_, length, MADV_SEQUENTIAL);
}

ScratchFile::~ScratchFile() {
  if (data_ != nullptr) ::munmap(data_, length_);
}

void ScratchFile::write(std::uint64_t offset, std::string_view bytes) {
  require(offset <= length_ && bytes.size() <= length_ - offset, "size_limit", "Scratch stream exceeds its bounds");
  while (!bytes.empty()) {
    const ssize_t put = ::pwrite(fd_.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) transaction_failure(put < 0 ? errno : EIO, "Cannot write a private scratch file");
    bytes.remove_prefix(static_cast<std::size_t>(put));
    offset += static_cast<std::uint64_t>(put);
  }
}

void regenerate_delta_base(const SnapshotManifest& manifest, const fs::path& root, const DeltaDescription& delta,
                           ScratchFile& scratch, const Progress& progress) {
  const std::string differs = "The installed version differs from the delta's base";
  require(scratch.length() == delta.base_tar_length, "delta_base", differs);
  // Hashed behind the writer on a second thread, as the stream is read back from the scratch mapping.
  StoredDigest digest(scratch.data(), scratch.length());
  std::uint64_t written = 0;
  write_snapshot_tar(
      manifest, root,
      [&](std::string_view bytes) {
        require(bytes.size() <= scratch.length() - written, "delta_base", differs);
        scratch.write(written, bytes);
        written += bytes.size();
        digest.stored(written);
      },
      progress);
  require(written == scratch.length() && digest.value() == delta.base_tar_sha256, "delta_base", differs);
}

DeltaDecoder::DeltaDecoder(const ScratchFile& base, const fs::path& patch, const DeltaDescription& delta,
                           ScratchFile& result)
    : patch_(::open(patch.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)),
      context_(ZSTD_createDCtx()),
      input_(block_size),
      output_(result.data()),
      capacity_(result.length()),
      digest_(std::make_unique<StoredDigest>(result.data(), result.length())),
      expected_sha256_(delta.result_tar_sha256) {
  const std::string refused = "Delta patch cannot be decoded within its signed bounds";
  try {
    require(patch_.valid() && context_ != nullptr, "delta_patch", "Cannot open the delta patch");
    require(delta.window_log <= delta_window_log_limit, "delta_window", "Delta window exceeds the configured bound");
    require(base.length() == delta.base_tar_length && capacity_ == delta.result_tar_length, "delta_patch", refused);
    require(!ZSTD_isError(ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, delta.window_log)) &&
                !ZSTD_isError(ZSTD_DCtx_setParameter(context_, ZSTD_d_stableOutBuffer, 1)) &&
                !ZSTD_isError(ZSTD_DCtx_refPrefix(context_, base.data(), base.length())),
            "delta_patch", refused);
    fill();
    // One ordinary frame that states the signed result length and a window within the signed one; anything
    // else is refused before decoding. The decoder's own window check is skipped when it decodes a small
    // frame in one pass, so the header is held to it here.
    ZSTD_frameHeader header{};
    require(ZSTD_getFrameHeader(&header, input_.data(), input_fill_) == 0 && header.frameType == ZSTD_frame &&
                header.frameContentSize == delta.result_tar_length &&
                header.windowSize <= (std::uint64_t{1} << delta.window_log),
            "delta_patch", refused);
  } catch (...) {
    ZSTD_freeDCtx(context_);
    throw;
  }
}

DeltaDecoder::~DeltaDecoder() { ZSTD_freeDCtx(context_); }

void DeltaDecoder::fill() {
  ssize_t got;
  do got = ::read(patch_.get(), input_.data(), input_.size());
  while (got < 0 && errno == EINTR);
  require(got >= 0, "file_read", "Cannot read the delta patch");
  input_fill_ = static_cast<std::size_t>(got);
  input_position_ = 0;
}

std::string_view DeltaDecoder::next() {
  const std::string refused = "Delta patch cannot be decoded within its signed bounds";
  while (handed_ == produced_ && !frame_done_) {
    if (input_position_ == input_fill_) {
      fill();
      require(input_fill_ > 0, "delta_patch", "Delta patch is truncated");
    }
    ZSTD_inBuffer in{input_.data(), input_fill_, input_position_};
    ZSTD_outBuffer out{output_, capacity_, produced_};
    const std::size_t result = ZSTD_decompressStream(context_, &out, &in);
    require(!ZSTD_isError(result), "delta_patch", refused);
    input_position_ = in.pos;
    produced_ = out.pos;
    digest_->stored(produced_);
    if (result == 0) {
      require(input_position_ == input_fill_, "delta_patch", "Trailing data follows the delta frame");
      fill();
      require(input_fill_ == 0, "delta_patch", "Trailing data follows the delta frame");
      frame_done_ = true;
    }
  }
  if (handed_ < produced_) {
    // Handed out in blocks, so that extraction reports progress and may cancel between them.
    const std::size_t size = std::min<std::size_t>(produced_ - handed_, 1 << 20);
    const std::string_view bytes(output_ + handed_, size);
    handed_ += size;
    return bytes;
  }
  if (!checked_) {
    require(produced_ == capacity_ && digest_->value() == expected_sha256_, "delta_result",
            "Delta result differs from its signed length and digest");
    checked_ = true;
  }
  return {};
}

}  // namespace trelk
