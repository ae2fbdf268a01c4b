#include "fixture_payload.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "pack.hpp"

namespace trelk {

namespace {

void write_exact(const std::filesystem::path& file, const std::string& content, mode_t mode) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) transaction_failure(errno, "Cannot create payload file " + path_utf8(file));
  std::size_t done = 0;
  while (done < content.size()) {
    auto written = ::write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      int error = written < 0 ? errno : EIO;
      ::close(fd);
      transaction_failure(error, "Cannot write payload file " + path_utf8(file));
    }
    done += static_cast<std::size_t>(written);
  }
  // fchmod, not the open mode, so the umask cannot strip the declared bits.
  int error = ::fchmod(fd, mode) == 0 ? 0 : errno;
  ::close(fd);
  if (error != 0) transaction_failure(error, "Cannot set payload file mode " + path_utf8(file));
}

}  // namespace

void write_payload_tree(const std::filesystem::path& root, const std::vector<PayloadFile>& files) {
  std::filesystem::create_directories(root);
  for (const auto& file : files) {
    auto target = safe_join(root, file.path, true);
    std::filesystem::create_directories(target.parent_path());
    write_exact(target, file.content, file.executable ? 0755 : 0644);
  }
}

json payload_inventory(const std::vector<PayloadFile>& files) {
  json inventory = json::array();
  for (const auto& file : files)
    inventory.push_back({{"path", file.path},
                         {"length", file.content.size()},
                         {"mode", file.executable ? 0755 : 0644},
                         {"sha256", digest(file.content, "sha256")}});
  return inventory;
}

json snapshot_document(const std::string& build_id, const std::string& platform, const std::string& executable,
                       const std::vector<PayloadFile>& files) {
  std::uint64_t expanded = 0;
  for (const auto& file : files) expanded += file.content.size();
  return {{"schema_version", 1},
          {"build_id", build_id},
          {"platform", platform},
          {"executable", executable},
          {"archive",
           {{"format", "tar.zst-v1"},
            {"target", build_id + ".tar.zst"},
            {"length", expanded == 0 ? 1 : expanded},
            {"sha256", digest("", "sha256")}}},
          {"files", payload_inventory(files)},
          {"expanded_length", expanded}};
}

json launcher_release_document(const LauncherPayload& payload) {
  return launcher_release(snapshot_document(payload.build_id, payload.platform, payload.executable, payload.files),
                          payload.gui_executable, payload.helpers);
}

json install_launcher_payload(const std::filesystem::path& data_root, const LauncherPayload& payload) {
  return install_launcher_payload(data_root, payload, launcher_release_document(payload));
}

json install_launcher_payload(const std::filesystem::path& data_root, const LauncherPayload& payload,
                              const json& document) {
  auto bytes = canonical_json(document);
  auto sha = digest(bytes, "sha256");
  auto launcher = safe_join(data_root, "launcher", true);
  atomic_write(safe_join(launcher, "manifests/" + sha + ".json", true), bytes);
  auto version = safe_join(launcher, "versions/" + sha, true);
  private_directory(version.parent_path());
  write_payload_tree(version, payload.files);
  return {{"manifest_sha256", sha}, {"build_id", payload.build_id}};
}

json pack_launcher_payload(const LauncherPayload& payload, const std::filesystem::path& archive) {
  std::vector<TarMember> members;
  for (const auto& file : payload.files)
    members.push_back({file.path, file.content, file.executable ? 0755u : 0644u, TarMember::Type::file, ""});
  const std::string bytes = zstd_frame(tar_bytes(members));
  atomic_create(archive, bytes);
  json document = launcher_release_document(payload);
  document["archive"]["length"] = bytes.size();
  document["archive"]["sha256"] = digest(bytes, "sha256");
  return document;
}

}  // namespace trelk
