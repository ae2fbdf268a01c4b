#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "transport/https_transport.hpp"
#include "transport/response_admission.hpp"

namespace trelk {

enum class TransferMode { memory, file, upload };

// What one request carries through libcurl's callbacks: its shape, what arrived, and why it stopped.
// Each callback catches every exception, keeps the first and makes libcurl abort; the request rethrows it.
struct HttpsTransfer {
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
  std::exception_ptr failure;
  std::exception_ptr upload_failure;
  std::optional<DownloadResponseHeaders> headers;  // file downloads only
  std::uint64_t offset = 0;
  std::uint64_t total = 0;
  CURL* handle = nullptr;  // the request, for what its headers announced

  // Request shape.
  std::string range;
  std::string post_body;
  bool json_post = false;
  std::string capability;
  int upload_fd = -1;
  std::uint64_t upload_size = 0;
  std::uint64_t upload_remaining = 0;

  void capture(std::exception_ptr error);

  // libcurl callbacks; user is the HttpsTransfer.
  static std::size_t on_header(char* buffer, std::size_t size, std::size_t count, void* user);
  static std::size_t on_body(char* buffer, std::size_t size, std::size_t count, void* user);
  static int on_progress(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t upload_total,
                         curl_off_t upload_now);
  static std::size_t on_upload(char* buffer, std::size_t size, std::size_t count, void* user);
};

// The open connections, TLS sessions and name lookups that the requests of one transport reuse. libcurl
// reuses a connection only for the same origin under the same trust settings, and closes one that a
// request abandoned or that carried bytes beyond a response.
class ConnectionShare {
 public:
  ConnectionShare();
  ~ConnectionShare();
  ConnectionShare(const ConnectionShare&) = delete;
  ConnectionShare& operator=(const ConnectionShare&) = delete;
  CURLSH* get() const { return share_; }

 private:
  std::mutex mutexes_[CURL_LOCK_DATA_LAST];  // one per kind of data: libcurl may hold one while taking another
  CURLSH* share_ = nullptr;
};

// The connection boundary every request of one transport shares.
struct HttpsSettings {
  const std::filesystem::path& ca_bundle;  // empty: the system store
  std::uint64_t download_limit = 0;        // bytes per second, 0: unlimited
  HttpsBudget* budget = nullptr;
  CURLSH* share = nullptr;  // none: the request opens a connection of its own
};

// Initialises libcurl once per process.
void initialize_https_library();

// Performs one request on the calling thread and maps every way it can stop to one Error.
TransportResponse perform_request(const std::string& url, HttpsTransfer& transfer, const HttpsSettings& settings);

}  // namespace trelk
