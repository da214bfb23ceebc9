// The vela::Error a call fails with, for tests that look at its number and text.
#pragma once

#include <gtest/gtest.h>

#include "velabackup/Error.h"

namespace vela::testing {

// Runs `action` and returns the vela::Error it raised (failing the test when it raised none).
template <class Action>
Error Failure(Action&& action) {
  try {
    action();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error was raised";
  return Error(0, "", "");
}

}  // namespace vela::testing
