#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace trelk {

// Bounds of the header section of one download transfer.
inline constexpr std::size_t download_header_line_limit = 8192;
inline constexpr std::uint64_t download_header_bytes_limit = 65536;
inline constexpr std::uint32_t download_status_line_limit = 8;
inline constexpr std::uint32_t download_field_line_limit = 128;

// One or more ASCII digits as an unsigned 64-bit value; anything else, or overflow, is refused.
std::uint64_t decimal(std::string_view text);

// ASCII letters lower-cased, every other byte unchanged.
std::string lower(std::string_view text);

// Incremental validator between the HTTPS library and a file download. It is fed every header
// line of every response (interim and final), admits only a 200 or 206 response that frames
// exactly the bytes the signed metadata authorises, then polices each body chunk and the end.
// After it has thrown, the object must not be used again.
class DownloadResponseHeaders {
 public:
  // total is the authenticated length (an upper bound unless exact); offset the resume point.
  DownloadResponseHeaders(std::uint64_t total, std::uint64_t offset, bool exact);

  // One header line exactly as received, including its line end.
  void line(std::string_view text);
  // Called before n body bytes are stored.
  void body(std::uint64_t n);
  // Called once after the transfer completed without error.
  void finish() const;

  bool admitted() const { return admitted_; }
  // Where the admitted body begins in the file: 0 when a resume was answered with the whole file.
  std::uint64_t start() const { return start_; }
  std::uint64_t received() const { return received_; }
  std::uint64_t status() const { return status_; }

 private:
  // Runs at the blank line that ends a header block.
  void admit();

  std::uint64_t total_;
  std::uint64_t offset_;
  std::uint64_t start_;
  std::uint64_t received_ = 0;
  std::uint64_t header_bytes_ = 0;
  std::optional<std::uint64_t> declared_length_;
  std::string content_range_;
  std::string content_encoding_;
  std::string transfer_encoding_;
  std::string content_type_;
  std::set<std::string, std::less<>> seen_framing_;
  std::uint64_t status_ = 0;
  std::uint32_t status_lines_ = 0;
  std::uint32_t field_lines_ = 0;
  bool exact_;
  bool admitted_ = false;
  bool body_started_ = false;
};

}  // namespace trelk
