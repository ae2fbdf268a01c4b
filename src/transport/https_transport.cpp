#include "transport/https_transport.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/descriptor.hpp"
#include "files/directories.hpp"
#include "snapshot/allocated_file.hpp"
#include "transport/https_transfer.hpp"

namespace trelk {

namespace {

struct UrlHandle {
  CURLU* handle = curl_url();
  UrlHandle() = default;
  UrlHandle(const UrlHandle&) = delete;
  UrlHandle& operator=(const UrlHandle&) = delete;
  ~UrlHandle() { curl_url_cleanup(handle); }
  bool has(CURLUPart part) const {
    char* value = nullptr;
    const CURLUcode code = curl_url_get(handle, part, &value, 0);
    const bool present = code == CURLUE_OK && value != nullptr && *value != '\0';
    curl_free(value);
    return present;
  }
};

bool lower_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::string quote_url(std::string_view text, bool keep_slash) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string quoted;
  quoted.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                       byte == '-' || byte == '.' || byte == '_' || byte == '~' || (keep_slash && byte == '/');
    if (plain) {
      quoted += c;
    } else {
      quoted += '%';
      quoted += digits[byte >> 4];
      quoted += digits[byte & 0x0f];
    }
  }
  return quoted;
}

HttpsTransport::HttpsTransport(std::string_view service_url, std::filesystem::path ca_bundle,
                               std::uint64_t download_limit, std::shared_ptr<HttpsBudget> budget)
    : ca_bundle_(std::move(ca_bundle)), download_limit_(download_limit), budget_(std::move(budget)) {
  initialize_client_runtime();
  require(download_limit <= https_download_limit_bound, "download_limit", "Download limit exceeds 1 GiB/s");
  initialize_https_library();
  require(service_url.starts_with("https://"), "https_required", "Trelk service URLs must use HTTPS");
  const std::string text(service_url);
  UrlHandle parsed;
  require(parsed.handle != nullptr && curl_url_set(parsed.handle, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK,
          "invalid_url", "Invalid service URL");
  require(parsed.has(CURLUPART_HOST), "invalid_url", "URL must contain a hostname");
  require(!parsed.has(CURLUPART_USER) && !parsed.has(CURLUPART_PASSWORD) && !parsed.has(CURLUPART_QUERY) &&
              !parsed.has(CURLUPART_FRAGMENT),
          "invalid_url", "Service URL must not contain credentials, query, or fragment");
  // A bare "?" or "#" parses as an empty part; it still is not a plain origin and path.
  require(text.find_first_of("?#") == std::string::npos, "invalid_url",
          "Service URL must not contain credentials, query, or fragment");
  base_url_ = text.ends_with('/') ? text : text + "/";
  share_ = std::make_unique<ConnectionShare>();
}

std::string HttpsTransport::url(std::string_view path) const {
  validate_relative_path(path, true);
  return base_url_ + quote_url(path, true);
}

TransportResponse HttpsTransport::get(std::string_view path, std::uint64_t limit) {
  require(limit <= https_memory_limit, "size_limit", "In-memory response limit exceeds 16 MiB");
  HttpsTransfer transfer;
  transfer.maximum = limit;
  return perform(url(path), transfer);
}

TransportResponse HttpsTransport::get_component(std::string_view name, std::uint64_t limit) {
  require(!name.empty() && name.size() <= https_component_limit && name != "." && name != "..", "size_limit",
          "Metadata filename exceeds its component bound");
  require(limit <= https_memory_limit, "size_limit", "In-memory response limit exceeds 16 MiB");
  HttpsTransfer transfer;
  transfer.maximum = limit;
  return perform(base_url_ + quote_url(name, false), transfer);
}

void HttpsTransport::download(std::string_view path, const std::filesystem::path& destination, std::uint64_t length,
                              const Progress& progress) {
  const std::string target = url(path);
  private_directory(destination.parent_path());
  AllocatedFile file(destination, length, ReservationCallback{});
  if (observer_) observer_(file.reservation().inode, file.reservation().preallocated);
  HttpsTransfer transfer;
  transfer.mode = TransferMode::file;
  transfer.file = &file;
  transfer.progress = &progress;
  transfer.total = length;
  transfer.maximum = length;
  transfer.headers.emplace(length, 0, false);
  const TransportResponse response = perform(target, transfer);
  require(response.status == 200, "http_status", "Download failed with status " + std::to_string(response.status));
  file.finish(false);
}

void HttpsTransport::download_into(std::string_view path, AllocatedFile& file, std::uint64_t offset,
                                   const Progress& progress, const TransportData& on_data,
                                   const TransportRestart& on_restart) {
  const std::uint64_t total = file.reservation().length;
  require(offset == file.written() && offset <= total, "download_range",
          "Download cursor differs from the recorded prefix");
  const std::string target = url(path);
  HttpsTransfer transfer;
  transfer.mode = TransferMode::file;
  transfer.file = &file;
  transfer.progress = &progress;
  transfer.on_data = &on_data;
  transfer.on_restart = &on_restart;
  transfer.offset = offset;
  transfer.total = total;
  transfer.maximum = total - offset;
  transfer.headers.emplace(total, offset, true);
  if (offset != 0) transfer.range = std::to_string(offset) + "-" + std::to_string(total - 1);
  if (observer_) observer_(file.reservation().inode, file.reservation().preallocated);
  perform(target, transfer);
}

TransportResponse HttpsTransport::post_json(std::string_view path, const json& document, const Progress& progress) {
  HttpsTransfer transfer;
  transfer.post_body = document.dump();
  require(transfer.post_body.size() <= https_json_request_limit, "size_limit", "Ticket request exceeds 4 KiB");
  transfer.json_post = true;
  transfer.maximum = https_small_response_limit;
  transfer.progress = &progress;
  return perform(url(path), transfer);
}

TransportResponse HttpsTransport::upload_report(std::string_view path, const std::filesystem::path& file,
                                                std::uint64_t size, std::string_view capability,
                                                const Progress& progress) {
  require(size >= 1 && size <= https_report_limit, "size_limit", "Report upload exceeds 100 MiB");
  require(capability.size() == 64 && lower_hex(capability), "crash_ticket", "Upload capability is invalid");
  struct stat status {};
  require(::lstat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode), "crash_changed",
          "Frozen upload snapshot is invalid");
  Descriptor input(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  require(input.valid(), "file_read", "Cannot open reviewed upload snapshot");
  HttpsTransfer transfer;
  transfer.mode = TransferMode::upload;
  transfer.capability = std::string(capability);
  transfer.upload_fd = input.get();
  transfer.upload_size = size;
  transfer.upload_remaining = size;
  transfer.maximum = https_small_response_limit;
  transfer.progress = &progress;
  const TransportResponse response = perform(url(path), transfer);
  if (response.status >= 200 && response.status <= 299) {
    char extra = 0;
    ssize_t got = 0;
    do {
      got = ::read(input.get(), &extra, 1);
    } while (got < 0 && errno == EINTR);
    require(transfer.upload_remaining == 0 && got == 0, "crash_changed",
            "Frozen upload snapshot changed during transfer");
  }
  return response;
}

TransportResponse HttpsTransport::perform(const std::string& target, HttpsTransfer& transfer) {
  return perform_request(target, transfer,
                         {ca_bundle_, download_limit_, budget_.get(), share_ ? share_->get() : nullptr});
}

HttpsTransport::~HttpsTransport() = default;
HttpsTransport::HttpsTransport(HttpsTransport&&) noexcept = default;
HttpsTransport& HttpsTransport::operator=(HttpsTransport&&) noexcept = default;

}  // namespace trelk
