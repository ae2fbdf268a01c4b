#pragma once
// Real HTTPS servers on 127.0.0.1 for the tests of the HTTPS client: nginx for correct serving, and a scriptable
// hostile server for framing a well-behaved server never produces. Both run as child processes in their own
// process group and never outlive their fixture object.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.hpp"

namespace trelk::test {

// Which certificate a server presents: valid (localhost and 127.0.0.1, signed by the CA), signed by another
// (untrusted) CA, signed by the CA for elsewhere.test only, or signed by the CA and expired in 2020.
enum class ServerCert { valid, other_ca, wrong_host, expired };

// A private CA and P-256 certificates, made by scripts/test-pki.sh in dir (which the caller owns).
struct TestPki {
  explicit TestPki(const std::filesystem::path& dir);
  std::filesystem::path dir;
  std::filesystem::path ca;  // the CA certificate: the client's CA bundle
  // The certificate and key files of one kind.
  std::pair<std::filesystem::path, std::filesystem::path> files(ServerCert cert) const;
};

// One TestPki per test process, made on first use: certificates cost more than the servers that present them.
const TestPki& shared_pki();

// A child process in its own process group: the group is killed and the child reaped when this goes, and the
// child dies with the test process even when that ends without unwinding.
struct ServerProcess {
  pid_t pid = -1;
  ServerProcess() = default;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess() { stop(); }
  void stop();
};

// nginx serving root over HTTPS (HTTP/1.1, byte ranges) on 127.0.0.1, configured by scripts/nginx-conf.sh with
// its logs and temp paths in a private directory. Access log lines read:  "GET /a HTTP/1.1" 206 range="bytes=0-9"
// sent=10 (range="-" when no Range header was sent; sent counts body bytes).
class NginxServer {
 public:
  NginxServer(const TestPki& pki, const std::filesystem::path& root, ServerCert cert = ServerCert::valid);
  std::string url() const { return "https://localhost:" + std::to_string(port_) + "/"; }
  // The lines so far; waits up to five seconds for at_least lines, as nginx logs just after the last byte goes out.
  std::vector<std::string> access_log(std::size_t at_least = 0) const;

 private:
  TempDir dir_;
  std::uint16_t port_ = 0;
  ServerProcess process_;
};

// A scriptable HTTPS server (hostile_https.py). The first path segment names the answer, the second the length n
// of the file, whose bytes are i % 251 (pattern_bytes): /ok/1000 (ranges honoured), /redirect307/n (also 301, 302,
// 308, all to /ok/n), /gzip/n, /chunked/n, /full-for-range/n, /long-body/n, /short-body/n, /drop/n,
// /stall/n, /status/<code>, /json (echoes a POST body). Every connection is closed after one response.
class HostileServer {
 public:
  explicit HostileServer(const TestPki& pki, ServerCert cert = ServerCert::valid);
  std::string url() const { return "https://localhost:" + std::to_string(port_) + "/"; }
  // Every request received so far (request line, headers, the empty line and any body), as sent, in order.
  std::string requests() const;

 private:
  TempDir dir_;
  std::uint16_t port_ = 0;
  ServerProcess process_;
};

// The servers' file content: bytes i % 251 for i in [offset, offset + size).
std::string pattern_bytes(std::size_t size, std::size_t offset = 0);

}  // namespace trelk::test
