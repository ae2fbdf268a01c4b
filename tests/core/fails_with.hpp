#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string_view>

#include "core/error.hpp"

namespace trelk::test {

// Success when action throws an Error with this code, this message (unless
// empty) and no recovery hints. Use as EXPECT_TRUE(fails_with(...)).
inline ::testing::AssertionResult fails_with(const std::function<void()>& action, std::string_view code,
                                             std::string_view message = {}) {
  try {
    action();
  } catch (const Error& error) {
    if (error.code == code && (message.empty() || message == error.what()) && error.details.empty())
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error.code << ": " << error.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, expected " << code;
}

}  // namespace trelk::test
