#include "tuf/target_table.hpp"

#include <algorithm>
#include <limits>

#include "core/error.hpp"

namespace trelk {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";
constexpr std::uint8_t has_sha256 = 1, has_sha512 = 2;

int lower_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Lower-case hexadecimal of exactly the digest's size; anything else is kept as text.
template <std::size_t N>
bool decode(const json& value, std::array<std::uint8_t, N>& out) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  if (text.size() != 2 * N) return false;
  for (std::size_t i = 0; i < N; ++i) {
    const int high = lower_hex_value(text[2 * i]), low = lower_hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

template <std::size_t N>
void append_hex(std::string& out, const std::array<std::uint8_t, N>& bytes) {
  for (const std::uint8_t byte : bytes) {
    out.push_back(hex_digits[byte >> 4]);
    out.push_back(hex_digits[byte & 0x0f]);
  }
}

template <std::size_t N>
std::string hex_text(const std::array<std::uint8_t, N>& bytes) {
  std::string text;
  text.reserve(2 * N);
  append_hex(text, bytes);
  return text;
}

// Collects the canonical text in pieces and hands each to sink; position counts every byte written.
struct CanonicalWriter {
  explicit CanonicalWriter(std::function<void(std::string_view)> to) : sink(std::move(to)) {}

  std::function<void(std::string_view)> sink;
  std::string out;
  std::size_t drained = 0;

  std::size_t position() const { return drained + out.size(); }
  void drain(std::size_t at_least) {
    if (out.size() < at_least) return;
    sink(out);
    drained += out.size();
    out.clear();
  }
};

void write_signed(const TargetsRole& role, CanonicalWriter& writer) {
  writer.out.push_back('{');
  bool first = true;
  for (const auto& [key, member] : role.document.at("signed").get_ref<const json::object_t&>()) {
    if (!first) writer.out.push_back(',');
    first = false;
    writer.out.append(quote(key)).push_back(':');
    if (key == "targets" && member.is_object() && member.empty())
      role.targets.append_canonical(writer.out, [&] { writer.drain(65536); });
    else
      append_canonical_json(writer.out, member);
  }
  writer.out.push_back('}');
}

}  // namespace

std::string_view TargetTable::path_of(const Entry& entry) const {
  return std::string_view(paths_).substr(entry.path_at, entry.path_size);
}

std::string_view TargetTable::path(std::size_t index) const { return path_of(entries_[index]); }

std::size_t TargetTable::position(std::string_view path) const {
  const auto found =
      std::partition_point(entries_.begin(), entries_.end(), [&](const Entry& entry) { return path_of(entry) < path; });
  return static_cast<std::size_t>(found - entries_.begin());
}

bool TargetTable::fresh(std::string_view path) const {
  if (unordered_) return !unordered_->contains(path);
  if (entries_.empty() || path_of(entries_.back()) < path) return true;
  const std::size_t at = position(path);
  return at == entries_.size() || this->path(at) != path;
}

void TargetTable::add(std::string&& path, json&& description) {
  require(paths_.size() + path.size() <= std::numeric_limits<std::uint32_t>::max() &&
              entries_.size() < std::numeric_limits<std::uint32_t>::max(),
          "size_limit", "Targets role exceeds its bound");
  Entry entry;
  entry.path_at = static_cast<std::uint32_t>(paths_.size());
  entry.path_size = static_cast<std::uint32_t>(path.size());
  bool compact = description.is_object() && description.size() == 2 && description.contains("length") &&
                 description.at("length").is_number_unsigned() && description.contains("hashes");
  if (compact) {
    const json& hashes = description.at("hashes");
    compact = hashes.is_object() && !hashes.empty();
    for (auto it = hashes.begin(); compact && it != hashes.end(); ++it) {
      if (it.key() == "sha256" && decode(it.value(), entry.sha256))
        entry.hashes |= has_sha256;
      else if (it.key() == "sha512" && decode(it.value(), entry.sha512))
        entry.hashes |= has_sha512;
      else
        compact = false;
    }
  }
  if (compact) {
    entry.length = description.at("length").get<std::uint64_t>();
  } else {
    entry.hashes = 0;
    kept_.push_back(std::move(description));
    entry.kept = static_cast<std::uint32_t>(kept_.size());
  }
  const bool in_order = entries_.empty() || path_of(entries_.back()) < path;
  paths_.append(path);
  entries_.push_back(entry);
  const auto index = static_cast<std::uint32_t>(entries_.size() - 1);
  if (!unordered_ && !in_order) {
    // Out of byte order: from here on names are found through an index until the table is sealed.
    unordered_ = std::make_unique<std::set<std::uint32_t, ByPath>>(ByPath{this});
    for (std::uint32_t i = 0; i < index; ++i) unordered_->insert(i);
  }
  if (unordered_) unordered_->insert(index);
}

void TargetTable::seal() {
  if (!unordered_) return;
  unordered_.reset();
  std::sort(entries_.begin(), entries_.end(), [&](const Entry& a, const Entry& b) { return path_of(a) < path_of(b); });
}

const json* TargetTable::kept(std::size_t index) const {
  const Entry& entry = entries_[index];
  return entry.kept == 0 ? nullptr : &kept_[entry.kept - 1];
}

json TargetTable::description(std::size_t index) const {
  if (const json* held = kept(index)) return *held;
  const Entry& entry = entries_[index];
  json hashes = json::object();
  if (entry.hashes & has_sha256) hashes["sha256"] = hex_text(entry.sha256);
  if (entry.hashes & has_sha512) hashes["sha512"] = hex_text(entry.sha512);
  return json{{"hashes", std::move(hashes)}, {"length", entry.length}};
}

std::optional<json> TargetTable::find(std::string_view path) const {
  const std::size_t at = position(path);
  if (at == entries_.size() || this->path(at) != path) return std::nullopt;
  return description(at);
}

void TargetTable::append_canonical(std::string& out, const std::function<void()>& drain) const {
  out.push_back('{');
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.append(quote(path(i))).push_back(':');
    const Entry& entry = entries_[i];
    if (entry.kept != 0) {
      append_canonical_json(out, kept_[entry.kept - 1]);
    } else {
      out.append("{\"hashes\":{");
      if (entry.hashes & has_sha256) {
        out.append("\"sha256\":\"");
        append_hex(out, entry.sha256);
        out.push_back('"');
      }
      if (entry.hashes & has_sha512) {
        out.append(entry.hashes & has_sha256 ? ",\"sha512\":\"" : "\"sha512\":\"");
        append_hex(out, entry.sha512);
        out.push_back('"');
      }
      out.append("},\"length\":").append(std::to_string(entry.length)).push_back('}');
    }
    if (drain) drain();
  }
  out.push_back('}');
}

