#pragma once

#include <filesystem>
#include <string>

namespace trelk::test {

// A fresh private directory under the system temp directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes bytes to a file, creating parent directories; for fixtures only.
void write_file(const std::filesystem::path& file, const std::string& bytes);
std::string read_file(const std::filesystem::path& file);

}  // namespace trelk::test
