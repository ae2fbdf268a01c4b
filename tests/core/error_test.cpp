#include "core/error.hpp"

#include <gtest/gtest.h>

namespace trelk {
namespace {

TEST(Error, RequireTrueDoesNothing) { EXPECT_NO_THROW(require(true, "anything", "whatever", {"x"})); }

TEST(Error, RequireFalseCarriesCodeMessageAndDetails) {
  try {
    require(false, "size_limit", "JSON exceeds its size limit", {});
    FAIL() << "require did not throw";
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "JSON exceeds its size limit");
    EXPECT_EQ(error.code, "size_limit");
    EXPECT_TRUE(error.details.empty());
  }
  try {
    require(false, "launcher_missing", "No launcher", {"self status", "self repair"});
  } catch (const Error& error) {
    EXPECT_EQ(error.details, (std::vector<std::string>{"self status", "self repair"}));
  }
}

TEST(Error, LocalStorageFailureIsExact) {
  for (auto code : {"file_sync", "file_write", "permissions", "journal_write", "insufficient_space"})
    EXPECT_TRUE(local_storage_failure(code)) << code;
  for (auto code : {"File_write", "file_writes", "", "file_read", "busy"})
    EXPECT_FALSE(local_storage_failure(code)) << code;
}

}  // namespace
}  // namespace trelk
