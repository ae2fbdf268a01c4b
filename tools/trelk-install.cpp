// Installs Trelk into a new data directory the way a user's installer does: the bootstrap image and its
// release record, the installation record, the update repository with its trusted root and the first
// launcher version. Prints {"data_dir", "bootstrap", "launcher"} as one line of JSON.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "bootstrap/contract.hpp"
#include "bootstrap/self_update.hpp"
#include "core/digest.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "files/locks.hpp"
#include "launcher/manifest.hpp"
#include "launcher/store.hpp"
#include "native/brand.hpp"
#include "process/arguments.hpp"
#include "process/child.hpp"
#include "snapshot/extract.hpp"
#include "snapshot/manifest.hpp"
#include "snapshot/storage.hpp"
#include "transport/https_transport.hpp"
#include "tuf/trusted.hpp"
#include "update/repository.hpp"

namespace {

namespace fs = std::filesystem;
using trelk::json;

constexpr const char* usage_text =
    "usage: trelk-install DIR --bootstrap-release FILE --bootstrap-archive FILE\n"
    "                     --launcher-release FILE --launcher-archive FILE\n"
    "                     --root FILE --metadata-url URL --targets-url URL [--ca-bundle FILE]\n"
    "                     [--brand-name NAME --brand-id ID --brand-publisher TEXT] [--desktop-entry PATH]\n";

constexpr std::uint64_t root_limit = 524288;  // what the trusted-metadata client accepts as a first root
constexpr const char* bootstrap_staging = "native/bootstrap.staging";

const std::vector<std::string> required_options = {
    "--bootstrap-release", "--bootstrap-archive", "--launcher-release", "--launcher-archive", "--root",
    "--metadata-url",      "--targets-url"};
const std::vector<std::string> optional_options = {"--ca-bundle", "--brand-name", "--brand-id", "--brand-publisher",
                                                   "--desktop-entry"};

struct Arguments {
  fs::path data_dir;
  std::map<std::string, std::string> options;

  bool has(const std::string& name) const { return options.contains(name); }
  const std::string& text(const std::string& name) const { return options.at(name); }
  fs::path path(const std::string& name) const { return has(name) ? trelk::path_from_utf8(text(name)) : fs::path(); }
};

Arguments parse(const std::vector<std::string>& words) {
  Arguments result;
  std::vector<std::string> positional;
  auto known = [](const std::string& name) {
    return std::find(required_options.begin(), required_options.end(), name) != required_options.end() ||
           std::find(optional_options.begin(), optional_options.end(), name) != optional_options.end();
  };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!word.starts_with("--")) {
      positional.push_back(word);
      continue;
    }
    trelk::require(known(word), "usage", "Unknown option " + word);
    trelk::require(i + 1 < words.size(), "usage", "Option " + word + " needs a value");
    trelk::require(result.options.emplace(word, words[++i]).second, "usage", "Option " + word + " is repeated");
  }
  trelk::require(positional.size() == 1 && !positional[0].empty(), "usage", "Give one data directory");
  result.data_dir = trelk::path_from_utf8(positional[0]);
  for (const auto& name : required_options) trelk::require(result.has(name), "usage", name + " is required");
  const int brand_parts = result.has("--brand-name") + result.has("--brand-id") + result.has("--brand-publisher");
  trelk::require(brand_parts == 0 || brand_parts == 3, "usage",
                 "A brand needs --brand-name, --brand-id and --brand-publisher together");
  return result;
}

// Everything the installation is made from, read and checked before the data directory is touched.
struct Inputs {
  std::string bootstrap_text;
  trelk::SnapshotManifest bootstrap;
  std::string launcher_text;
  std::string root_text;
  json installation = {{"schema_version", 1}};
  std::optional<trelk::Brand> brand;
};

