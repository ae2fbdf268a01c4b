#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/digest.hpp"
#include "core/json.hpp"

struct ZSTD_CCtx_s;

namespace trelk {

struct ZstdOptions {
  int level = 3;
  // 0 keeps the library's choice; a larger log asks decoders for a larger window.
  int window_log = 0;
  // Without a pledged size the frame header states the full window instead of the content size.
  bool pledge_size = true;
};

// Writes one Zstandard frame to a new file, counting and hashing the compressed bytes.
class ZstdFileWriter {
 public:
  ZstdFileWriter(const std::filesystem::path& path, const ZstdOptions& options);
  ZstdFileWriter(const ZstdFileWriter&) = delete;
  ZstdFileWriter& operator=(const ZstdFileWriter&) = delete;
  ~ZstdFileWriter();

  void write(std::string_view bytes);
  // Ends the frame and closes the file durably.
  void finish();
  std::uint64_t length() const { return length_; }
  std::string sha256() const { return digest_.value(); }

 private:
  void emit(std::string_view bytes);
  void drain(std::string_view input, int directive);

  int fd_ = -1;
  ZSTD_CCtx_s* context_ = nullptr;
  std::vector<char> output_;
  DigestState digest_{"sha256"};
  std::uint64_t length_ = 0;
};

// One tar member. Besides ordinary files the test corpus needs the entry types a snapshot must refuse.
struct TarMember {
  enum class Type { file, directory, symlink, hardlink, fifo, character_device };
  std::string path;
  std::string content;
  unsigned mode = 0644;
  Type type = Type::file;
  std::string link;  // target of a symbolic or hard link
};

// The tar stream of members as libarchive writes it (POSIX pax, owner 0, time 0).
std::string tar_bytes(const std::vector<TarMember>& members);
// One Zstandard frame of bytes.
std::string zstd_frame(std::string_view bytes, const ZstdOptions& options = {});

struct PackOptions {
  std::string build_id;
  std::string platform = "linux-x86_64";
  std::string executable;
  std::string target;  // defaults to build_id + ".tar.zst"
  int level = 3;
};

// Packs every regular file below source into a tar.zst-v1 archive (files in byte order of their
// paths; the owner-execute bit selects mode 0755, else 0644) and returns its snapshot manifest.
json pack_snapshot(const std::filesystem::path& source, const std::filesystem::path& archive,
                   const PackOptions& options);

// Adds the launcher release members (kind, ABIs, GUI entry point, helpers) to a snapshot manifest.
json launcher_release(json snapshot, const std::string& gui_executable,
                      const std::vector<std::pair<std::string, std::string>>& helpers);

// Adds the bootstrap release members (kind, ABIs, data contract) to a snapshot manifest whose executable is
// bin/trelk-bootstrap, and refuses a document an installed bootstrap of that platform would not take.
json bootstrap_release(json snapshot);

}  // namespace trelk
