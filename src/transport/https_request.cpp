#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "core/error.hpp"
#include "files/atomic.hpp"
#include "transport/https_transfer.hpp"

namespace trelk {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr long connect_timeout_ms = 10000;
constexpr long memory_timeout_ms = 30000;
constexpr long upload_timeout_ms = 590000;
constexpr long budget_window_ms = 30000;
constexpr const char* user_agent = "Trelk/0.1";

struct EasyHandle {
  CURL* handle = curl_easy_init();
  EasyHandle() = default;
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;
  ~EasyHandle() { curl_easy_cleanup(handle); }
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

template <typename Value>
void option(CURL* handle, CURLoption name, Value value, const char* code = "transport",
            const char* message = "Cannot initialize HTTPS request") {
  require(curl_easy_setopt(handle, name, value) == CURLE_OK, code, message);
}

// Exactly one trust source: the configured bundle (nothing native or system-wide added), or the system
// bundle at its fixed path. bundle keeps the configured bytes alive until the request ends.
void restrict_trust(CURL* handle, const std::filesystem::path& ca_bundle, std::string& bundle) {
  option(handle, CURLOPT_CAINFO, static_cast<const char*>(nullptr), "ca_bundle",
         "Cannot select the certificate trust source");
  option(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr), "ca_bundle",
         "Cannot select the certificate trust source");
  if (!ca_bundle.empty()) {
    bundle = read_file(ca_bundle, https_ca_bundle_limit);
    require(!bundle.empty(), "ca_bundle", "The configured CA bundle is empty");
    curl_blob blob{bundle.data(), bundle.size(), CURL_BLOB_COPY};
    option(handle, CURLOPT_CAINFO_BLOB, &blob, "ca_bundle",
           "The native HTTPS backend cannot use the configured CA bundle");
    option(handle, CURLOPT_SSL_OPTIONS, 0L, "ca_bundle",
           "Cannot restrict certificate trust to the configured CA bundle");
    return;
  }
  struct stat status {};
  require(::stat(system_ca_bundle, &status) == 0 && S_ISREG(status.st_mode), "ca_bundle",
          std::string("No system certificate store at ") + system_ca_bundle +
              "; Trelk supports Debian and NixOS (install the ca-certificates package)");
  option(handle, CURLOPT_CAINFO, system_ca_bundle, "ca_bundle", "Cannot use the operating system's certificate trust");
}

// Connect and overall timeouts; an optional check's budget is refused before any connection once spent.
void limit_time(CURL* handle, const HttpsTransfer& transfer, HttpsBudget* budget) {
  long connect_timeout = connect_timeout_ms;
  long timeout = transfer.mode == TransferMode::upload   ? upload_timeout_ms
                 : transfer.mode == TransferMode::memory ? memory_timeout_ms
                                                         : 0L;
  if (budget) {
    require(budget->bytes_used <= budget->byte_limit, "discovery_budget",
            "Optional update check exhausted its response budget");
    require(!(budget->cancel && budget->cancel()), "cancelled", "Optional update check cancelled");
    const auto remaining = std::chrono::duration_cast<milliseconds>(budget->deadline - Clock::now()).count();
    require(remaining >= 1 && remaining <= budget_window_ms, "discovery_timeout",
            "Optional update check exhausted its time budget");
    timeout = static_cast<long>(remaining);
    connect_timeout = std::min<long>(timeout, connect_timeout_ms);
  }
  option(handle, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout);
  option(handle, CURLOPT_TIMEOUT_MS, timeout);
}

}  // namespace

void initialize_https_library() {
  static std::once_flag once;
  // A throwing attempt leaves the flag unset, so a later transport tries again.
  std::call_once(once, [] {
    require(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK, "transport", "Cannot initialize HTTPS library");
  });
}

ConnectionShare::ConnectionShare() : share_(curl_share_init()) {
  if (share_ == nullptr) return;
  const auto lock = [](CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<ConnectionShare*>(self)->mutexes_[data].lock();
  };
  const auto unlock = [](CURL*, curl_lock_data data, void* self) {
    static_cast<ConnectionShare*>(self)->mutexes_[data].unlock();
  };
  const bool shared = curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, +lock) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, +unlock) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_USERDATA, static_cast<void*>(this)) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK;
  if (!shared) {
    curl_share_cleanup(share_);
    share_ = nullptr;
  }
}

ConnectionShare::~ConnectionShare() {
  if (share_ != nullptr) curl_share_cleanup(share_);
}

TransportResponse perform_request(const std::string& url, HttpsTransfer& transfer, const HttpsSettings& settings) {
  EasyHandle easy;
  CURL* handle = easy.handle;
  require(handle != nullptr, "transport", "Cannot initialize HTTPS request");
  // An empty proxy turns off every proxy, including those named by the environment.
  option(handle, CURLOPT_PROXY, "", "transport", "Cannot enforce the service connection boundary");

  if (settings.share != nullptr) option(handle, CURLOPT_SHARE, settings.share);
  option(handle, CURLOPT_URL, url.c_str());
  option(handle, CURLOPT_PROTOCOLS_STR, "https");
  option(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  option(handle, CURLOPT_FOLLOWLOCATION, 0L);
  option(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  option(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  transfer.budget = settings.budget;
  limit_time(handle, transfer, settings.budget);

  option(handle, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(settings.download_limit));
  option(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  option(handle, CURLOPT_LOW_SPEED_TIME, 30L);
  option(handle, CURLOPT_NOSIGNAL, 1L);
  option(handle, CURLOPT_USERAGENT, user_agent);
  transfer.handle = handle;
  option(handle, CURLOPT_WRITEFUNCTION, &HttpsTransfer::on_body);
  option(handle, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  option(handle, CURLOPT_XFERINFOFUNCTION, &HttpsTransfer::on_progress);
  option(handle, CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
  option(handle, CURLOPT_NOPROGRESS, 0L);
  if (transfer.mode == TransferMode::file) {
    option(handle, CURLOPT_HEADERFUNCTION, &HttpsTransfer::on_header);
    option(handle, CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
    option(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    option(handle, CURLOPT_ACCEPT_ENCODING, "identity");
    option(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    if (!transfer.range.empty()) option(handle, CURLOPT_RANGE, transfer.range.c_str());
  }
  std::string bundle;
  restrict_trust(handle, settings.ca_bundle, bundle);

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
    option(handle, CURLOPT_READFUNCTION, &HttpsTransfer::on_upload);
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
  require(!transfer.time_exhausted && !(result == CURLE_OPERATION_TIMEDOUT && settings.budget), "discovery_timeout",
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
