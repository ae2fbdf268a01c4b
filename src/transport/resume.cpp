#include "transport/resume.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
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

  std::uint64_t received() const { return state.at("received").get<std::uint64_t>(); }
};

// Removes one of our own names; only "already gone" counts as success, so a partial file is never left
// behind without the state document that proves it is ours.
void remove_name(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("file_remove", "Cannot remove " + path_utf8(path));
}

// A partial download is removed file first, state document second, so a kill in between leaves a state
// document without its file, which the next scan recognises and removes.
void remove_partial(const fs::path& partial, const fs::path& state) {
  remove_name(partial);
  remove_name(state);
}

}  // namespace

std::string target_download_resume_scope(std::string_view kind, const json& reference, std::string_view target) {
  const std::string scope =
      canonical_json(json{{"kind", std::string(kind)}, {"reference", reference}, {"target", std::string(target)}});
  require(scope.size() <= resume_scope_limit, "size_limit", "Download resume scope exceeds its bounded contract");
  return scope;
}

std::string target_staging_name(std::string_view file_name) {
  const std::string name(file_name);
  return name + "." + digest("trelk-target-staging:" + name, "sha256").substr(0, 32) + partial_suffix;
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

namespace {

// Thrown through the transfer to stop it once the resumed prefix failed its proof.
struct PrefixRefuted {};

// The proof of a resumed prefix, on a thread of its own while the rest of the file arrives: it hashes the
// recorded prefix through the file's descriptor and compares it with the recorded digest, then follows the
// transfer, reading back what was written meanwhile, until it has caught up. The transfer then takes the
// running digest over; until then it neither hashes nor checkpoints, so no state ever vouches for bytes
// after an unproven prefix.
class PrefixProof {
 public:
  PrefixProof(const AllocatedFile& file, std::uint64_t recorded, std::string expected)
      : file_(file), recorded_(recorded), expected_(std::move(expected)), thread_([this] { run(); }) {}
  PrefixProof(const PrefixProof&) = delete;
  PrefixProof& operator=(const PrefixProof&) = delete;
  ~PrefixProof() {
    abandoned_ = true;
    if (thread_.joinable()) thread_.join();
  }

  bool failed() const { return failed_; }

  // Told of each chunk after it was written; true once the proof has caught up, and the caller then takes
  // the digest and hashes this chunk and every later one itself.
  bool caught_up(std::uint64_t size) {
    const std::lock_guard lock(mutex_);
    if (caught_up_) return true;
    arrived_ += size;
    return false;
  }
  // The digest of every byte before the chunk that found the proof caught up, and how many those are.
  DigestState take(std::uint64_t& covered) {
    if (thread_.joinable()) thread_.join();  // settle() may have joined it already
    covered = recorded_ + arrived_;
    return std::move(digest_);
  }
  // Waits for the verdict on the prefix; with follow also until every byte told of is hashed. An error other
  // than a failed proof is rethrown.
  bool settle(bool follow) {
    {
      const std::lock_guard lock(mutex_);
      follow_ = follow;
    }
    if (thread_.joinable()) thread_.join();
    if (failure_) std::rethrow_exception(failure_);
    return !failed_;
  }
  bool complete() const { return caught_up_; }

 private:
  struct Abandoned {};

  void hash(std::string_view chunk) {
    if (abandoned_) throw Abandoned{};
    digest_.update(chunk);
  }

  void run() {
    try {
      file_.read_range(0, recorded_, [this](std::string_view chunk) { hash(chunk); });
      require(digest_.value() == expected_, "download_resume_changed", "Recorded partial bytes changed");
      for (std::uint64_t done = recorded_;;) {
        std::uint64_t until = 0;
        {
          const std::lock_guard lock(mutex_);
          until = recorded_ + arrived_;
          caught_up_ = done == until;
          if (caught_up_ || !follow_) return;
        }
        file_.read_range(done, until - done, [this](std::string_view chunk) { hash(chunk); });
        done = until;
      }
    } catch (const Abandoned&) {
    } catch (const Error&) {
      failed_ = true;
    } catch (...) {
      failure_ = std::current_exception();
      failed_ = true;
    }
  }

  const AllocatedFile& file_;
  const std::uint64_t recorded_;
  const std::string expected_;
  DigestState digest_{"sha256"};
  std::mutex mutex_;
  std::uint64_t arrived_ = 0;  // bytes written after the prefix
  bool caught_up_ = false;
  bool follow_ = true;
  std::atomic<bool> failed_ = false;
  std::atomic<bool> abandoned_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once everything above exists
};

// What the phases of one resumable download share: the request, the partial file in use and the running
// digest of its bytes, and the state document as last written.
struct Resume {
  Transport* transport;  // none when only leftovers are retired
  const ResumedDownload& request;
  fs::path directory;
  std::string base;  // the destination's file name
  std::uint64_t total = 0;
  json authorization;
  std::string scope_sha256;

  std::optional<AllocatedFile> file;
  // The whole file read back for each signed hash, following the transfer; before the file, so that the
  // readers stop before it closes.
  std::vector<std::unique_ptr<StoredDigest>> read_back;
  std::unique_ptr<PrefixProof> proof;  // while a resumed prefix is proven beside the transfer
  std::string temporary;
  fs::path state_path;
  std::string last_text;  // empty until this run wrote or adopted a state document
  DigestState running{"sha256"};
  std::uint64_t hashed = 0;
  std::uint64_t checkpointed = 0;
  Clock::time_point last_time = Clock::now();

  Resume(Transport* transport, const ResumedDownload& request)
      : transport(transport),
        request(request),
        directory(request.destination.parent_path()),
        base(path_utf8(request.destination.filename())),
        total(request.description.at("length").get<std::uint64_t>()),
        authorization({{"length", total}, {"hashes", request.description.at("hashes")}}),
        scope_sha256(digest(request.scope, "sha256")) {
    // The state of a partial file names the target it belongs to by the file's own name.
    require(base == last_component(request.target), "unsafe_path",
            "A resumable download must be named after its target");
  }

  void tell(std::string_view event, std::string_view detail) const {
    if (request.observer) request.observer(event, detail);
  }

  void name(std::string partial) {
    temporary = std::move(partial);
    state_path = directory / (temporary + state_suffix);
  }

  std::string state_text(std::uint64_t received, const FileReservation& reservation) const {
    const json state = {{"schema_version", 1},
                        {"kind", state_kind},
                        {"target", std::string(request.target)},
                        {"temporary", temporary},
                        {"scope_sha256", scope_sha256},
                        {"prefix_sha256", running.value()},
                        {"received", received},
                        {"identity", {reservation.device, reservation.inode}},
                        {"authorization", authorization}};
    std::string text = state.dump();
    require(text.size() <= resume_state_limit, "size_limit", "Partial-download state exceeds its bound");
    return text;
  }

  // Replaces the state document with one that vouches for the first received bytes.
  void record(std::uint64_t received, const FileReservation& reservation) {
    const std::string text = state_text(received, reservation);
    if (!last_text.empty())
      require(read_file(state_path, resume_state_limit) == last_text, "download_resume_changed",
              "Resume marker changed before checkpoint");
    atomic_write(state_path, text);
    last_text = text;
    checkpointed = received;
    last_time = Clock::now();
  }

  void checkpoint() {
    require(hashed == file->written(), "download_resume_state", "Partial write did not complete a hash checkpoint");
    file->synchronize();
    record(file->written(), file->reservation());
  }

  // Readers of the file from its first byte, once per signed hash; they read only what stored() announces.
  void follow() {
    read_back.clear();
    for (const auto& [algorithm, expected] : request.description.at("hashes").items())
      read_back.push_back(std::make_unique<StoredDigest>(*file, total, algorithm));
  }
  void stored() {
    for (const auto& reader : read_back) reader->stored(file->written());
  }

  // The proof caught up with the transfer: the running digest continues from it.
  void adopt_proof() {
    running = proof->take(hashed);
    proof.reset();
    tell("resumed", temporary);
  }

  // The server answered a resume with the whole file: before the file is cut back, the state document
  // stops vouching for the old prefix, so a kill during the new transfer leaves a provable state.
  void restart() {
    if (proof) {
      proof.reset();  // the prefix is given up unproven; the partial file itself goes on
      tell("resumed", temporary);
    }
    running = DigestState("sha256");
    hashed = 0;
    record(0, file->reservation());
    follow();  // the file is cut back next, so only bytes written from now on are announced
  }
};

struct Scan {
  std::vector<Candidate> usable;  // ours with a partial file and a prefix to prove, most bytes first
  std::vector<Candidate> spent;   // ours and worth nothing: no partial file, or no byte recorded yet
  std::vector<fs::path> orphans;  // our names that no state document explains: empty partial files and
                                  // unfinished state-document writes
};

// The bounded scan: names first (every entry counts), then every state document of this file name is read.
// Only a valid document naming this target, authorisation and scope is ours; anything else stays in place.
Scan scan(const Resume& resume) {
  std::vector<fs::path> found;
  std::set<std::string> partials, writes;
  std::size_t entries = 0;
  std::error_code error;
  const std::string state_name_suffix = std::string(partial_suffix) + state_suffix;
  for (fs::directory_iterator it(resume.directory, error), end; !error && it != end; it.increment(error)) {
    require(++entries <= resume_scan_limit, "size_limit", "Download directory exceeds its bounded resume scan");
    const std::string name = path_utf8(it->path().filename());
    if (nonce_name(name, resume.base, partial_suffix)) partials.insert(name);
    // An atomic write of a state document killed before its rename: "<state>.<id>.tmp".
    if (name.size() > 37) {
      const std::string_view state = std::string_view(name).substr(0, name.size() - 37);
      if (nonce_name(name, state, ".tmp") && nonce_name(state, resume.base, state_name_suffix)) writes.insert(name);
    }
    if (!name.starts_with(resume.base + ".") || !name.ends_with(state_name_suffix)) continue;
    require(found.size() < resume_capacity, "download_resume_capacity",
            "Retained partial downloads reached their capacity");
    require(nonce_name(name, resume.base, state_name_suffix), "download_resume_state",
            "Unknown resume filename was preserved");
    found.push_back(it->path());
  }
  require(!error, "file_read", "Cannot scan the download directory");
  std::sort(found.begin(), found.end());

  Scan result;
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
    // A document of another target, authorisation or scope is not ours: it keeps its partial file and
    // its unfinished writes.
    const bool present = partials.erase(candidate.temporary) > 0;
    if (candidate.state.at("target") != resume.request.target ||
        candidate.state.at("authorization") != resume.authorization ||
        candidate.state.at("scope_sha256") != resume.scope_sha256) {
      std::erase_if(writes, [&](const std::string& write) { return write.starts_with(name + "."); });
      continue;
    }
    if (present && candidate.received() > 0)
      result.usable.push_back(std::move(candidate));
    else
      result.spent.push_back(std::move(candidate));
  }
  std::stable_sort(result.usable.begin(), result.usable.end(),
                   [](const Candidate& a, const Candidate& b) { return a.received() > b.received(); });
  // A partial file without a document is ours only while empty (killed before its first byte); a partial
  // file with data always has its document, since the document is written before the file is created.
  for (const std::string& name : partials) {
    struct stat status {};
    if (::lstat((resume.directory / name).c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0)
      result.orphans.push_back(resume.directory / name);
  }
  for (const std::string& name : writes) result.orphans.push_back(resume.directory / name);
  return result;
}

// Removes what a killed run of exactly this download left behind and nothing else.
void clean(const Resume& resume, const Scan& found) {
  if (found.spent.empty() && found.orphans.empty()) return;
  for (const Candidate& spent : found.spent) remove_partial(resume.directory / spent.temporary, spent.state_path);
  for (const fs::path& orphan : found.orphans) remove_name(orphan);
  sync_directory(resume.directory);
}

// A fresh partial file under a new nonce. Its state document comes first (no byte recorded yet, no
// identity known yet), so the partial file never exists without a document that proves it is ours.
void prepare(Resume& resume) {
  resume.name(resume.base + "." + random_id() + partial_suffix);
  resume.running = DigestState("sha256");
  resume.hashed = 0;
  resume.last_text.clear();
  resume.record(0, FileReservation{});
  resume.file.emplace(resume.directory / resume.temporary, resume.total, ReservationCallback{});
  resume.tell("prepared", resume.temporary);
}

// A partial file of ours that no longer proves is removed with its document; a fresh one starts from byte 0.
void start_over(Resume& resume) {
  resume.proof.reset();
  resume.read_back.clear();
  resume.file.reset();
  remove_partial(resume.directory / resume.temporary, resume.state_path);
  sync_directory(resume.directory);
  prepare(resume);
}

// Reopens the chosen partial file by its recorded identity and starts the proof of its prefix against the
// recorded digest beside the transfer. A partial file that cannot be reopened as recorded (shorter, replaced)
// starts over at once.
void reopen(Resume& resume, const Candidate& chosen) {
  resume.name(chosen.temporary);
  resume.last_text = chosen.text;
  FileReservation reservation;
  std::error_code unresolved;
  reservation.path = fs::absolute(resume.directory / resume.temporary, unresolved).lexically_normal();
  require(!unresolved, "file_read", "Cannot resolve the download directory");
  reservation.device = chosen.state.at("identity")[0].get<std::uint64_t>();
  reservation.inode = chosen.state.at("identity")[1].get<std::uint64_t>();
  reservation.length = resume.total;
  reservation.preallocated = true;
  try {
    resume.file.emplace(reservation.path, resume.total, reservation, chosen.received(), ReservationCallback{});
  } catch (const Error&) {
    start_over(resume);
    return;
  }
  resume.hashed = chosen.received();
  resume.checkpointed = chosen.received();
  resume.proof = std::make_unique<PrefixProof>(*resume.file, chosen.received(),
                                               chosen.state.at("prefix_sha256").get<std::string>());
}

// Whether a resumed prefix proved (true without one). With follow, the running digest then covers every
// written byte again, so that what arrived can be checkpointed.
bool settle_proof(Resume& resume, bool follow) {
  if (!resume.proof) return true;
  if (!resume.proof->settle(follow)) return false;
  if (resume.proof->complete()) {
    resume.adopt_proof();
  } else {
    resume.proof.reset();
    resume.tell("resumed", resume.temporary);
  }
  return true;
}

// Fetches the rest of the partial file, checkpointing as it goes and once more when the transfer stops.
void transfer(Resume& resume) {
  AllocatedFile& file = *resume.file;
  resume.follow();
  resume.stored();
  if (file.written() >= resume.total) return;
  file.reserve_remaining();
  const std::uint64_t checkpoint_bytes = std::max(resume_checkpoint_bytes, resume.total / resume_checkpoints_per_file);
  const TransportData on_data = [&](std::string_view chunk) {
    resume.stored();
    if (resume.proof) {
      if (resume.proof->failed()) throw PrefixRefuted{};
      if (!resume.proof->caught_up(chunk.size())) return;
      resume.adopt_proof();
    }
    resume.running.update(chunk);
    resume.hashed += chunk.size();
    if (resume.hashed - resume.checkpointed >= checkpoint_bytes ||
        Clock::now() - resume.last_time >= resume_checkpoint_interval)
      resume.checkpoint();
  };
  const TransportRestart on_restart = [&] { resume.restart(); };
  progress_phase(resume.request.progress, "download");
  try {
    resume.transport->download_into(resume.request.remote, file, file.written(), resume.request.progress, on_data,
                                    on_restart);
  } catch (...) {
    // Keep what arrived intact for the next attempt once the prefix proved; a failing last checkpoint keeps
    // the previous one.
    try {
      if (settle_proof(resume, true) && resume.hashed == file.written() && resume.hashed != resume.checkpointed)
        resume.checkpoint();
    } catch (const std::exception&) {
    }
    throw;
  }
}

// Verifies the whole file, moves it into place, then retires its state document and the superseded
// partial downloads of exactly this download; returns the destination opened for reading, still that file.
Descriptor finish(Resume& resume, const std::vector<Candidate>& superseded) {
  AllocatedFile& file = *resume.file;
  require(file.written() == resume.total, "length_mismatch", "Downloaded target is shorter than its signed length");
  progress_phase(resume.request.progress, "check");
  auto read_back = resume.read_back.begin();
  for (const auto& [algorithm, expected] : resume.request.description.at("hashes").items()) {
    if ((*read_back++)->value() != expected.get<std::string>()) {
      // Every byte arrived and the whole is wrong: nothing of it is worth resuming.
      std::error_code ignored;
      file.discard();
      fs::remove(resume.state_path, ignored);
      fail("hash_mismatch", "Target hash does not match signed metadata");
    }
  }
  const FileReservation verified = file.reservation();
  file.finish(true);
  native_files::rename_replace(resume.directory / resume.temporary, resume.request.destination);
  sync_directory(resume.directory);
  Descriptor reader(::open(resume.request.destination.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat status {};
  require(reader.valid() && ::fstat(reader.get(), &status) == 0 &&
              static_cast<std::uint64_t>(status.st_dev) == verified.device &&
              static_cast<std::uint64_t>(status.st_ino) == verified.inode,
          "allocation_changed", "Downloaded target changed before it was opened");

  require(read_file(resume.state_path, resume_state_limit) == resume.last_text, "download_resume_changed",
          "Resume marker changed before retirement");
  native_files::remove_or_trash(resume.state_path, {});
  for (const Candidate& other : superseded) {
    std::error_code ignored;
    fs::remove(resume.directory / other.temporary, ignored);
    fs::remove(other.state_path, ignored);
  }
  sync_directory(resume.directory);
  resume.tell("complete", path_utf8(resume.request.destination));
  return reader;
}

}  // namespace

// A resumable download of target T into D (P = "D.<nonce>.partial", S = P + ".resume.json"), killed at any
// point; the document always comes before its partial file and goes after it:
//
// | on disk                                    | next run of the same download                          |
// |--------------------------------------------|--------------------------------------------------------|
// | S vouching for 0 bytes, with or without P  | removes P, then S; a fresh P                           |
// | S vouching for n bytes, P whose prefix     | continues P from byte n while the prefix is proven on  |
// | proves (P may hold more: a kill before the | a second thread; S vouches for more only once the      |
// | proof had caught up with the transfer)     | proof has caught up                                    |
// | S vouching for n bytes, P shorter, changed | removes P, then S; a fresh P from byte 0 (once), as    |
// | or replaced                                | soon as the proof fails                                |
// | S without P (a removal killed half-way)    | removes S                                              |
// | empty P without S                          | removes P                                              |
// | "S.<id>.tmp" (a killed checkpoint write)   | removes it unless S belongs to another download        |
// | D and S (killed before retirement)         | D verifies: the leftovers are removed, nothing fetched |
// | S and P of another target, scope or        | untouched                                              |
// | authorisation; anything not named so       |                                                        |
Descriptor resumed_target(Transport& transport, const ResumedDownload& download) {
  Resume resume(&transport, download);
  Scan found = scan(resume);
  clean(resume, found);
  std::vector<Candidate>& usable = found.usable;
  if (usable.empty())
    prepare(resume);
  else
    reopen(resume, usable.front());
  try {
    transfer(resume);
  } catch (const PrefixRefuted&) {
  }
  // The file is finished only once its resumed prefix proved too; otherwise it starts over, once.
  if (!settle_proof(resume, false)) {
    start_over(resume);
    transfer(resume);
  }
  return finish(resume, usable.empty() ? usable : std::vector<Candidate>(usable.begin() + 1, usable.end()));
}

void retire_resume_leftovers(const ResumedDownload& download) {
  const Resume resume(nullptr, download);
  Scan found = scan(resume);
  found.spent.insert(found.spent.end(), std::make_move_iterator(found.usable.begin()),
                     std::make_move_iterator(found.usable.end()));
  clean(resume, found);
}

}  // namespace trelk
