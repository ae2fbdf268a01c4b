#include "bootstrap/contract.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "core/error.hpp"
#include "support/temp_dir.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;

template <typename F>
Error contract_error(F&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "expected an Error";
  return Error("none", "none");
}

json file_entry(const std::string& path, int mode, std::uint64_t length = 10) {
  return json{{"path", path}, {"length", length}, {"mode", mode}, {"sha256", std::string(64, 'a')}};
}

// A valid update document for this machine; tests then break one rule each.
json release(const std::string& platform = "linux-x86_64") {
  const std::string entry = platform == "windows-x86_64" ? "bin/trelk-bootstrap.exe" : "bin/trelk-bootstrap";
  return json{
      {"schema_version", 1},
      {"kind", "trelk-bootstrap-release"},
      {"bootstrap_abi", 1},
      {"build_id", "b1"},
      {"platform", platform},
      {"executable", entry},
      {"archive", {{"format", "tar.zst-v1"}, {"target", "b.tar.zst"}, {"length", 5}, {"sha256", std::string(64, 'b')}}},
      {"files", {file_entry(entry, 493), file_entry("share/readme.txt", 420)}},
      {"expanded_length", 20},
      {"runtime_lease_abi", 1},
      {"application_schema", {{"minimum", 1}, {"maximum", 1}}}};
}

void recount(json& document) {
  std::uint64_t total = 0;
  for (const auto& file : document["files"]) total += file["length"].get<std::uint64_t>();
  document["expanded_length"] = total;
}

void expect_contract(const json& document, const std::string& code, const std::string& message, bool update = false) {
  const SnapshotManifest manifest = SnapshotManifest::parse(document);
  const Error error =
      contract_error([&] { update ? validate_bootstrap_update(manifest) : validate_bootstrap_contract(manifest); });
  EXPECT_EQ(error.code, code) << document.dump();
  EXPECT_EQ(std::string(error.what()), message) << document.dump();
  EXPECT_TRUE(error.details.empty());
}

TEST(BootstrapContract, InitialContract) {
  EXPECT_NO_THROW(validate_bootstrap_update(SnapshotManifest::parse(release())));

  const std::string schema = "Initial bootstrap schema or ABI is unsupported";
  for (const auto& [member, value] : std::vector<std::pair<std::string, json>>{
           {"kind", "trelk-launcher-release"}, {"bootstrap_abi", 2}, {"bootstrap_abi", "1"}, {"bootstrap_abi", true}}) {
    json document = release();
    document[member] = value;
    expect_contract(document, "launcher_incompatible", schema);
  }
  json missing = release();
  missing.erase("bootstrap_abi");
  expect_contract(missing, "launcher_incompatible", schema);

  const std::string entry = "Initial bootstrap has a missing or incompatible stable entry point";
  json other_entry = release();
  other_entry["executable"] = "share/tool";
  other_entry["files"].push_back(file_entry("share/tool", 493));
  recount(other_entry);
  expect_contract(other_entry, "launcher_incompatible", entry);
  // The Windows entry point is named .exe; a Linux name does not do.
  json windows = release("windows-x86_64");
  windows["executable"] = "bin/trelk-bootstrap";
  windows["files"][0]["path"] = "bin/trelk-bootstrap";
  expect_contract(windows, "launcher_incompatible", entry);

  const std::string gui = "Initial bootstrap GUI entry must be its declared Windows windowed executable";
  json linux_gui = release();
  linux_gui["gui_executable"] = "bin/trelk-bootstrap-gui.exe";
  linux_gui["files"].push_back(file_entry("bin/trelk-bootstrap-gui.exe", 493));
  recount(linux_gui);
  expect_contract(linux_gui, "invalid_native_package", gui);
  json windows_gui = release("windows-x86_64");
  windows_gui["gui_executable"] = "bin/trelk-bootstrap-gui.exe";
  windows_gui["files"].push_back(file_entry("bin/trelk-bootstrap-gui.exe", 493));
  recount(windows_gui);
  EXPECT_NO_THROW(validate_bootstrap_contract(SnapshotManifest::parse(windows_gui)));
  windows_gui["files"][2]["mode"] = 420;
  expect_contract(windows_gui, "invalid_native_package", gui);

  const std::string mac = "macOS bootstrap launch documents need their declared native app helper and metadata";
  json macos = release("macos-aarch64");
  macos["shortcut_executable"] = "bin/TrelkShortcut.app/Contents/MacOS/trelk-shortcut";
  macos["files"].push_back(file_entry("bin/TrelkShortcut.app/Contents/MacOS/trelk-shortcut", 493));
  recount(macos);
  expect_contract(macos, "invalid_native_package", mac);  // Info.plist missing
  macos["files"].push_back(file_entry("bin/TrelkShortcut.app/Contents/Info.plist", 420));
  recount(macos);
  EXPECT_NO_THROW(validate_bootstrap_contract(SnapshotManifest::parse(macos)));
  json linux_shortcut = macos;
  linux_shortcut["platform"] = "linux-x86_64";
  expect_contract(linux_shortcut, "invalid_native_package", mac);

  json helper = release();
  helper["files"].push_back(file_entry("bin/helper", 493));
  recount(helper);
  expect_contract(helper, "invalid_native_package",
                  "Initial bootstrap snapshot contains an undeclared executable helper");
}