void require_archive(const fs::path& archive, const trelk::SnapshotManifest& manifest, const std::string& what) {
  struct stat status {};
  trelk::require(::lstat(archive.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
                     static_cast<std::uint64_t>(status.st_size) == manifest.archive_length &&
                     trelk::digest_file(archive, "sha256") == manifest.archive_sha256,
                 "content_mismatch", "The " + what + " archive is not the one its release describes");
}

Inputs read_inputs(const Arguments& args) {
  Inputs inputs;
  inputs.bootstrap_text = trelk::read_file(args.path("--bootstrap-release"), trelk::bootstrap_update_record_limit);
  inputs.bootstrap =
      trelk::SnapshotManifest::parse(trelk::parse_json(inputs.bootstrap_text, trelk::bootstrap_update_record_limit));
  // Held to the update rules, so that the installed bootstrap's own later updates accept it as their base.
  trelk::validate_bootstrap_update(inputs.bootstrap);
  require_archive(args.path("--bootstrap-archive"), inputs.bootstrap, "bootstrap");

  inputs.launcher_text = trelk::read_file(args.path("--launcher-release"), trelk::launcher_manifest_limit);
  const auto launcher =
      trelk::LauncherManifest::parse(trelk::parse_json(inputs.launcher_text, trelk::launcher_manifest_limit));
  trelk::require(launcher.snapshot.platform == trelk::native_platform(), "launcher_incompatible",
                 "The launcher release targets another platform");
  require_archive(args.path("--launcher-archive"), launcher.snapshot, "launcher");

  inputs.root_text = trelk::read_file(args.path("--root"), root_limit);
  trelk::TrustedMetadataSet verified(inputs.root_text, root_limit);
  for (const char* url : {"--metadata-url", "--targets-url"})
    trelk::require(args.text(url).starts_with("https://"), "https_required", std::string(url) + " must use HTTPS");
  if (args.has("--ca-bundle")) trelk::read_file(args.path("--ca-bundle"), trelk::https_ca_bundle_limit);

  if (args.has("--brand-name")) {
    const json brand = {{"name", args.text("--brand-name")},
                        {"id", args.text("--brand-id")},
                        {"publisher", args.text("--brand-publisher")},
                        {"icon", false}};
    inputs.brand = trelk::parse_brand(brand);
    inputs.installation["brand"] = brand;
  }
  return inputs;
}

bool exists_unfollowed(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// A marker whose atomic creation was interrupted leaves its temporary file under this installer's own name.
bool marker_temporary(const fs::path& name) {
  const std::string text = name.native();
  return text.starts_with(std::string(trelk::native_setup_marker) + ".") && text.ends_with(".tmp");
}

// The data directory must be new (missing, or empty but for this installer's lock and an interrupted marker),
// or an unfinished setup that the setup marker proves this installer made: that one is completed. A complete
// installation and a directory holding anything else are refused.
void require_installable(const fs::path& root) {
  struct stat status {};
  if (::lstat(root.c_str(), &status) != 0) return;
  trelk::require(S_ISDIR(status.st_mode), "unsafe_path", trelk::path_utf8(root) + " is not a directory");
  if (exists_unfollowed(root / trelk::native_setup_marker)) return;
  trelk::require(!exists_unfollowed(root / "native/installation.json"), "already_installed",
                 trelk::path_utf8(root) + " already holds a Trelk installation");
  for (const auto& entry : fs::directory_iterator(root))
    trelk::require(entry.path().filename() == trelk::native_setup_lock || marker_temporary(entry.path().filename()),
                   "not_empty", trelk::path_utf8(root) + " is not empty");
}

// Removes what an unfinished setup wrote, except its lock and marker. True when everything went.
bool remove_setup_leftovers(const fs::path& root) {
  std::error_code failed;
  std::vector<fs::path> written;
  for (fs::directory_iterator it(root, failed), end; !failed && it != end; it.increment(failed)) {
    const auto name = it->path().filename();
    if (name != trelk::native_setup_marker && name != trelk::native_setup_lock) written.push_back(it->path());
  }
  bool complete = !failed;
  for (const auto& path : written) {
    std::error_code error;
    fs::remove_all(path, error);
    complete = complete && !error;
  }
  return complete;
}

// The image is verified against its release in private staging and appears under its name only whole.
void install_bootstrap(const fs::path& root, const Inputs& inputs, const fs::path& archive) {
  const fs::path image = trelk::safe_join(root, trelk::installed_bootstrap_directory, true);
  const fs::path staging = trelk::safe_join(root, bootstrap_staging, true);
  trelk::require_path_room(image, {}, inputs.bootstrap.longest_native_path());
  trelk::require_path_room(staging, {}, inputs.bootstrap.longest_native_path());
  const auto volume = trelk::inspect_storage_volume(root / "native");
  trelk::require_install_storage(trelk::plan_install_storage(inputs.bootstrap, volume, true, 0, false), "bootstrap");
  try {
    trelk::extract_snapshot(inputs.bootstrap, archive, staging, {}, nullptr);
    trelk::commit_private_path_new(staging, image, {});
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    throw;
  }
  trelk::sync_directory(root / "native");
  trelk::atomic_create(root / "native/bootstrap.json", inputs.bootstrap_text);
}

// Until the marker goes, every bootstrap and store refuses the directory as an unfinished setup, and this
// installer run again clears it and starts over.
//
// | state (killed at any point)          | on disk                                 | the same command run again   |
// |--------------------------------------|-----------------------------------------|------------------------------|
// | not started                          | no data directory, or an empty one      | installs                     |
// | marker being made                    | lock, maybe the marker's temporary file | removes it, installs         |
// | setting up                           | marker, anything written so far         | removes all but the marker   |
// |                                      |                                         | and lock, installs           |
// | complete                             | installation, no marker                 | refuses ("already holds")    |
//
// Durability order: the marker is on disk before anything else is written; each directory is synced into its
// parent when made; the image and every record before the marker is removed; the removal last of all.
json install(const fs::path& root, const Arguments& args, const Inputs& inputs) {
  if (!exists_unfollowed(root / trelk::native_setup_marker))
    trelk::atomic_create(root / trelk::native_setup_marker, "");
  trelk::private_directory(root / "native");
  trelk::atomic_create(root / "native/installation.json", trelk::canonical_json(inputs.installation));
  install_bootstrap(root, inputs, args.path("--bootstrap-archive"));
  trelk::install_repository(root, args.text("--metadata-url"), args.text("--targets-url"), args.path("--ca-bundle"),
                            inputs.root_text);
  json reference =
      trelk::LauncherStore(root, true).seed_initial(inputs.launcher_text, args.path("--launcher-archive"), {});
  trelk::require(fs::remove(root / trelk::native_setup_marker), "file_write", "Cannot finish the setup");
  trelk::sync_directory(root);
  return reference;
}

// A failed setup takes back what it wrote, the marker last, so that no state in between looks complete.
void discard(const fs::path& root, bool created) {
  // Whatever could not be removed stays marked as an unfinished setup.
  if (!remove_setup_leftovers(root)) return;
  std::error_code ignored;
  fs::remove(root / trelk::native_setup_marker, ignored);
  fs::remove(root / trelk::native_setup_lock, ignored);
  if (created) fs::remove(root, ignored);
}

// The installed bootstrap writes the entry itself, so it records the entry as its own.
void create_desktop_entry(const fs::path& root, const fs::path& entry, const std::optional<trelk::Brand>& brand) {
  std::vector<std::string> arguments = {"--data-dir", trelk::path_utf8(root), "--create-desktop-entry",
                                        trelk::path_utf8(fs::absolute(entry).lexically_normal())};
  if (brand) arguments.insert(arguments.end(), {"--name", brand->name});
  // Its output goes to standard error: standard output carries only the result.
  trelk::ChildProcess bootstrap(root / trelk::installed_bootstrap_entry, arguments, root, {});
  const int status = bootstrap.wait();
  trelk::require(status == 0, "desktop_entry",
                 "The installed bootstrap could not create the desktop entry (exit status " + std::to_string(status) +
                     "); the installation itself is complete");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    trelk::initialize_client_runtime();
    const Arguments args = parse(trelk::process_arguments(argc, argv));
    const Inputs inputs = read_inputs(args);

    const fs::path root = trelk::normalize_data_root(args.data_dir);
    require_installable(root);
    const bool created = !exists_unfollowed(root);
    if (created) {
      fs::create_directories(root.parent_path());
      trelk::private_directory_new(root);
    } else {
      trelk::private_directory(root);
    }
    json reference;
    {
      const trelk::NativeFileLock setup(root / trelk::native_setup_lock, true, trelk::NativeLockSharing::none,
                                        trelk::LockMode::exclusive);
      require_installable(root);  // another installer may have finished in between
      try {
        // What an interrupted run of this installer left is cleared; its marker stays until the end.
        trelk::require(remove_setup_leftovers(root), "file_write",
                       "Cannot clear the unfinished setup in " + trelk::path_utf8(root));
        reference = install(root, args, inputs);
      } catch (...) {
        discard(root, created);
        throw;
      }
    }
    if (args.has("--desktop-entry")) create_desktop_entry(root, args.path("--desktop-entry"), inputs.brand);

    const json result = {
        {"data_dir", trelk::path_utf8(root)}, {"bootstrap", inputs.bootstrap.build_id}, {"launcher", reference}};
    std::cout << result.dump() << '\n' << std::flush;
    return 0;
  } catch (const trelk::Error& error) {
    std::cerr << "trelk-install: " << error.what() << " (" << error.code << ")\n";
    if (error.code == "usage") std::cerr << usage_text;
    return 1;
  } catch (const std::exception& error) {
    std::cerr << "trelk-install: " << error.what() << "\n";
    return 1;
  }
}
