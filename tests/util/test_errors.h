#pragma once

#include <exception>
#include <functional>
#include <string>

namespace larkspire::testing {

// The message of the exception of type Error (or one derived from it) that `action` throws,
// or "<no exception>". Exceptions of other types pass through and fail the test.
template <typename Error = std::exception>
std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.what();
  }
  return "<no exception>";
}

}  // namespace larkspire::testing
