#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/error.hpp"

namespace trelk::test {

// The Error a call throws; fails the test when it throws nothing or something else.
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

#define EXPECT_TRELK_ERROR(call, expected_code, expected_message)         \
  do {                                                                    \
    ::trelk::Error error_ = ::trelk::test::thrown([&] { call; });         \
    EXPECT_EQ(error_.code, expected_code);                                \
    EXPECT_EQ(std::string(error_.what()), std::string(expected_message)); \
  } while (false)

}  // namespace trelk::test