TEST(BootstrapContract, UpdateRules) {
  auto broken = [](const std::string& member, const json& value) {
    json document = release();
    if (value.is_null()) {
      document.erase(member);
    } else {
      document[member] = value;
    }
    return document;
  };
  const std::string lifetime = "Bootstrap updates require the current native lifetime contract";
  expect_contract(broken("runtime_lease_abi", nullptr), "launcher_incompatible", lifetime, true);
  expect_contract(broken("runtime_lease_abi", 2), "launcher_incompatible", lifetime, true);
  expect_contract(broken("application_schema", nullptr), "launcher_incompatible",
                  "Bootstrap update data contract is missing", true);
  expect_contract(broken("application_schema", json::array({1, 1})), "launcher_incompatible",
                  "Bootstrap update data contract is missing", true);
  const std::string data = "Bootstrap update data contract is unsupported";
  expect_contract(broken("application_schema", {{"minimum", 1}, {"maximum", 2}}), "launcher_incompatible", data, true);
  expect_contract(broken("application_schema", {{"minimum", 1}}), "launcher_incompatible", data, true);
  expect_contract(broken("application_schema", {{"minimum", 1}, {"maximum", 1}, {"extra", 1}}), "launcher_incompatible",
                  data, true);
  expect_contract(broken("application_schema", {{"minimum", "1"}, {"maximum", 1}}), "launcher_incompatible", data,
                  true);

  // A Windows image fits the contract but not this machine.
  const SnapshotManifest windows = SnapshotManifest::parse(release("windows-x86_64"));
  EXPECT_NO_THROW(validate_bootstrap_contract(windows));
  expect_contract(release("windows-x86_64"), "launcher_incompatible", "Bootstrap update targets another platform",
                  true);

  // Exactly 4,096 files and 2^30 bytes pass; one file or byte more does not.
  const std::uint64_t gib = std::uint64_t{1} << 30;
  json largest = release();
  largest["files"] = json::array({file_entry("bin/trelk-bootstrap", 493, gib - 4095)});
  for (int i = 1; i < 4096; ++i) largest["files"].push_back(file_entry("data/f" + std::to_string(i), 420, 1));
  recount(largest);
  largest["archive"]["length"] = gib;
  EXPECT_NO_THROW(validate_bootstrap_update(SnapshotManifest::parse(largest)));
  const std::string size = "Bootstrap update exceeds its size limit";
  json more_files = largest;
  more_files["files"].push_back(file_entry("data/extra", 420, 0));
  expect_contract(more_files, "size_limit", size, true);
  json longer_archive = largest;
  longer_archive["archive"]["length"] = gib + 1;
  expect_contract(longer_archive, "size_limit", size, true);
  json more_bytes = largest;
  more_bytes["files"][1]["length"] = 2;
  recount(more_bytes);
  expect_contract(more_bytes, "size_limit", size, true);
}

TEST(BootstrapContract, TargetAndInstalledRoot) {
  EXPECT_EQ(bootstrap_manifest_target(), "bootstrap-linux-x86_64.manifest.json");
  EXPECT_EQ(installed_data_root("/home/u/.local/share/trelk/native/bootstrap/bin/trelk-bootstrap"),
            fs::path("/home/u/.local/share/trelk"));
  EXPECT_EQ(installed_data_root("/opt/x/bin/trelk-bootstrap"), std::nullopt);
  EXPECT_EQ(installed_data_root("/native/bootstrap/bin/trelk-bootstrap"), fs::path("/"));
  const Error unknown = contract_error([] { installed_data_root("/root/native/bootstrap/bin/other"); });
  EXPECT_EQ(unknown.code, "native_install_trust");
  EXPECT_EQ(std::string(unknown.what()), "Unknown installed bootstrap entry");
  for (const char* path : {"native/bootstrap/bin/trelk-bootstrap", "/r/native/./bootstrap/bin/trelk-bootstrap",
                           "/r/x/../native/bootstrap/bin/trelk-bootstrap"}) {
    const Error error = contract_error([&] { installed_data_root(path); });
    EXPECT_EQ(error.code, "unsafe_path") << path;
    EXPECT_EQ(std::string(error.what()), "Bootstrap image path must be absolute and normalized");
  }
}

TEST(BootstrapContract, LifetimeLockHoldsTheInstallationShared) {
  test::TempDir temp;
  const fs::path root = temp / "data";
  const fs::path image = root / installed_bootstrap_entry;
  test::write_file(image, "image");

  EXPECT_EQ(bootstrap_lifetime(temp / "elsewhere/bin/trelk-bootstrap"), nullptr);
  EXPECT_FALSE(fs::exists(temp / "elsewhere"));

  {
    auto lifetime = bootstrap_lifetime(image);
    ASSERT_NE(lifetime, nullptr);
    const fs::path lock = root / native_bootstrap_lock;
    EXPECT_TRUE(lifetime->matches_path(lock));
    struct stat status {};
    ASSERT_EQ(::lstat(lock.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_size, 0);

    // Another bootstrap may run beside it; an installer or update may not.
    auto second = bootstrap_lifetime(image);
    EXPECT_NE(second, nullptr);
    const Error busy =
        contract_error([&] { NativeFileLock(lock, false, NativeLockSharing::none, LockMode::exclusive); });
    EXPECT_EQ(busy.code, "busy");
    EXPECT_EQ(std::string(busy.what()), "Another worker owns this native installation");
  }
  EXPECT_NO_THROW(NativeFileLock(root / native_bootstrap_lock, false, NativeLockSharing::none, LockMode::exclusive));

  test::write_file(root / native_setup_marker, "");
  const Error incomplete = contract_error([&] { bootstrap_lifetime(image); });
  EXPECT_EQ(incomplete.code, "native_install_incomplete");
  EXPECT_EQ(std::string(incomplete.what()),
            "Trelk setup did not finish in " + root.string() + ". Run the Trelk installer again to repair it.");
  EXPECT_EQ(incomplete.details, std::vector<std::string>{"Run the Trelk installer and choose Repair"});
}

}  // namespace
}  // namespace trelk
