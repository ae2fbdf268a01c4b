#include "transport/https_transport.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/descriptor.hpp"
#include "files/directories.hpp"
#include "snapshot/allocated_file.hpp"
#include "transport/response_admission.hpp"

namespace trelk {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr long connect_timeout_ms = 10000;
constexpr long memory_timeout_ms = 30000;
constexpr long upload_timeout_ms = 590000;
constexpr long budget_window_ms = 30000;
constexpr std::size_t upload_block = 65536;
constexpr const char* user_agent = "Trelk/0.1";

void initialize_curl() {
  static std::once_flag once;
  // A throwing attempt leaves the flag unset, so a later transport tries again.
  std::call_once(once, [] {
    require(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK, "transport", "Cannot initialize HTTPS library");
  });
}

struct EasyHandle {
  CURL* handle = curl_easy_init();
  EasyHandle() = default;
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;
  ~EasyHandle() { curl_easy_cleanup(handle); }
};

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

struct HeaderList {
  curl_slist* list = nullptr;
  HeaderList() = default;
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  ~HeaderList() { curl_slist_free_all(list); }
  void add(const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    require(grown != nullptr, "transport", "Cannot allocate upload headers");
    list = grown;
  }
};

// Any value other than the chunk size makes libcurl abort the transfer.
std::size_t abort_value(std::size_t n) { return n == 0 ? 1 : 0; }

bool multiply(std::size_t size, std::size_t count, std::size_t& product) {
  if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return false;
  product = size * count;
  return true;
}

bool lower_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

template <typename Value>
void option(CURL* handle, CURLoption name, Value value, const char* code = "transport",
            const char* message = "Cannot initialize HTTPS request") {
  require(curl_easy_setopt(handle, name, value) == CURLE_OK, code, message);
}

}  // namespace

enum class TransferMode { memory, file, upload };

struct HttpsTransport::Transfer {
  TransferMode mode = TransferMode::memory;
  std::uint64_t maximum = 0;
  std::uint64_t received = 0;
  std::string body;
  AllocatedFile* file = nullptr;
  const Progress* progress = nullptr;
  const TransportData* on_data = nullptr;
  const TransportRestart* on_restart = nullptr;
  bool too_large = false;
  bool cancelled = false;
  bool budget_exhausted = false;
  bool time_exhausted = false;
  HttpsBudget* budget = nullptr;
  bool uploading = false;
  std::exception_ptr failure;
  std::exception_ptr upload_failure;
  std::optional<DownloadResponseHeaders> headers;
  std::uint64_t offset = 0;
  std::uint64_t total = 0;

  // Request shape.
  std::string range;
  std::string post_body;
  bool json_post = false;
  std::string capability;
  int upload_fd = -1;
  std::uint64_t upload_size = 0;
  std::uint64_t upload_remaining = 0;

  void capture(std::exception_ptr error) {
    if (!failure) failure = std::move(error);
  }

  static std::size_t on_header(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto& self = *static_cast<Transfer*>(user);
    std::size_t n = 0;
    if (!multiply(size, count, n)) return abort_value(n);
    try {
      const bool was_admitted = self.headers->admitted();
      self.headers->line(std::string_view(buffer, n));
      // A resume answered with the whole file: start the file again from its first byte.
      if (!was_admitted && self.headers->admitted() && self.offset > 0 && self.headers->start() == 0) {
        // The caller first stops vouching for the old prefix, then the file is cut back.
        if (self.on_restart && *self.on_restart) (*self.on_restart)();
        self.file->restart();
        self.offset = 0;
        self.maximum = self.total;
        self.received = 0;
      }
      return n;
    } catch (...) {
      self.capture(std::current_exception());
      return abort_value(n);
    }
  }

  static std::size_t on_body(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto& self = *static_cast<Transfer*>(user);
    std::size_t n = 0;
    if (!multiply(size, count, n)) return abort_value(n);
    try {
      if (self.budget) {
        if (self.budget->bytes_used > self.budget->byte_limit ||
            n > self.budget->byte_limit - self.budget->bytes_used) {
          self.budget_exhausted = true;
          return abort_value(n);
        }
        self.budget->bytes_used += n;
      }
      if (n > self.maximum - self.received) {
        self.too_large = true;
        return abort_value(n);
      }
      const std::string_view chunk(buffer, n);
      if (self.mode == TransferMode::file) {
        self.headers->body(n);
        self.file->write(chunk);
        self.received += n;
        if (self.on_data && *self.on_data) (*self.on_data)(chunk);
      } else {
        self.received += n;
        self.body.append(chunk);
      }
      return n;
    } catch (...) {
      self.capture(std::current_exception());
      return abort_value(n);
    }
  }

