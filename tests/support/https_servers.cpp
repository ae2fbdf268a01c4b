#include "support/https_servers.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/run_program.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::map<std::string, std::string> kEnvironment{{"PATH", "/usr/bin:/bin"}};

void need(const fs::path& program) {
  if (!fs::exists(program)) throw std::runtime_error(program.string() + " is missing; run scripts/setup.sh");
}

std::string text_of(const fs::path& file) {
  std::error_code error;
  return fs::exists(file, error) ? read_file(file) : std::string();
}

std::pair<fs::path, fs::path> chosen(const TestPki& pki, ServerCert cert) {
  switch (cert) {
    case ServerCert::other_ca:
      return {pki.other_ca_cert, pki.other_ca_key};
    case ServerCert::wrong_host:
      return {pki.wrong_host_cert, pki.wrong_host_key};
    case ServerCert::expired:
      return {pki.expired_cert, pki.expired_key};
    default:
      return {pki.cert, pki.key};
  }
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port nothing listens on right now; another process may still take it before the server binds it.
std::uint16_t free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto address = loopback(0);
  socklen_t size = sizeof address;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("no free port on 127.0.0.1");
  return ntohs(address.sin_port);
}

bool accepts(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto address = loopback(port);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// One full TLS handshake, so a started server is known to answer TLS and not only to listen.
void check_tls(std::uint16_t port, const std::string& log) {
  const auto outcome = run_program(
      "/usr/bin/openssl", {"s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-servername", "localhost"},
      kEnvironment);
  if (outcome.status != 0)
    throw std::runtime_error("no TLS handshake on port " + std::to_string(port) + ": " + outcome.err + log);
}

}  // namespace

TestPki::TestPki(const fs::path& dir)
    : ca(dir / "ca.pem"),
      cert(dir / "server.pem"),
      key(dir / "server.key"),
      other_ca_cert(dir / "other-ca-server.pem"),
      other_ca_key(dir / "other-ca-server.key"),
      wrong_host_cert(dir / "wrong-host.pem"),
      wrong_host_key(dir / "wrong-host.key"),
      expired_cert(dir / "expired.pem"),
      expired_key(dir / "expired.key") {
  need("/usr/bin/openssl");
  const auto outcome = run_program("/bin/bash", {TRELK_SOURCE_DIR "/scripts/test-pki.sh", dir.string()}, kEnvironment);
  if (outcome.status != 0) throw std::runtime_error("scripts/test-pki.sh failed: " + outcome.err);
}

const TestPki& shared_pki() {
  static const TempDir dir;
  static const TestPki pki(dir.path());
  return pki;
}

void ServerProcess::start(const std::vector<std::string>& argv, int out_fd, const fs::path& err_file) {
  stop();
  std::vector<std::string> argv_text = argv;
  std::vector<char*> args;
  for (auto& text : argv_text) args.push_back(text.data());
  args.push_back(nullptr);
  std::string path_variable = "PATH=/usr/bin:/bin";
  char* envp[] = {path_variable.data(), nullptr};
  const std::string err = err_file.string();
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setpgid(0, 0);
    // Even a test process that dies without unwinding takes its servers with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(125);
    const int null_fd = open("/dev/null", O_RDWR);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (null_fd < 0 || err_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd >= 0 ? out_fd : null_fd, 1) < 0 ||
        dup2(err_fd, 2) < 0)
      _exit(126);
    close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal_number : {SIGINT, SIGTERM, SIGPIPE}) signal(signal_number, SIG_DFL);
    execve(args[0], args.data(), envp);
    _exit(127);
  }
  setpgid(pid_, pid_);  // also here, so the group exists before start returns
}

bool ServerProcess::running() {
  if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

void ServerProcess::stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  for (const auto deadline = Clock::now() + std::chrono::seconds(2); Clock::now() < deadline;) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return void(pid_ = -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

NginxServer::NginxServer(const TestPki& pki, const fs::path& root, ServerCert which) {
  need("/usr/sbin/nginx");
  const auto [cert, key] = chosen(pki, which);
  const auto dir = dir_.path().string(), conf = dir + "/nginx.conf", pid_file = dir + "/nginx.pid";
  for (int attempt = 0;; ++attempt) {
    port_ = free_port();
    const auto written = run_program("/bin/bash",
                                     {TRELK_SOURCE_DIR "/scripts/nginx-conf.sh", dir, std::to_string(port_),
                                      fs::absolute(root).string(), cert.string(), key.string()},
                                     kEnvironment);
    if (written.status != 0) throw std::runtime_error("scripts/nginx-conf.sh failed: " + written.err);
    fs::remove(pid_file);
    process_.start({"/usr/sbin/nginx", "-p", dir + "/", "-c", conf, "-e", dir + "/error.log"}, -1, dir + "/stderr.log");
    // nginx writes its pid file only once it listens, so a connection before that may reach someone else.
    bool ready = false;
    for (const auto deadline = Clock::now() + std::chrono::seconds(10); !ready && Clock::now() < deadline;) {
      if (!process_.running()) break;
      ready = text_of(pid_file) == std::to_string(process_.pid()) + "\n" && accepts(port_);
      if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto log = "\nnginx error log:\n" + text_of(dir + "/error.log") + text_of(dir + "/stderr.log");
    if (ready) {
      check_tls(port_, log);
      return;
    }
    process_.stop();
    if (attempt < 4 && log.find("Address already in use") != std::string::npos) continue;
    throw std::runtime_error("nginx did not start" + log);
  }
}

std::vector<std::string> NginxServer::access_log(std::size_t at_least) const {
  std::vector<std::string> lines;
  for (const auto deadline = Clock::now() + std::chrono::seconds(5);;) {
    lines.clear();
    std::istringstream text(text_of(dir_ / "access.log"));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    if (lines.size() >= at_least || Clock::now() >= deadline) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

HostileServer::HostileServer(const TestPki& pki, ServerCert which) {
  need("/usr/bin/python3");
  const auto [cert, key] = chosen(pki, which);
  const fs::path script = TRELK_SOURCE_DIR "/tests/support/hostile_https.py";
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  process_.start({"/usr/bin/python3", "-I", script.string(), cert.string(), key.string(), (dir_ / "requests").string()},
                 fds[1], dir_ / "stderr.log");
  close(fds[1]);
  // The server prints its port once it listens.
  std::string out;
  char buffer[64];
  pollfd ready{fds[0], POLLIN, 0};
  for (const auto deadline = Clock::now() + std::chrono::seconds(10);
       out.find('\n') == std::string::npos && Clock::now() < deadline;) {
    if (poll(&ready, 1, 50) <= 0) continue;
    const auto got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  close(fds[0]);
  const auto log = "\nhostile server stderr:\n" + text_of(dir_ / "stderr.log");
  if (out.find('\n') == std::string::npos) throw std::runtime_error("the hostile HTTPS server did not start" + log);
  port_ = static_cast<std::uint16_t>(std::stoul(out));
  check_tls(port_, log);
}

std::vector<std::string> HostileServer::requests() const {
  // Records are "<length>\n<bytes>", each appended whole before the server answers.
  std::vector<std::string> records;
  const auto text = text_of(dir_ / "requests");
  for (std::size_t at = 0; at < text.size();) {
    const auto end = text.find('\n', at);
    if (end == std::string::npos) break;
    const auto size = std::stoul(text.substr(at, end - at));
    records.push_back(text.substr(end + 1, size));
    at = end + 1 + size;
  }
  return records;
}

std::string pattern_bytes(std::size_t size, std::size_t offset) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((offset + i) % 251);
  return bytes;
}

}  // namespace trelk::test
