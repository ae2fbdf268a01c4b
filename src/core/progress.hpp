#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "core/digest.hpp"

namespace trelk {

// A progress callable that also hears which phase its counts belong to ("download", "check", "unpack",
// "verify"). Work that starts a phase announces it with progress_phase; other callables never notice.
struct PhasedProgress {
  std::function<bool(std::uint64_t done, std::uint64_t total)> counts;
  std::function<void(std::string_view phase)> phase;
  bool operator()(std::uint64_t done, std::uint64_t total) const { return counts(done, total); }
};

inline void progress_phase(const Progress& progress, std::string_view phase) {
  if (const auto* phased = progress.target<PhasedProgress>(); phased != nullptr && phased->phase) phased->phase(phase);
}

}  // namespace trelk
