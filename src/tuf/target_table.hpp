#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"

namespace trelk {

// The targets of one targets role, held compactly: every path in one buffer and, for a description that is
// exactly {"hashes": {"sha256" and/or "sha512": lower-case hex}, "length": unsigned}, its digests in binary;
// any other description as it was parsed. A table of tens of thousands of targets then takes a fraction of
// the memory of the parsed document. description() and append_canonical give back exactly the JSON that was
// parsed. Filled while parsing, then sealed; the table does not move while it is filled.
class TargetTable {
 public:
  TargetTable() = default;
  TargetTable(const TargetTable&) = delete;
  TargetTable& operator=(const TargetTable&) = delete;

  // False for a path added before.
  bool fresh(std::string_view path) const;
  void add(std::string&& path, json&& description);
  // Orders the paths by bytes (a canonical document already arrives in that order).
  void seal();

  std::size_t size() const { return entries_.size(); }
  std::string_view path(std::size_t index) const;
  json description(std::size_t index) const;
  // The description as parsed when it is not held compactly; null for a compact one, whose shape is closed.
  const json* kept(std::size_t index) const;
  // Binary search of a sealed table.
  std::optional<json> find(std::string_view path) const;
  // The canonical form of the whole targets object; drain may take out's text away between targets.
  void append_canonical(std::string& out, const std::function<void()>& drain) const;

 private:
  struct Entry {
    std::uint32_t path_at = 0;
    std::uint32_t path_size = 0;
    std::uint32_t kept = 0;   // 1 + index in kept_; 0 when compact
    std::uint8_t hashes = 0;  // bit 0: sha256, bit 1: sha512
    std::uint64_t length = 0;
    std::array<std::uint8_t, 32> sha256{};
    std::array<std::uint8_t, 64> sha512{};
  };
  // Orders entry indices by path and finds a path among them; only while an unordered document is parsed.
  struct ByPath {
    using is_transparent = void;
    const TargetTable* table;
    bool operator()(std::uint32_t a, std::uint32_t b) const { return table->path(a) < table->path(b); }
    bool operator()(std::uint32_t a, std::string_view b) const { return table->path(a) < b; }
    bool operator()(std::string_view a, std::uint32_t b) const { return a < table->path(b); }
  };

  std::string_view path_of(const Entry& entry) const;
  std::size_t position(std::string_view path) const;  // first sealed entry not below path

  std::string paths_;
  std::deque<Entry> entries_;  // no reallocation copies while a large role is read
  std::vector<json> kept_;
  std::unique_ptr<std::set<std::uint32_t, ByPath>> unordered_;
};

// A targets role as parsed: the document with an empty "targets" object in place of its targets, which are
// in the table. Immutable once verified, so lookups may share it.
struct TargetsRole {
  json document;
  TargetTable targets;
};

// parse_json of a targets role, signed.targets read straight into the table.
std::shared_ptr<TargetsRole> parse_targets_role(std::string_view bytes, std::size_t limit);

// The text the role's signatures cover: the canonical form of its signed object. When bytes are the
// canonical form of the whole document (as a publisher writes it), that is a view of bytes and nothing is
// copied; otherwise it is built in storage.
std::string_view signed_text(const TargetsRole& role, std::string_view bytes, std::string& storage);

}  // namespace trelk
