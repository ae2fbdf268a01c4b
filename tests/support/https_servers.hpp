#pragma once
// Real HTTPS servers on 127.0.0.1 for the tests of the HTTPS client: nginx for correct serving, and a scriptable
// hostile server for framing a well-behaved server never produces. Both run as child processes in their own
// process group and never outlive their fixture object.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace trelk::test {

// A private CA and certificates, made by scripts/test-pki.sh in dir (which the caller owns). Keys are P-256.
struct TestPki {
  explicit TestPki(const std::filesystem::path& dir);
  std::filesystem::path ca;                               // the CA certificate: the client's CA bundle
  std::filesystem::path cert, key;                        // localhost and 127.0.0.1, signed by ca
  std::filesystem::path other_ca_cert, other_ca_key;      // localhost, signed by another (untrusted) CA
  std::filesystem::path wrong_host_cert, wrong_host_key;  // signed by ca, for elsewhere.test only
  std::filesystem::path expired_cert, expired_key;        // signed by ca, for localhost, expired in 2020
};

// One TestPki per test process, made on first use: certificates cost more than the servers that present them.
const TestPki& shared_pki();

// Which certificate a server presents.
enum class ServerCert { valid, other_ca, wrong_host, expired };

// A child process in its own process group; stop() (and the destructor) ends the group with SIGTERM, then SIGKILL
// after two seconds, and reaps it.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Standard output goes to out_fd (or /dev/null when negative), standard error to err_file.
  void start(const std::vector<std::string>& argv, int out_fd, const std::filesystem::path& err_file);
  bool running();
  void stop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// nginx serving root over HTTPS (HTTP/1.1, byte ranges) on 127.0.0.1, configured by scripts/nginx-conf.sh with
// its logs and temp paths in a private directory. Access log lines read:  "GET /a HTTP/1.1" 206 range="bytes=0-9"
// sent=10 (range="-" when no Range header was sent; sent counts body bytes).
class NginxServer {
 public:
  NginxServer(const TestPki& pki, const std::filesystem::path& root, ServerCert cert = ServerCert::valid);
  std::string url() const { return "https://localhost:" + std::to_string(port_) + "/"; }
  std::uint16_t port() const { return port_; }
  // The lines so far; waits up to five seconds for at_least lines, as nginx logs just after the last byte goes out.
  std::vector<std::string> access_log(std::size_t at_least = 0) const;

 private:
  TempDir dir_;
  std::uint16_t port_ = 0;
  ServerProcess process_;
};

// A scriptable HTTPS server (hostile_https.py). The first path segment names the answer, the second the length n
// of the file, whose bytes are i % 251 (pattern_bytes): /ok/1000, /redirect301/n (also 302, 307, 308, all to
// /ok/n), /gzip/n, /chunked/n, /chunked-length/n, /lying-length-short/n, /lying-length-long/n, /lying-range/n,
// /partial-without-range/n, /full-for-range/n, /long-body/n, /short-body/n, /drop/n, /stall/n, /huge-headers/n,
// /long-header-line/n, /portal/n, /status/<code>, /json (echoes a POST body). Every connection is closed after
// one response.
class HostileServer {
 public:
  explicit HostileServer(const TestPki& pki, ServerCert cert = ServerCert::valid);
  std::string url() const { return "https://localhost:" + std::to_string(port_) + "/"; }
  std::uint16_t port() const { return port_; }
  // Each request received so far: request line, headers, the empty line and any body, as sent.
  std::vector<std::string> requests() const;

 private:
  TempDir dir_;
  std::uint16_t port_ = 0;
  ServerProcess process_;
};

// The servers' file content: bytes i % 251 for i in [offset, offset + size).
std::string pattern_bytes(std::size_t size, std::size_t offset = 0);

}  // namespace trelk::test
