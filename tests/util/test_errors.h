#pragma once

#include <exception>
#include <functional>
#include <string>

namespace larkspire::testing {

// The message of the Error `action` throws, or "<no exception>"; other types pass through.
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
