#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "core/error.hpp"

namespace trelk::test {

// Runs action and returns the Error it throws; no throw fails the calling test.
inline Error thrown(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "no Error was thrown";
  return Error("none", "none");
}

}  // namespace trelk::test
