#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/digest.hpp"
#include "core/error.hpp"
#include "tuf/client.hpp"

namespace trelk {

// The trusted target a publisher replaces with each launcher release for a platform: the release document
// (a launcher manifest); its archive is the target the document names.
std::string launcher_release_target();

// What one staging call did: staged is true only when this call staged a new release; status is
// "pending", "current", "rejected", "staged" or "not_published"; build_id names the release considered.
struct StageResult {
  bool staged = false;
  std::string status;
  std::string build_id;
  std::string path{};                  // how a staged release arrived: "delta" or "full"
  std::uint64_t downloaded_bytes = 0;  // signed lengths of the payload targets this call transferred
  std::optional<Error> fallback{};     // why a published delta was not used
};

// For the launcher: "pending" while a candidate waits for its first start, "current" when the newest
// release is the working version, "rejected" when it is the candidate that failed its last start.
using LauncherStageResult = StageResult;

// Finds the newest launcher release through the refreshed trusted client and makes it the store's
// candidate: storage admitted first, release document and archive downloaded resumably (scope kind
// "launcher"), the tree extracted and verified in private staging and committed in one step, the record
// changed last under the store's owner lock. A second staging at the same time fails with "busy".
// When the repository publishes a delta from the active version to the release, the patch is downloaded
// instead of the archive and applied to the base stream regenerated from the active version's tree; any
// failure of that path falls back to the archive in the same call and is named in the result.
LauncherStageResult stage_launcher_update(const std::filesystem::path& data_root, TufClient& tuf,
                                          const Progress& progress);

}  // namespace trelk
