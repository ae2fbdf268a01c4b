#include "support/https_servers.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/run_program.hpp"

namespace trelk::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::map<std::string, std::string> kEnvironment{{"PATH", "/usr/bin:/bin"}};

std::string text_of(const fs::path& file) {
  std::error_code error;
  return fs::exists(file, error) ? read_file(file) : std::string();
}

// Polls until ready() holds or the time is up; returns the last answer.
bool wait_for(std::chrono::seconds limit, const std::function<bool()>& ready) {
  for (const auto deadline = Clock::now() + limit;; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (ready() || Clock::now() >= deadline) return ready();
}

// A port nothing listens on right now; another process may still take it before the server binds it.
std::uint16_t free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{
      .sin_family = AF_INET, .sin_port = 0, .sin_addr = {.s_addr = htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  socklen_t size = sizeof address;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("no free port on 127.0.0.1");
  return ntohs(address.sin_port);
}

// Standard output and error go to the named files.
void start(ServerProcess& process, std::vector<std::string> argv, const fs::path& out_file, const fs::path& err_file) {
  std::vector<char*> args;
  for (auto& text : argv) args.push_back(text.data());
  args.push_back(nullptr);
  std::string path_variable = "PATH=/usr/bin:/bin";
  char* envp[] = {path_variable.data(), nullptr};
  const std::string out = out_file.string(), err = err_file.string();
  const pid_t parent = getpid();
  process.pid = fork();
  if (process.pid < 0) throw std::runtime_error("fork failed");
  if (process.pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(125);
    if (dup2(open("/dev/null", O_RDONLY), 0) < 0 ||
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), 1) < 0 ||
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), 2) < 0)
      _exit(126);
    close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal_number : {SIGINT, SIGTERM, SIGPIPE}) signal(signal_number, SIG_DFL);
    execve(args[0], args.data(), envp);
    _exit(127);
  }
  setpgid(process.pid, process.pid);  // also here, so the group exists before start returns
}

// Waits up to ten seconds for the started server to be ready; false when it ended or never got ready.
bool ready(ServerProcess& process, const std::function<bool()>& listening) {
  const auto running = [&] {
    if (process.pid > 0 && waitpid(process.pid, nullptr, WNOHANG) == process.pid) process.pid = -1;
    return process.pid > 0;
  };
  return wait_for(std::chrono::seconds(10), [&] { return !running() || listening(); }) && running();
}

}  // namespace

void ServerProcess::stop() {
  if (pid <= 0) return;
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

TestPki::TestPki(const fs::path& dir) : dir(dir), ca(dir / "ca.pem") {
  const auto outcome = run_program("/bin/bash", {TRELK_SOURCE_DIR "/scripts/test-pki.sh", dir.string()}, kEnvironment);
  if (outcome.status != 0) throw std::runtime_error("scripts/test-pki.sh failed: " + outcome.err);
}

std::pair<fs::path, fs::path> TestPki::files(ServerCert cert) const {
  const std::string name = std::array{"server", "other-ca-server", "wrong-host", "expired"}[static_cast<int>(cert)];
  return {dir / (name + ".pem"), dir / (name + ".key")};
}

const TestPki& shared_pki() {
  static const TempDir dir;
  static const TestPki pki(dir.path());
  return pki;
}

NginxServer::NginxServer(const TestPki& pki, const fs::path& root, ServerCert which) {
  const auto [cert, key] = pki.files(which);
  const auto dir = dir_.path().string(), conf = dir + "/nginx.conf", pid_file = dir + "/nginx.pid";
  for (int attempt = 0;; ++attempt) {
    port_ = free_port();
    const auto written = run_program("/bin/bash",
                                     {TRELK_SOURCE_DIR "/scripts/nginx-conf.sh", dir, std::to_string(port_),
                                      fs::absolute(root).string(), cert.string(), key.string()},
                                     kEnvironment);
    if (written.status != 0) throw std::runtime_error("scripts/nginx-conf.sh failed: " + written.err);
    fs::remove(pid_file);
    start(process_, {"/usr/sbin/nginx", "-p", dir + "/", "-c", conf, "-e", dir + "/error.log"}, "/dev/null",
          dir + "/stderr.log");
    // nginx writes its pid file only once it listens, so a connection before that may reach someone else.
    if (ready(process_, [&] { return text_of(pid_file) == std::to_string(process_.pid) + "\n"; })) return;
    const auto log = "\nnginx error log:\n" + text_of(dir + "/error.log") + text_of(dir + "/stderr.log");
    process_.stop();
    if (attempt < 4 && log.find("Address already in use") != std::string::npos) continue;
    throw std::runtime_error("nginx did not start" + log);
  }
}

std::vector<std::string> NginxServer::access_log(std::size_t at_least) const {
  std::vector<std::string> lines;
  wait_for(std::chrono::seconds(5), [&] {
    lines.clear();
    std::istringstream text(text_of(dir_ / "access.log"));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines.size() >= at_least;
  });
  return lines;
}

HostileServer::HostileServer(const TestPki& pki, ServerCert which) {
  const auto [cert, key] = pki.files(which);
  const fs::path script = TRELK_SOURCE_DIR "/tests/support/hostile_https.py";
  start(process_,
        {"/usr/bin/python3", "-I", script.string(), cert.string(), key.string(), (dir_ / "requests").string()},
        dir_ / "port", dir_ / "stderr.log");
  // The server prints its port once it listens.
  if (!ready(process_, [&] { return text_of(dir_ / "port").find('\n') != std::string::npos; }))
    throw std::runtime_error("the hostile HTTPS server did not start\n" + text_of(dir_ / "stderr.log"));
  port_ = static_cast<std::uint16_t>(std::stoul(text_of(dir_ / "port")));
}

std::string HostileServer::requests() const { return text_of(dir_ / "requests"); }

std::string pattern_bytes(std::size_t size, std::size_t offset) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((offset + i) % 251);
  return bytes;
}

}  // namespace trelk::test