std::shared_ptr<TargetsRole> parse_targets_role(std::string_view bytes, std::size_t limit) {
  auto role = std::make_shared<TargetsRole>();
  TargetTable& table = role->targets;
  role->document =
      parse_json(bytes, limit,
                 {.path = {"signed", "targets"},
                  .fresh = [&](const std::string& name) { return table.fresh(name); },
                  .take = [&](std::string&& name, json&& value) { table.add(std::move(name), std::move(value)); }});
  table.seal();
  return role;
}

std::string_view signed_text(const TargetsRole& role, std::string_view bytes, std::string& storage) {
  // First compare the canonical form of the whole document with bytes, piece by piece.
  std::size_t compared = 0;
  bool equal = true;
  CanonicalWriter matcher{[&](std::string_view piece) {
    equal = equal && bytes.substr(compared, piece.size()) == piece;
    compared += piece.size();
  }};
  std::size_t begin = 0, end = 0;
  matcher.out.push_back('{');
  bool first = true;
  for (const auto& [key, member] : role.document.get_ref<const json::object_t&>()) {
    if (!first) matcher.out.push_back(',');
    first = false;
    matcher.out.append(quote(key)).push_back(':');
    if (key == "signed") {
      begin = matcher.position();
      write_signed(role, matcher);
      end = matcher.position();
    } else {
      append_canonical_json(matcher.out, member);
    }
    if (!equal) break;
  }
  matcher.out.push_back('}');
  matcher.drain(0);
  if (equal && compared == bytes.size() && end > begin) return bytes.substr(begin, end - begin);

  // Otherwise build it: measured first, so that a large text is allocated once.
  std::size_t size = 0;
  CanonicalWriter counter{[&](std::string_view piece) { size += piece.size(); }};
  write_signed(role, counter);
  counter.drain(0);
  storage.clear();
  storage.reserve(size);
  CanonicalWriter builder{[&](std::string_view piece) { storage.append(piece); }};
  write_signed(role, builder);
  builder.drain(0);
  return storage;
}

}  // namespace trelk
