#include "core/json.hpp"

#include <charconv>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace trelk {

namespace {

constexpr std::size_t max_depth = 64;

// Builds the value from the parser's events and enforces the protocol rules on
// each. The library's own callback parser rescans the enclosing container
// after every nested object, which is quadratic in large metadata; building
// here also lets the object map itself detect duplicate keys.
class ProtocolBuilder {
 public:
  ProtocolBuilder(json& root, const JsonMembers* members) : root_(root), members_(members) {}

  bool null() { return value(nullptr); }
  bool boolean(bool v) { return value(v); }
  bool number_integer(json::number_integer_t v) { return value(v); }
  bool number_unsigned(json::number_unsigned_t v) { return value(v); }
  bool number_float(json::number_float_t, const json::string_t&) {
    check_depth(open_.size());
    fail("invalid_number", "Floating point numbers are not allowed in protocol data");
  }
  bool string(json::string_t& v) { return value(std::move(v)); }
  bool binary(json::binary_t&) { fail("invalid_json", "JSON text cannot hold binary data"); }

  bool start_object(std::size_t) {
    check_depth(open_.size());
    open(json::object());
    return true;
  }
  bool key(json::string_t& name) {
    check_depth(open_.size());
    require(!open_.empty() && open_.back().value->is_object(), "duplicate_key", "JSON contains a duplicate object key");
    if (open_.back().diverted) {
      require(members_->fresh(name), "duplicate_key", "JSON contains a duplicate object key");
      name_ = std::move(name);
      member_ = &taken_;
      key_ = &name_;
      return true;
    }
    auto [member, inserted] = open_.back().value->get_ref<json::object_t&>().try_emplace(std::move(name));
    require(inserted, "duplicate_key", "JSON contains a duplicate object key");
    member_ = &member->second;
    key_ = &member->first;
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) {
    check_depth(open_.size());
    open(json::array());
    return true;
  }
  bool end_array() { return close(); }

  // The library's own text quotes the input it stopped at, which may be anything a server sent: only the
  // position is reported.
  template <typename Exception>
  bool parse_error(std::size_t position, const std::string&, const Exception&) {
    fail("invalid_json", "JSON text is malformed at byte " + std::to_string(position));
  }

 private:
  static constexpr std::size_t off_path = static_cast<std::size_t>(-1);

  struct Frame {
    json* value;
    std::size_t matched;  // names of the diverted path leading here, off_path when off it
    bool diverted;        // the object whose members go to the caller
  };

  // The depth of an event is the number of containers enclosing it.
  static void check_depth(std::size_t depth) {
    require(depth <= max_depth, "depth_limit", "JSON nesting exceeds 64 levels");
  }

  template <typename T>
  bool value(T&& v) {
    check_depth(open_.size());
    place(json(std::forward<T>(v)));
    if (!open_.empty() && open_.back().diverted) hand_over();
    return true;
  }

  void open(json&& container) {
    std::size_t matched = off_path;
    if (members_ && open_.empty()) {
      matched = 0;
    } else if (members_) {
      const Frame& parent = open_.back();
      if (!parent.diverted && parent.matched < members_->path.size() && parent.value->is_object() &&
          *key_ == members_->path[parent.matched])
        matched = parent.matched + 1;
    }
    const bool object = container.is_object();
    json* placed = place(std::move(container));
    open_.push_back({placed, matched, object && members_ && matched == members_->path.size()});
  }

  bool close() {
    check_depth(open_.size() - 1);
    open_.pop_back();
    if (!open_.empty() && open_.back().diverted) hand_over();
    return true;
  }

  void hand_over() {
    members_->take(std::move(name_), std::move(taken_));
    taken_ = json();
  }

  // Stores a new value where the parser is; open containers never move, as
  // their parent only grows after they are closed.
  json* place(json&& v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    json& parent = *open_.back().value;
    if (parent.is_array()) {
      auto& elements = parent.get_ref<json::array_t&>();
      elements.push_back(std::move(v));
      return &elements.back();
    }
    *member_ = std::move(v);
    return member_;
  }

  json& root_;
  const JsonMembers* members_;
  std::vector<Frame> open_;
  json* member_ = nullptr;
  const std::string* key_ = nullptr;  // the name of the member being read
  std::string name_;                  // of the diverted member being read
  json taken_;                        // its value
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

std::size_t quoted_size(std::string_view text) {
  std::size_t size = text.size() + 2;
  for (const char c : text) size += c == '"' || c == '\\';
  return size;
}

// The exact length of the canonical form, so that a large document's canonical text is allocated once
// instead of growing through copies of itself.
std::size_t canonical_size(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return 4;
    case json::value_t::boolean:
      return value.get<bool>() ? 4 : 5;
    case json::value_t::number_unsigned:
    case json::value_t::number_integer: {
      char buffer[24];
      const auto end = value.is_number_unsigned()
                           ? std::to_chars(buffer, buffer + sizeof buffer, value.get<std::uint64_t>()).ptr
                           : std::to_chars(buffer, buffer + sizeof buffer, value.get<std::int64_t>()).ptr;
      return static_cast<std::size_t>(end - buffer);
    }
    case json::value_t::string:
      return quoted_size(value.get_ref<const std::string&>());
    case json::value_t::array: {
      const auto& elements = value.get_ref<const json::array_t&>();
      std::size_t size = 2 + (elements.empty() ? 0 : elements.size() - 1);
      for (const auto& element : elements) size += canonical_size(element);
      return size;
    }
    case json::value_t::object: {
      const auto& members = value.get_ref<const json::object_t&>();
      std::size_t size = 2 + (members.empty() ? 0 : members.size() - 1);
      for (const auto& [key, member] : members) size += quoted_size(key) + 1 + canonical_size(member);
      return size;
    }
    default:
      return 0;  // refused by append_canonical
  }
}

json parse(std::string_view text, std::size_t limit, const JsonMembers* members) {
  require(text.size() <= limit, "size_limit", "JSON exceeds its size limit");
  json result;
  ProtocolBuilder builder(result, members);
  try {
    // Strict: one value, no comments, nothing but white space after it.
    bool complete = json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json, true, false);
    require(complete, "invalid_json", "JSON text is incomplete");
  } catch (const json::exception&) {
    fail("invalid_json", "JSON text is malformed");
  }
  return result;
}

}  // namespace

json parse_json(std::string_view text, std::size_t limit) { return parse(text, limit, nullptr); }

json parse_json(std::string_view text, std::size_t limit, const JsonMembers& members) {
  return parse(text, limit, &members);
}

void append_canonical_json(std::string& out, const json& value) { append_canonical(out, value); }

std::size_t canonical_json_size(const json& value) { return canonical_size(value); }

std::string canonical_json(const json& value) {
  std::string out;
  out.reserve(canonical_size(value));
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