  static int on_progress(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t upload_total,
                         curl_off_t upload_now) {
    auto& self = *static_cast<Transfer*>(user);
    try {
      if (self.budget) {
        if (self.budget->cancel && self.budget->cancel()) {
          self.cancelled = true;
          return 1;
        }
        if (Clock::now() >= self.budget->deadline) {
          self.time_exhausted = true;
          return 1;
        }
      }
      if (!self.progress || !*self.progress) return 0;
      auto clamp = [](curl_off_t value) { return static_cast<std::uint64_t>(std::max<curl_off_t>(value, 0)); };
      std::uint64_t done = clamp(download_now), total = clamp(download_total);
      if (self.mode == TransferMode::upload) {
        done = clamp(upload_now);
        total = clamp(upload_total);
      } else if (self.mode == TransferMode::file) {
        done = self.offset + self.received;
        total = self.total;
      }
      if (!(*self.progress)(done, total)) {
        self.cancelled = true;
        return 1;
      }
      return 0;
    } catch (...) {
      self.capture(std::current_exception());
      return 1;
    }
  }

  // The report must be exactly the reviewed snapshot: a file that shrinks or grows stops the upload.
  static std::size_t on_upload(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto& self = *static_cast<Transfer*>(user);
    const Error changed("crash_changed", "Frozen upload snapshot changed during transfer");
    std::size_t requested = 0;
    if (!multiply(size, count, requested)) return CURL_READFUNC_ABORT;
    if (self.upload_remaining == 0) {
      char extra = 0;
      ssize_t got = 0;
      do {
        got = ::read(self.upload_fd, &extra, 1);
      } while (got < 0 && errno == EINTR);
      if (got == 0) return 0;
      if (!self.upload_failure) self.upload_failure = std::make_exception_ptr(changed);
      return CURL_READFUNC_ABORT;
    }
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>({requested, upload_block, self.upload_remaining}));
    std::size_t have = 0;
    while (have < want) {
      const ssize_t got = ::read(self.upload_fd, buffer + have, want - have);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (!self.upload_failure) self.upload_failure = std::make_exception_ptr(changed);
        return CURL_READFUNC_ABORT;
      }
      have += static_cast<std::size_t>(got);
    }
    self.upload_remaining -= have;
    return have;
  }
};

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
  initialize_curl();
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
  const std::size_t slash = base_url_.find('/', std::string_view("https://").size());
  origin_ = base_url_.substr(0, slash);
}

std::string HttpsTransport::url(std::string_view path) const {
  validate_relative_path(path, true);
  return base_url_ + quote_url(path, true);
}

TransportResponse HttpsTransport::get(std::string_view path, std::uint64_t limit) {
  require(limit <= https_memory_limit, "size_limit", "In-memory response limit exceeds 16 MiB");
  Transfer transfer;
  transfer.maximum = limit;
  return perform(url(path), transfer);
}

TransportResponse HttpsTransport::get_component(std::string_view name, std::uint64_t limit) {
  require(!name.empty() && name.size() <= https_component_limit && name != "." && name != "..", "size_limit",
          "Metadata filename exceeds its component bound");
  require(limit <= https_memory_limit, "size_limit", "In-memory response limit exceeds 16 MiB");
  Transfer transfer;
  transfer.maximum = limit;
  return perform(base_url_ + quote_url(name, false), transfer);
}

