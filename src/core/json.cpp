#include "core/json.hpp"

#include <charconv>
#include <memory_resource>
#include <set>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace trelk {

namespace {

constexpr int max_depth = 64;

// Key sets of the open objects. Their nodes come from one arena that lives as
// long as the parse, so duplicate detection costs no general-purpose allocation.
class KeyTracker {
 public:
  bool operator()(int depth, json::parse_event_t event, json& parsed) {
    require(depth <= max_depth, "depth_limit", "JSON nesting exceeds 64 levels");
    switch (event) {
      case json::parse_event_t::object_start:
        if (open_ == sets_.size()) sets_.emplace_back();
        ++open_;
        break;
      case json::parse_event_t::key: {
        const auto& key = parsed.get_ref<const std::string&>();
        require(open_ > 0 && sets_[open_ - 1].emplace(key.data(), key.size()).second, "duplicate_key",
                "JSON contains a duplicate object key");
        break;
      }
      case json::parse_event_t::object_end:
        // Reused for the next object at this depth; its nodes stay in the arena.
        if (open_ > 0) sets_[--open_].clear();
        break;
      case json::parse_event_t::value:
        require(!parsed.is_number_float(), "invalid_number", "Floating point numbers are not allowed in protocol data");
        break;
      case json::parse_event_t::array_start:
      case json::parse_event_t::array_end:
        break;
    }
    return true;
  }

 private:
  using KeySet = std::pmr::set<std::pmr::string, std::less<>>;
  std::pmr::monotonic_buffer_resource arena_;
  std::pmr::vector<KeySet> sets_{&arena_};
  std::size_t open_ = 0;
};

void append_integer(std::string& out, auto number) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  out.append(buffer, result.ptr);
}

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"' || text[i] == '\\') {
      out.append(text.data() + start, i - start);
      out.push_back('\\');
      start = i;
    }
  }
  out.append(text.data() + start, text.size() - start);
  out.push_back('"');
}

void append_canonical(std::string& out, const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      out.append("null");
      return;
    case json::value_t::boolean:
      out.append(value.get<bool>() ? "true" : "false");
      return;
    case json::value_t::number_unsigned:
      append_integer(out, value.get<std::uint64_t>());
      return;
    case json::value_t::number_integer:
      append_integer(out, value.get<std::int64_t>());
      return;
    case json::value_t::string:
      append_quoted(out, value.get_ref<const std::string&>());
      return;
    case json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value.get_ref<const json::array_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_canonical(out, element);
      }
      out.push_back(']');
      return;
    }
    case json::value_t::object: {
      out.push_back('{');
      bool first = true;
      // The object map is ordered by unsigned byte comparison of the keys.
      for (const auto& [key, member] : value.get_ref<const json::object_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_quoted(out, key);
        out.push_back(':');
        append_canonical(out, member);
      }
      out.push_back('}');
      return;
    }
    default:
      fail("invalid_number", "Cannot canonicalize floating point data");
  }
}

}  // namespace

json parse_json(std::string_view text, std::size_t limit) {
  require(text.size() <= limit, "size_limit", "JSON exceeds its size limit");
  KeyTracker tracker;
  try {
    return json::parse(
        text.begin(), text.end(),
        [&tracker](int depth, json::parse_event_t event, json& parsed) { return tracker(depth, event, parsed); }, true,
        false);
  } catch (const json::exception& error) {
    throw Error("invalid_json", error.what());
  }
}

std::string canonical_json(const json& value) {
  std::string out;
  out.reserve(256);
  append_canonical(out, value);
  return out;
}

std::string quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted(out, text);
  return out;
}

std::uint64_t positive_version(const json& value) {
  require(value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() > 0), "invalid_version",
          "Metadata version must be a positive integer");
  auto version = value.get<std::uint64_t>();
  require(version != 0, "invalid_version", "Metadata version must be positive");
  return version;
}

std::uint64_t size_value(const json& value) {
  require(value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0),
          "invalid_manifest", "Manifest length must be a non-negative integer");
  return value.get<std::uint64_t>();
}

std::string sha256(const json& value) {
  bool valid = value.is_string() && value.get_ref<const std::string&>().size() == 64;
  if (valid)
    for (char c : value.get_ref<const std::string&>())
      valid = valid && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  require(valid, "invalid_manifest", "Manifest needs a lower-case SHA-256 digest");
  return value.get<std::string>();
}

}  // namespace trelk
