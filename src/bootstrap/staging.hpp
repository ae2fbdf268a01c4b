#pragma once

#include <filesystem>
#include <string>

#include "core/digest.hpp"
#include "tuf/client.hpp"

namespace trelk {

// What one staging call did: "pending" (an update waits already; nothing fetched), "current" (the newest
// release is installed), "rejected" (the newest release is the one last rejected), "staged" (ready for the
// next start) or "not_published" (no bootstrap release for this platform).
struct BootstrapStageResult {
  bool staged = false;
  std::string status;
  std::string build_id;
};

// Fetches the newest bootstrap release through the refreshed trusted client, unpacks and verifies it into
// native/bootstrap-update and writes the pending update record last. Never touches the installed image;
// holds the update lock, so it never overlaps with applying an update.
BootstrapStageResult stage_bootstrap_update(const std::filesystem::path& data_root, TufClient& tuf,
                                            const Progress& progress);

}  // namespace trelk
