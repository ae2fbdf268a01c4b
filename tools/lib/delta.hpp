#pragma once

#include <filesystem>

#include "core/json.hpp"

namespace trelk {

// One release's archive with the release document (or snapshot manifest) that authenticates it.
struct PackedRelease {
  std::filesystem::path archive;
  std::filesystem::path document;
};

// Writes the patch that turns the tar stream of base into that of result: one Zstandard frame compressed at
// level with long-distance matching and the whole base stream as its referenced prefix, with a window that
// covers both streams. Each archive is checked against its document first, and the base stream against the
// stream an installation of base regenerates from its tree, so a published delta is one clients can use.
// Returns the custom object of the patch target ({"delta": {...}}).
json make_delta(const PackedRelease& base, const PackedRelease& result, const std::filesystem::path& patch, int level);

}  // namespace trelk
