#include "update/repository.hpp"

#include <sys/stat.h>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t url_limit = 2048;
constexpr const char* document_kind = "trelk-repository";

bool https_url(const json& value) {
  return value.is_string() && value.get_ref<const std::string&>().starts_with("https://") &&
         value.get_ref<const std::string&>().size() <= url_limit;
}

}  // namespace

InstallationRepository read_installation_repository(const fs::path& root) {
  const fs::path file = root / repository_document_path;
  struct stat status {};
  require(::lstat(file.c_str(), &status) == 0, "repository_missing", "This installation has no update repository");
  const std::string malformed = "Update repository settings are malformed; they were preserved";
  json document;
  try {
    document = parse_json(read_file(file, repository_document_limit), repository_document_limit);
  } catch (const Error& error) {
    if (error.code == "file_read") throw;
    fail("repository_state", malformed);
  }
  const bool valid =
      document.is_object() && document.size() == 5 && document.contains("schema_version") &&
      document["schema_version"].is_number_integer() && document["schema_version"] == 1 && document.contains("kind") &&
      document["kind"] == document_kind && document.contains("metadata_url") && https_url(document["metadata_url"]) &&
      document.contains("targets_url") && https_url(document["targets_url"]) && document.contains("ca_bundle") &&
      (document["ca_bundle"].is_null() || document["ca_bundle"] == repository_ca_path);
  require(valid, "repository_state", malformed);
  InstallationRepository settings;
  settings.metadata_url = document["metadata_url"].get<std::string>();
  settings.targets_url = document["targets_url"].get<std::string>();
  if (!document["ca_bundle"].is_null()) settings.ca_bundle = root / repository_ca_path;
  settings.metadata_dir = root / trusted_metadata_path;
  return settings;
}

void install_repository(const fs::path& root, std::string_view metadata_url, std::string_view targets_url,
                        const fs::path& ca_bundle, std::string_view root_text) {
  const json document = {{"schema_version", 1},
                         {"kind", document_kind},
                         {"metadata_url", std::string(metadata_url)},
                         {"targets_url", std::string(targets_url)},
                         {"ca_bundle", ca_bundle.empty() ? json(nullptr) : json(std::string(repository_ca_path))}};
  require(https_url(document["metadata_url"]) && https_url(document["targets_url"]), "https_required",
          "Trelk service URLs must use HTTPS");
  private_directory(root / "native");
  if (!ca_bundle.empty()) atomic_create(root / repository_ca_path, read_file(ca_bundle, https_ca_bundle_limit));
  TufClient::initialize(root / trusted_metadata_path, root_text);
  atomic_create(root / repository_document_path, canonical_json(document));
}

InstallationUpdates::InstallationUpdates(const fs::path& root)
    : settings_(read_installation_repository(root)),
      metadata_(settings_.metadata_url, settings_.ca_bundle, 0, nullptr),
      targets_(settings_.targets_url, settings_.ca_bundle, 0, nullptr),
      client_(std::make_unique<TufClient>(settings_.metadata_dir, metadata_, targets_, default_tuf_limits,
                                          system_tuf_time)) {}

}  // namespace trelk
