#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace trelk {

// The packager's identity of an installation, shown instead of the built-in name.
struct Brand {
  std::string name;
  std::string id;
  std::string publisher;
  bool icon = false;
};

void validate_brand_name(std::string_view name);
Brand parse_brand(const json& document);
// The brand of native/installation.json; empty for any missing or malformed record.
std::optional<Brand> installed_brand(const std::filesystem::path& data_root);
std::filesystem::path brand_icon_path(const std::filesystem::path& data_root);
// Applies the installed brand (name, theme, icon) to the process-wide presentation state.
void use_installed_brand(const std::filesystem::path& data_root);
// Loads an installation's theme for graphical front ends; the bootstrap draws nothing itself.
void use_installed_theme(const std::filesystem::path& data_root);

// Process-wide presentation state, set once early at start.
const std::string& product_name();
void set_product_name(std::string name);
const std::filesystem::path& product_icon();
void set_product_icon(std::filesystem::path icon);

// The text with every whole-word "Trelk" replaced by the product name.
std::string branded(std::string_view text);

}  // namespace trelk
