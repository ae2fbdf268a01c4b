#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "core/digest.hpp"

namespace trelk {

class AllocatedFile;

// Each stored body chunk of a file download, after it was written.
using TransportData = std::function<void(std::string_view chunk)>;
// A resumed download was answered with the whole file: called just before the file is cut back to byte 0.
using TransportRestart = std::function<void()>;

// An in-memory answer. A non-2xx status is returned, not thrown; callers decide.
struct TransportResponse {
  std::uint64_t status = 0;
  std::string body;
};

// How the trusted client and the downloads fetch repository files. Paths and names are relative
// UTF-8 text; limits and lengths are byte counts that bound what is accepted.
class Transport {
 public:
  virtual ~Transport() = default;
  // A file of the repository into memory, at most limit bytes.
  virtual TransportResponse get(std::string_view path, std::uint64_t limit) = 0;
  // One file name directly below the repository root; by default the same as get.
  virtual TransportResponse get_component(std::string_view name, std::uint64_t limit);
  // A target into a new file at destination, at most length bytes; the file is as long as what arrived.
  virtual void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t length,
                        const Progress& progress) = 0;
  virtual bool supports_resumption() const;
  // Continues a partial file from offset (its written prefix) to its reserved length.
  virtual void download_into(std::string_view path, AllocatedFile& file, std::uint64_t offset, const Progress& progress,
                             const TransportData& on_data, const TransportRestart& on_restart);
};

}  // namespace trelk