void HttpsTransport::download(std::string_view path, const std::filesystem::path& destination, std::uint64_t length,
                              const Progress& progress) {
  const std::string target = url(path);
  private_directory(destination.parent_path());
  AllocatedFile file(destination, length, ReservationCallback{});
  if (observer_) observer_(file.reservation().inode, file.reservation().preallocated);
  Transfer transfer;
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
  Transfer transfer;
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
  Transfer transfer;
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
  Transfer transfer;
  transfer.mode = TransferMode::upload;
  transfer.uploading = true;
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

TransportResponse HttpsTransport::perform(const std::string& target, Transfer& transfer) {
  EasyHandle easy;
  CURL* handle = easy.handle;
  require(handle != nullptr, "transport", "Cannot initialize HTTPS request");
  // An empty proxy turns off every proxy, including those named by the environment.
  option(handle, CURLOPT_PROXY, "", "transport", "Cannot enforce the service connection boundary");

  option(handle, CURLOPT_URL, target.c_str());
  option(handle, CURLOPT_PROTOCOLS_STR, "https");
  option(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  option(handle, CURLOPT_FOLLOWLOCATION, 0L);
  option(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  option(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  long connect_timeout = connect_timeout_ms;
  long timeout = transfer.mode == TransferMode::upload   ? upload_timeout_ms
                 : transfer.mode == TransferMode::memory ? memory_timeout_ms
                                                         : 0L;

  if (budget_) {
    transfer.budget = budget_.get();
    require(budget_->bytes_used <= budget_->byte_limit, "discovery_budget",
            "Optional update check exhausted its response budget");
    require(!(budget_->cancel && budget_->cancel()), "cancelled", "Optional update check cancelled");
    const auto remaining = std::chrono::duration_cast<milliseconds>(budget_->deadline - Clock::now()).count();
    require(remaining >= 1 && remaining <= budget_window_ms, "discovery_timeout",
            "Optional update check exhausted its time budget");
    timeout = static_cast<long>(remaining);
    connect_timeout = std::min<long>(timeout, connect_timeout_ms);
  }
  option(handle, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout);
  option(handle, CURLOPT_TIMEOUT_MS, timeout);

  option(handle, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(download_limit_));
  option(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  option(handle, CURLOPT_LOW_SPEED_TIME, 30L);
  option(handle, CURLOPT_NOSIGNAL, 1L);
  option(handle, CURLOPT_USERAGENT, user_agent);
  option(handle, CURLOPT_WRITEFUNCTION, &Transfer::on_body);
  option(handle, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  option(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::on_progress);
  option(handle, CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
  option(handle, CURLOPT_NOPROGRESS, 0L);
  if (transfer.mode == TransferMode::file) {
    option(handle, CURLOPT_HEADERFUNCTION, &Transfer::on_header);
    option(handle, CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
    option(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    option(handle, CURLOPT_ACCEPT_ENCODING, "identity");
    option(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    if (!transfer.range.empty()) option(handle, CURLOPT_RANGE, transfer.range.c_str());
  }

  option(handle, CURLOPT_CAINFO, static_cast<const char*>(nullptr), "ca_bundle",
         "Cannot select the certificate trust source");
  option(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr), "ca_bundle",
         "Cannot select the certificate trust source");
  std::string bundle;
  if (!ca_bundle_.empty()) {
    bundle = read_file(ca_bundle_, https_ca_bundle_limit);
    require(!bundle.empty(), "ca_bundle", "The configured CA bundle is empty");
    curl_blob blob{bundle.data(), bundle.size(), CURL_BLOB_COPY};
    option(handle, CURLOPT_CAINFO_BLOB, &blob, "ca_bundle",
           "The native HTTPS backend cannot use the configured CA bundle");
    option(handle, CURLOPT_SSL_OPTIONS, 0L, "ca_bundle",
           "Cannot restrict certificate trust to the configured CA bundle");
  } else {
    struct stat status {};
    require(::stat(system_ca_bundle, &status) == 0 && S_ISREG(status.st_mode), "ca_bundle",
            std::string("No system certificate store at ") + system_ca_bundle +
                "; Trelk supports Debian and NixOS (install the ca-certificates package)");
    option(handle, CURLOPT_CAINFO, system_ca_bundle, "ca_bundle",
           "Cannot use the operating system's certificate trust");
  }

  HeaderList headers;
  if (transfer.mode == TransferMode::upload || transfer.json_post) {
    headers.add(transfer.json_post ? "Content-Type: application/json" : "Content-Type: application/octet-stream");
    headers.add("Expect:");
    if (!transfer.capability.empty()) headers.add("Authorization: Bearer " + transfer.capability);
    option(handle, CURLOPT_HTTPHEADER, headers.list);
  }
  if (transfer.mode == TransferMode::upload) {
    option(handle, CURLOPT_UPLOAD, 1L);
    option(handle, CURLOPT_CUSTOMREQUEST, "POST");
    option(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(transfer.upload_size));
    option(handle, CURLOPT_READFUNCTION, &Transfer::on_upload);
    option(handle, CURLOPT_READDATA, static_cast<void*>(&transfer));
  } else if (transfer.json_post) {
    option(handle, CURLOPT_POST, 1L);
    option(handle, CURLOPT_POSTFIELDS, transfer.post_body.c_str());
    option(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer.post_body.size()));
  }
  char error_text[CURL_ERROR_SIZE] = {};
  option(handle, CURLOPT_ERRORBUFFER, error_text);

  const CURLcode result = curl_easy_perform(handle);
  if (transfer.failure) std::rethrow_exception(transfer.failure);
  if (transfer.upload_failure) std::rethrow_exception(transfer.upload_failure);
  require(!transfer.cancelled, "cancelled", "Transfer cancelled at a safe boundary");
  require(!transfer.budget_exhausted, "discovery_budget",
          "Optional update check exhausted its response budget; use Check for updates for a complete check");
  require(!transfer.time_exhausted && !(result == CURLE_OPERATION_TIMEDOUT && budget_), "discovery_timeout",
          "Optional update check exhausted its time budget; use Check for updates when ready");
  require(!transfer.too_large, "size_limit", "Server sent more than the authenticated size limit");
  require(result == CURLE_OK, "network", error_text[0] != '\0' ? error_text : curl_easy_strerror(result));

  if (transfer.mode == TransferMode::file) transfer.headers->finish();
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  require(status < 300 || status > 399, "redirect_rejected", "Server redirects are not permitted");
  return {static_cast<std::uint64_t>(status), std::move(transfer.body)};
}

}  // namespace trelk
