#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace trelk::test {

// The Error a call throws; fails the calling test when it throws nothing or something else.
template <typename F>
Error thrown(F&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  } catch (const std::exception& other) {
    ADD_FAILURE() << "expected an Error, got: " << other.what();
    return Error("none", "none");
  }
  ADD_FAILURE() << "expected an Error";
  return Error("none", "none");
}

// Success when call throws an Error with this code and, unless empty, this message.
// Use as EXPECT_TRUE(fails_with(...)).
template <typename F>
::testing::AssertionResult fails_with(F&& call, std::string_view code, std::string_view message = {}) {
  try {
    call();
  } catch (const Error& error) {
    if (error.code == code && (message.empty() || message == error.what())) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error.code << ": " << error.what();
  } catch (const std::exception& other) {
    return ::testing::AssertionFailure() << "threw a non-Error: " << other.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, expected " << code;
}

#define EXPECT_TRELK_ERROR(call, expected_code, expected_message) \
  EXPECT_TRUE(::trelk::test::fails_with([&] { call; }, expected_code, expected_message))

}  // namespace trelk::test
