#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "transport/https_transport.hpp"
#include "tuf/client.hpp"

namespace trelk {

// Where an installation gets its updates, kept in its data directory:
//   native/repository.json      {"schema_version": 1, "kind": "trelk-repository", "metadata_url": "https://…/",
//                                "targets_url": "https://…/", "ca_bundle": null or "native/repository-ca.pem"}
//   native/repository-ca.pem    the only trust for the repository's certificate, when present
//   native/trusted-metadata/    the trusted-metadata directory; its first root is planted by the installer
inline constexpr std::string_view repository_document_path = "native/repository.json";
inline constexpr std::string_view repository_ca_path = "native/repository-ca.pem";
inline constexpr std::string_view trusted_metadata_path = "native/trusted-metadata";
inline constexpr std::uint64_t repository_document_limit = 16384;

struct InstallationRepository {
  std::string metadata_url;
  std::string targets_url;
  std::filesystem::path ca_bundle;  // empty: the system's certificate store
  std::filesystem::path metadata_dir;
};

// The validated repository settings of the installation at root. A document that does not validate is
// reported and left exactly as it is.
InstallationRepository read_installation_repository(const std::filesystem::path& root);

// The installer's half: writes the document (never over an existing one), copies the CA bundle when given
// and plants the out-of-band root in the trusted-metadata directory.
void install_repository(const std::filesystem::path& root, std::string_view metadata_url, std::string_view targets_url,
                        const std::filesystem::path& ca_bundle, std::string_view root_text);

// An open trusted client of the installation's repository with the transports it uses.
class InstallationUpdates {
 public:
  explicit InstallationUpdates(const std::filesystem::path& root);
  TufClient& tuf() { return *client_; }

 private:
  InstallationRepository settings_;
  HttpsTransport metadata_;
  HttpsTransport targets_;
  std::unique_ptr<TufClient> client_;
};

}  // namespace trelk
