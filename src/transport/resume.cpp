#include "transport/resume.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <system_error>
#include <vector>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "core/progress.hpp"
#include "files/atomic.hpp"
#include "files/directories.hpp"
#include "snapshot/allocated_file.hpp"

namespace trelk {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* state_kind = "trelk-target-resume";
constexpr const char* state_suffix = ".resume.json";
constexpr const char* partial_suffix = ".partial";

bool hex_of_length(const json& value, std::size_t size) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  return text.size() == size && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool unsigned_integer(const json& value) {
  return value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0);
}

// base, ".", 32 lower-case hexadecimal characters, suffix.
bool nonce_name(std::string_view name, std::string_view base, std::string_view suffix) {
  if (name.size() != base.size() + 1 + 32 + suffix.size() || !name.starts_with(base) || !name.ends_with(suffix) ||
      name[base.size()] != '.')
    return false;
  const std::string_view nonce = name.substr(base.size() + 1, 32);
  return nonce.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string last_component(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

struct Candidate {
  fs::path state_path;
  std::string temporary;
  std::string text;
  json state;
};

}  // namespace

std::string target_download_resume_scope(std::string_view kind, const json& reference, std::string_view target) {
  const std::string scope =
      canonical_json(json{{"kind", std::string(kind)}, {"reference", reference}, {"target", std::string(target)}});
  require(scope.size() <= resume_scope_limit, "size_limit", "Download resume scope exceeds its bounded contract");
  return scope;
}

void validate_target_resume_state(const json& state, std::string_view temporary) {
  try {
    static const char* members[] = {"schema_version", "kind",     "target",   "temporary",    "scope_sha256",
                                    "prefix_sha256",  "received", "identity", "authorization"};
    bool known = state.is_object() && state.size() == std::size(members);
    for (const char* name : members) known = known && state.contains(name);
    known = known && state.at("schema_version").is_number_integer() && state.at("schema_version") == 1 &&
            state.at("kind") == state_kind && state.at("target").is_string() && state.at("temporary") == temporary &&
            hex_of_length(state.at("scope_sha256"), 64) && hex_of_length(state.at("prefix_sha256"), 64) &&
            state.at("identity").is_array() && state.at("identity").size() == 2 &&
            unsigned_integer(state.at("identity")[0]) && unsigned_integer(state.at("identity")[1]);
    require(known, "download_resume_state",
            "Unknown partial-download state was preserved; clear the disposable cache to retry");

    const json& authorization = state.at("authorization");
    const bool bounded = authorization.is_object() && authorization.size() == 2 && authorization.contains("length") &&
                         unsigned_integer(authorization.at("length")) && authorization.contains("hashes") &&
                         authorization.at("hashes").is_object() && !authorization.at("hashes").empty() &&
                         unsigned_integer(state.at("received")) &&
                         state.at("received").get<std::uint64_t>() <= authorization.at("length").get<std::uint64_t>();
    require(bounded, "download_resume_state", "Invalid partial-download bounds");

    const std::string& target = state.at("target").get_ref<const std::string&>();
    bool named = true;
    try {
      validate_relative_path(target, true);
    } catch (const Error&) {
      named = false;
    }
    require(named && nonce_name(temporary, last_component(target), partial_suffix), "download_resume_state",
            "Partial-download nonce differs from its path");
  } catch (const json::exception&) {
    fail("download_resume_state", "Malformed partial-download state was preserved");
  }
}

void resumed_target(Transport& transport, std::string_view target, std::string_view remote, const fs::path& destination,
                    const json& description, const Progress& progress, std::string_view scope,
                    const ResumeObserver& observer) {
  auto tell = [&](std::string_view event, std::string_view detail) {
    if (observer) observer(event, detail);
  };
  const fs::path directory = destination.parent_path();
  const std::string base = path_utf8(destination.filename());
  // The state of a partial file names the target it belongs to by the file's own name.
  require(base == last_component(target), "unsafe_path", "A resumable download must be named after its target");
  const std::uint64_t total = description.at("length").get<std::uint64_t>();
  const json authorization = {{"length", total}, {"hashes", description.at("hashes")}};
  const std::string scope_sha256 = digest(scope, "sha256");

  // The bounded scan: names first (every entry counts), then every state document of this file name is
  // read; only exact matches are used, the rest stays where it is.
  std::vector<fs::path> found;
  std::size_t entries = 0;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    require(++entries <= resume_scan_limit, "size_limit", "Download directory exceeds its bounded resume scan");
    const std::string name = path_utf8(it->path().filename());
    if (!name.starts_with(base + ".") || !name.ends_with(std::string(partial_suffix) + state_suffix)) continue;
    require(found.size() < resume_capacity, "download_resume_capacity",
            "Retained partial downloads reached their capacity");
    require(nonce_name(name, base, std::string(partial_suffix) + state_suffix), "download_resume_state",
            "Unknown resume filename was preserved");
    found.push_back(it->path());
  }
  require(!error, "file_read", "Cannot scan the download directory");
  std::sort(found.begin(), found.end());
  std::vector<Candidate> usable;
  for (const fs::path& path : found) {
    const std::string name = path_utf8(path.filename());
    Candidate candidate{path, name.substr(0, name.size() - std::string_view(state_suffix).size()), {}, {}};
    candidate.text = read_file(candidate.state_path, resume_state_limit);
    try {
      candidate.state = parse_json(candidate.text, resume_state_limit);
    } catch (const Error&) {
      fail("download_resume_state", "Malformed partial-download state was preserved");
    }
    validate_target_resume_state(candidate.state, candidate.temporary);
    if (candidate.state.at("target") == target && candidate.state.at("authorization") == authorization &&
        candidate.state.at("scope_sha256") == scope_sha256 && entry_exists(directory / candidate.temporary))
      usable.push_back(std::move(candidate));
  }
  std::stable_sort(usable.begin(), usable.end(), [](const Candidate& a, const Candidate& b) {
    return a.state.at("received").get<std::uint64_t>() > b.state.at("received").get<std::uint64_t>();
  });

  std::optional<AllocatedFile> file;
  DigestState running("sha256");
  std::uint64_t hashed = 0;
  std::string temporary, last_text;
  fs::path state_path;
  auto state_text = [&](std::uint64_t received, const FileReservation& reservation) {
    const json state = {{"schema_version", 1},           {"kind", state_kind},
                        {"target", std::string(target)}, {"temporary", temporary},
                        {"scope_sha256", scope_sha256},  {"prefix_sha256", running.value()},
                        {"received", received},          {"identity", {reservation.device, reservation.inode}},
                        {"authorization", authorization}};
    std::string text = state.dump();
    require(text.size() <= resume_state_limit, "size_limit", "Partial-download state exceeds its bound");
    return text;
  };
  if (usable.empty()) {
    temporary = base + "." + random_id() + partial_suffix;
    state_path = directory / (temporary + state_suffix);
    // The new file is announced before its space is reserved, so a kill never leaves a large allocation
    // that no state document explains (at worst an empty file).
    file.emplace(directory / temporary, total, [&](const FileReservation& reservation) {
      last_text = state_text(0, reservation);
      atomic_write(state_path, last_text);
    });
    tell("prepared", temporary);
  } else {
    const Candidate& chosen = usable.front();
    temporary = chosen.temporary;
    last_text = chosen.text;
    FileReservation reservation;
    std::error_code unresolved;
    reservation.path = fs::absolute(directory / temporary, unresolved).lexically_normal();
    require(!unresolved, "file_read", "Cannot resolve the download directory");
    reservation.device = chosen.state.at("identity")[0].get<std::uint64_t>();
    reservation.inode = chosen.state.at("identity")[1].get<std::uint64_t>();
    reservation.length = total;
    reservation.preallocated = true;
    const std::uint64_t received = chosen.state.at("received").get<std::uint64_t>();
    file.emplace(reservation.path, total, reservation, received, ReservationCallback{});
    file->read_prefix(received, [&](std::string_view chunk) { running.update(chunk); }, {});
    hashed = received;
    require(running.value() == chosen.state.at("prefix_sha256").get<std::string>(), "download_resume_changed",
            "Recorded partial bytes changed");
    tell("resumed", temporary);
  }
  state_path = directory / (temporary + state_suffix);

  std::uint64_t checkpointed = 0;
  auto last_time = Clock::now();
  auto checkpoint = [&] {
    require(hashed == file->written(), "download_resume_state", "Partial write did not complete a hash checkpoint");
    file->synchronize();
    const std::string text = state_text(file->written(), file->reservation());
    if (!last_text.empty())
      require(read_file(state_path, resume_state_limit) == last_text, "download_resume_changed",
              "Resume marker changed before checkpoint");
    atomic_write(state_path, text);
    last_text = text;
    checkpointed = file->written();
    last_time = Clock::now();
  };

  if (file->written() < total) {
    file->reserve_remaining();
    const TransportData on_data = [&](std::string_view chunk) {
      running.update(chunk);
      hashed += chunk.size();
      if (hashed - checkpointed >= resume_checkpoint_bytes || Clock::now() - last_time >= resume_checkpoint_interval)
        checkpoint();
    };
    const TransportRestart on_restart = [&] {
      running = DigestState("sha256");
      hashed = 0;
    };
    progress_phase(progress, "download");
    try {
      transport.download_into(remote, *file, file->written(), progress, on_data, on_restart);
    } catch (...) {
      // Keep what arrived intact for the next attempt; a failing last checkpoint keeps the previous one.
      try {
        if (hashed == file->written() && hashed != checkpointed) checkpoint();
      } catch (const std::exception&) {
      }
      throw;
    }
  }

  require(file->written() == total, "length_mismatch", "Downloaded target is shorter than its signed length");
  progress_phase(progress, "check");
  for (const auto& [algorithm, expected] : description.at("hashes").items()) {
    DigestState whole(algorithm);
    file->read_prefix(
        total, [&](std::string_view chunk) { whole.update(chunk); }, progress);
    if (whole.value() != expected.get<std::string>()) {
      // Every byte arrived and the whole is wrong: nothing of it is worth resuming.
      std::error_code ignored;
      file->discard();
      fs::remove(state_path, ignored);
      fail("hash_mismatch", "Target hash does not match signed metadata");
    }
  }
  file->finish(true);
  native_files::rename_replace(directory / temporary, destination);
  sync_directory(directory);

  require(read_file(state_path, resume_state_limit) == last_text, "download_resume_changed",
          "Resume marker changed before retirement");
  native_files::remove_or_trash(state_path, {});
  // Other partial files of exactly this download are superseded now; nothing else is touched.
  for (std::size_t i = 1; i < usable.size(); ++i) {
    std::error_code ignored;
    fs::remove(directory / usable[i].temporary, ignored);
    fs::remove(usable[i].state_path, ignored);
  }
  sync_directory(directory);
  tell("complete", path_utf8(destination));
}

}  // namespace trelk
