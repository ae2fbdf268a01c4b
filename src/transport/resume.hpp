#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "core/digest.hpp"
#include "core/json.hpp"
#include "files/descriptor.hpp"
#include "transport/transport.hpp"

namespace trelk {

inline constexpr std::size_t resume_scope_limit = 4096;
inline constexpr std::size_t resume_scan_limit = 4096;
inline constexpr std::size_t resume_capacity = 32;
inline constexpr std::size_t resume_state_limit = 16384;

// When a running download writes its state document: after this many bytes (or an eighth of the file, when
// that is more) or this much time since the last one, whichever comes first, and once more when the transfer
// stops. A kill loses at most that much. Each checkpoint waits for the disk (about 30 ms), so on a fast link
// the byte bound sets the cost, and at most eight of them keep it small; on a slow link the time bound still
// holds what a kill can lose.
inline constexpr std::uint64_t resume_checkpoint_bytes = 8ull << 20;
inline constexpr std::uint64_t resume_checkpoints_per_file = 8;
inline constexpr std::chrono::milliseconds resume_checkpoint_interval{2000};

// The canonical JSON of {"kind", "reference", "target"}: what a partial download may be reused for.
std::string target_download_resume_scope(std::string_view kind, const json& reference, std::string_view target);

// The staging file of a download that is not resumed: the form of a partial file's name, with a nonce derived
// from the destination's file name instead of a random one, so that the next attempt recognises and replaces
// what a killed one left behind. It never has a state document.
std::string target_staging_name(std::string_view file_name);

// The shape of a resume state document whose partial file is named temporary; throws on the first fault.
void validate_target_resume_state(const json& state, std::string_view temporary);

// Told "prepared" (a fresh partial file), "resumed" (a verified prefix is reused) and "complete".
using ResumeObserver = std::function<void(std::string_view event, std::string_view detail)>;

// One resumable download: what is fetched, where it lands and what authorises the bytes.
struct ResumedDownload {
  std::string_view target = {};            // the target path, named in the state document
  std::string_view remote = {};            // the name the transport requests
  std::filesystem::path destination = {};  // its file name is the target's last component
  json description = {};                   // the signed length and hashes
  std::string_view scope = {};             // the canonical resume scope
  Progress progress = {};                  // may cancel
  ResumeObserver observer = {};            // may be empty
};

// Downloads a target into destination through a partial file and its state document beside it, reusing a
// partial file of an interrupted download only when its target, authorisation (length, hashes) and scope
// match and its recorded prefix still hashes to the recorded digest. Of several usable partial files the
// one with most bytes is taken; the others for the same target, authorisation and scope are removed after
// success. Anything unknown or malformed in the directory is preserved. Returns the destination opened for
// reading: the very file whose stored bytes were read back and matched every signed hash.
Descriptor resumed_target(Transport& transport, const ResumedDownload& download);

// For a destination that is already complete: removes what a run killed before retirement left of exactly
// this download (its state documents and partial files), and the orphans a scan recognises.
void retire_resume_leftovers(const ResumedDownload& download);

}  // namespace trelk
