#include "transport/response_admission.hpp"

#include <array>

#include "core/error.hpp"

namespace trelk {

namespace {

constexpr std::string_view headers_code = "download_headers";
constexpr std::string_view range_code = "download_range";
constexpr std::string_view length_code = "length_mismatch";

[[noreturn]] void refuse(std::string_view code, std::string_view message) {
  fail(std::string(code), std::string(message));
}

void check(bool condition, std::string_view message) {
  if (!condition) refuse(headers_code, message);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The token characters a field name may use.
bool is_name_char(char c) {
  return is_digit(c) || is_letter(c) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

constexpr std::array<std::string_view, 5> framing_fields = {"content-length", "content-range", "content-encoding",
                                                            "transfer-encoding", "content-type"};

bool is_framing(std::string_view name) {
  for (auto field : framing_fields) {
    if (name == field) return true;
  }
  return false;
}

// Bytes left between a position in the file and its authenticated end; the position never
// passes the end while the validator holds, but a broken invariant must not wrap around.
std::uint64_t remaining(std::uint64_t total, std::uint64_t start, std::uint64_t received) {
  std::uint64_t position = 0;
  if (__builtin_add_overflow(start, received, &position) || position > total) {
    refuse("size_limit", "Download exceeds its authenticated length");
  }
  return total - position;
}

}  // namespace

std::uint64_t decimal(std::string_view text) {
  check(!text.empty(), "Invalid download length or range");
  std::uint64_t value = 0;
  for (char c : text) {
    check(is_digit(c), "Invalid download length or range");
    bool overflow = __builtin_mul_overflow(value, std::uint64_t{10}, &value);
    overflow = __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value) || overflow;
    check(!overflow, "Invalid download length or range");
  }
  return value;
}

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

DownloadResponseHeaders::DownloadResponseHeaders(std::uint64_t total, std::uint64_t offset, bool exact)
    : total_(total), offset_(offset), start_(offset), exact_(exact) {
  if (offset > total) refuse(range_code, "Resume offset exceeds authenticated length");
}

void DownloadResponseHeaders::line(std::string_view text) {
  // Both bounds are checked before adding, so the sum stays at most the transfer bound.
  check(text.size() <= download_header_line_limit && header_bytes_ + text.size() <= download_header_bytes_limit,
        "Download headers exceed their bounded format");
  header_bytes_ += text.size();

  check(!text.empty() && text.back() == '\n', "Download header line is incomplete");
  text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);

  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    check((byte >= 0x20 || byte == '\t') && byte != 0x7F, "Download header contains control bytes");
  }

  if (text.size() >= 5 && text.starts_with("HTTP/")) {
    check(!body_started_ && status_lines_ < download_status_line_limit, "Unexpected download response sequence");
    ++status_lines_;
    const auto space = text.find(' ');
    check(space != std::string_view::npos, "Invalid download status line");
    const auto version = text.substr(0, space);
    check(version == "HTTP/1.0" || version == "HTTP/1.1" || version == "HTTP/2" || version == "HTTP/3",
          "Invalid download status line");
    const auto rest = text.substr(space + 1);
    // A reason phrase may follow the code, but only after a space.
    check(rest.size() >= 3 && (rest.size() == 3 || rest[3] == ' '), "Invalid download status line");
    const auto status = decimal(rest.substr(0, 3));
    check(status >= 100 && status <= 599, "Invalid download status");

    status_ = status;
    admitted_ = false;
    field_lines_ = 0;
    declared_length_.reset();
    content_range_.clear();
    content_encoding_.clear();
    transfer_encoding_.clear();
    content_type_.clear();
    seen_framing_.clear();
    return;
  }

  check(status_ != 0, "Download headers precede their status");

  if (text.empty()) {
    if (!admitted_) admit();
    return;
  }

  check(text.front() != ' ' && text.front() != '\t' && field_lines_ < download_field_line_limit,
        "Invalid or excessive download fields");
  ++field_lines_;

