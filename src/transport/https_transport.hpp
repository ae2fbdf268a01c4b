#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "transport/transport.hpp"

namespace trelk {

struct HttpsTransfer;
class ConnectionShare;

inline constexpr std::uint64_t https_memory_limit = 16777216;
inline constexpr std::uint64_t https_download_limit_bound = 1073741824;
inline constexpr std::uint64_t https_json_request_limit = 4096;
inline constexpr std::uint64_t https_small_response_limit = 16384;
inline constexpr std::uint64_t https_report_limit = 104857600;
inline constexpr std::uint64_t https_ca_bundle_limit = 1048576;
inline constexpr std::size_t https_component_limit = 8192;
inline constexpr const char* system_ca_bundle = "/etc/ssl/certs/ca-certificates.crt";

// The byte and time allowance of one optional (background) update check, shared by its requests.
struct HttpsBudget {
  std::chrono::steady_clock::time_point deadline;
  std::uint64_t byte_limit = 0;
  std::uint64_t bytes_used = 0;
  std::function<bool()> cancel;  // true: the user cancelled the check
};

// Sees the reservation of each file before it is downloaded into: its inode and whether it was preallocated.
using TransferObserver = std::function<void(std::uint64_t identity, bool preallocated)>;

// Percent-encodes every byte but ASCII letters, digits and "-._~" (and "/" when keep_slash), in upper-case hex.
std::string quote_url(std::string_view text, bool keep_slash);

// The only network path: one HTTPS origin, no proxies, no redirects, no content codings, trust from one
// configured CA bundle or the system bundle, bounded in-memory answers and exactly framed file downloads.
// One object is used by one thread; each request has its own easy handle, and the requests of one object
// reuse each other's connections and TLS sessions.
class HttpsTransport final : public Transport {
 public:
  // An empty ca_bundle trusts the system store; otherwise that bundle is the only trust. download_limit is
  // bytes per second (0: unlimited). budget, when set, bounds an optional check's bytes and time.
  HttpsTransport(std::string_view service_url, std::filesystem::path ca_bundle, std::uint64_t download_limit,
                 std::shared_ptr<HttpsBudget> budget);
  ~HttpsTransport() override;
  HttpsTransport(HttpsTransport&&) noexcept;
  HttpsTransport& operator=(HttpsTransport&&) noexcept;

  const std::string& base_url() const { return base_url_; }
  void set_transfer_observer(TransferObserver observer) { observer_ = std::move(observer); }

  // The base URL followed by the quoted relative path.
  std::string url(std::string_view path) const;

  TransportResponse get(std::string_view path, std::uint64_t limit) override;
  // One name below the root, "/" escaped.
  TransportResponse get_component(std::string_view name, std::uint64_t limit) override;
  void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t length,
                const Progress& progress) override;
  bool supports_resumption() const override { return true; }
  void download_into(std::string_view path, AllocatedFile& file, std::uint64_t offset, const Progress& progress,
                     const TransportData& on_data, const TransportRestart& on_restart) override;
  // A small JSON request (at most 4 KiB) answered in memory (at most 16 KiB).
  TransportResponse post_json(std::string_view path, const json& document, const Progress& progress);
  // Streams a frozen report file of size bytes with a bearer capability; fails if the file changes meanwhile.
  TransportResponse upload_report(std::string_view path, const std::filesystem::path& file, std::uint64_t size,
                                  std::string_view capability, const Progress& progress);

 private:
  TransportResponse perform(const std::string& target, HttpsTransfer& transfer);

  std::string base_url_;
  std::filesystem::path ca_bundle_;
  std::uint64_t download_limit_ = 0;
  std::shared_ptr<HttpsBudget> budget_;
  TransferObserver observer_;
  std::unique_ptr<ConnectionShare> share_;  // none when libcurl could not make one: every request connects
};

}  // namespace trelk
