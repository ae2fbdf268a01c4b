#pragma once

#include <filesystem>
#include <string>

#include "core/digest.hpp"
#include "tuf/client.hpp"
#include "update/launcher_update.hpp"

namespace trelk {

// For the bootstrap: "pending" when an update waits already (nothing is fetched), "current" when the
// newest release is installed, "rejected" when it is the one last rejected.
using BootstrapStageResult = StageResult;

// Fetches the newest bootstrap release through the refreshed trusted client, unpacks and verifies it into
// native/bootstrap-update and writes the pending update record last. Never touches the installed image;
// holds the update lock, so it never overlaps with applying an update.
BootstrapStageResult stage_bootstrap_update(const std::filesystem::path& data_root, TufClient& tuf,
                                            const Progress& progress);

}  // namespace trelk