  const auto colon = text.find(':');
  check(colon != std::string_view::npos && colon != 0, "Invalid download field");
  const auto raw_name = text.substr(0, colon);
  for (char c : raw_name) check(is_name_char(c), "Invalid download field name");
  const auto name = lower(raw_name);
  const auto value = trim_blanks(text.substr(colon + 1));

  if (!is_framing(name)) return;
  check(!admitted_ && !seen_framing_.contains(name), "Duplicate or late download framing field");
  seen_framing_.insert(name);
  if (name == "content-range") {
    content_range_ = value;
  } else if (name == "content-length") {
    declared_length_ = decimal(value);
  } else if (name == "content-encoding") {
    content_encoding_ = lower(value);
  } else if (name == "transfer-encoding") {
    transfer_encoding_ = lower(value);
  } else {
    content_type_ = lower(value);
  }
}

void DownloadResponseHeaders::admit() {
  if (status_ >= 100 && status_ <= 199) {
    check(status_ != 101, "Download protocol upgrades are not supported");
    return;  // an interim response; the final one follows with its own status line
  }
  if (status_ >= 300 && status_ <= 399) refuse("redirect_rejected", "Server redirects are not permitted");
  if (status_ != 200 && status_ != 206) {
    refuse("http_status", "Download failed with status " + std::to_string(status_));
  }

  // Presence, not value, decides: an empty coding field is as unexpected as an unknown one.
  check(!seen_framing_.contains("content-encoding") || content_encoding_ == "identity",
        "Download content encoding changes authenticated bytes");
  check(!seen_framing_.contains("transfer-encoding") || (transfer_encoding_ == "chunked" && !declared_length_),
        "Unsupported download transfer framing");
  if (content_type_.size() >= 20 && content_type_.starts_with("multipart/byteranges")) {
    refuse(range_code, "Multipart download ranges are not supported");
  }

  const bool has_range = seen_framing_.contains("content-range");
  if (status_ == 200) {
    if (has_range) refuse(range_code, "A full response contains an unexpected range");
    start_ = 0;  // the server sends the whole file again, whatever was requested
  } else {
    if (offset_ == 0 || !has_range) refuse(range_code, "A partial response requires the requested single range");
    const std::string_view range = content_range_;
    const auto space = range.find(' ');
    const auto dash = space == std::string_view::npos ? space : range.find('-', space + 1);
    const auto slash = dash == std::string_view::npos ? dash : range.find('/', dash + 1);
    if (slash == std::string_view::npos || lower(range.substr(0, space)) != "bytes") {
      refuse(range_code, "Invalid download content range");
    }
    const auto first = decimal(range.substr(space + 1, dash - space - 1));
    const auto last = decimal(range.substr(dash + 1, slash - dash - 1));
    const auto complete = decimal(range.substr(slash + 1));
    if (total_ == 0 || first != offset_ || last != total_ - 1 || complete != total_ || first > last) {
      refuse(range_code, "Server range differs from the authenticated remaining bytes");
    }
    start_ = first;
  }

  if (declared_length_) {
    const auto bound = total_ - start_;  // start is 0 or the offset, both at most total
    const bool fits = exact_ ? *declared_length_ == bound : *declared_length_ <= bound;
    if (!fits) refuse(length_code, "Server length differs from the authenticated download bound");
  }
  admitted_ = true;
}

void DownloadResponseHeaders::body(std::uint64_t n) {
  check(admitted_, "Download body precedes admitted headers");
  body_started_ = true;
  if (n > remaining(total_, start_, received_)) refuse("size_limit", "Download exceeds its authenticated length");
  if (declared_length_ && (received_ > *declared_length_ || n > *declared_length_ - received_)) {
    refuse(length_code, "Download exceeds its declared response length");
  }
  received_ += n;  // cannot wrap: start + received + n stays at most total
}

void DownloadResponseHeaders::finish() const {
  check(admitted_, "Download has no admitted final response");
  const bool declared_met = !declared_length_ || received_ == *declared_length_;
  const bool exact_met = !exact_ || received_ == remaining(total_, start_, 0);
  if (!declared_met || !exact_met) {
    refuse(length_code, "Download body is shorter than its authenticated response length");
  }
}

}  // namespace trelk
