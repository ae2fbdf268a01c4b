#include "native/brand.hpp"

#include <array>
#include <cctype>
#include <exception>
#include <string_view>
#include <system_error>

#include "core/error.hpp"
#include "core/paths.hpp"
#include "files/atomic.hpp"

namespace trelk {
namespace {

constexpr std::string_view builtin_name = "Trelk";
constexpr std::size_t installation_record_limit = 65536;
constexpr std::string_view forbidden_name_bytes = "<>:\"/\\|?*";

std::string& name_state() {
  static std::string name(builtin_name);
  return name;
}

std::filesystem::path& icon_state() {
  static std::filesystem::path icon;
  return icon;
}

bool control_byte(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// The name also becomes a folder name on other platforms, so names that one of
// them reserves for devices are refused everywhere.
bool device_name(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' && stem[3] <= '9';
}

std::string brand_text(const json& document, const std::string& member, std::size_t limit) {
  auto value = document.find(member);
  require(value != document.end() && value->is_string(), "invalid_native_package", "Brand needs a " + member);
  const std::string& text = value->get_ref<const std::string&>();
  bool plain = !text.empty() && text.size() <= limit;
  for (char c : text) plain = plain && !control_byte(c);
  require(plain, "invalid_native_package",
          "Brand " + member + " must be 1 to " + std::to_string(limit) + " bytes of plain text");
  return text;
}

}  // namespace

void validate_brand_name(std::string_view name) {
  bool valid = !name.empty() && name.size() <= 64 && name.front() != ' ' && name.back() != ' ' && name.back() != '.';
  for (char c : name) valid = valid && !control_byte(c) && forbidden_name_bytes.find(c) == std::string_view::npos;
  require(valid, "invalid_native_package",
          "A brand name is 1 to 64 bytes and also names a folder: no control characters, none of < > : \" / \\ | ? *, "
          "and no leading space or trailing space or dot");
  require(!device_name(name), "invalid_native_package", "A brand name cannot be a Windows device name");
}

Brand parse_brand(const json& document) {
  require(document.is_object() && document.size() == 4 && document.contains("icon") && document["icon"].is_boolean(),
          "invalid_native_package", "Brand has unknown or missing fields");
  Brand brand;
  brand.name = brand_text(document, "name", 64);
  brand.id = brand_text(document, "id", 80);
  brand.publisher = brand_text(document, "publisher", 128);
  brand.icon = document["icon"].get<bool>();
  validate_brand_name(brand.name);
  validate_identifier(brand.id);
  return brand;
}

std::optional<Brand> installed_brand(const std::filesystem::path& data_root) {
  try {
    json record = parse_json(read_file(data_root / "native" / "installation.json", installation_record_limit),
                             installation_record_limit);
    if (!record.is_object() || !record.contains("brand")) return std::nullopt;
    return parse_brand(record["brand"]);
  } catch (const std::exception&) {
    // A broken record must never stop the start; the built-in name stays.
    return std::nullopt;
  }
}

std::filesystem::path brand_icon_path(const std::filesystem::path& data_root) {
  return data_root / "native" / "brand.ico";
}

void use_installed_brand(const std::filesystem::path& data_root) {
  std::optional<Brand> brand = installed_brand(data_root);
  if (!brand) return;
  set_product_name(brand->name);
  use_installed_theme(data_root);
  if (!brand->icon) return;
  std::filesystem::path icon = brand_icon_path(data_root);
  std::error_code ignored;
  if (std::filesystem::is_regular_file(std::filesystem::symlink_status(icon, ignored))) set_product_icon(icon);
}

void use_installed_theme(const std::filesystem::path&) {}

const std::string& product_name() { return name_state(); }

void set_product_name(std::string name) { name_state() = std::move(name); }

const std::filesystem::path& product_icon() { return icon_state(); }

void set_product_icon(std::filesystem::path icon) { icon_state() = std::move(icon); }

std::string branded(std::string_view text) {
  const std::string& name = product_name();
  if (name == builtin_name) return std::string(text);
  std::string result;
  result.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t found = text.find(builtin_name, position);
    if (found == std::string_view::npos) break;
    std::size_t end = found + builtin_name.size();
    bool whole = (found == 0 || !ascii_alnum(text[found - 1])) && (end == text.size() || !ascii_alnum(text[end]));
    result.append(text.substr(position, found - position));
    if (whole) {
      result += name;
    } else {
      result.append(builtin_name);
    }
    position = end;
  }
  result.append(text.substr(position));
  return result;
}

}  // namespace trelk
