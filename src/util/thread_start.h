#pragma once

#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace larkspire {

// A thread the system refused to start. The service cannot do its work without its threads,
// so this ends it (exit status 1, the service manager starts it again) instead of being
// retried like a lost relay connection.
class ThreadStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs `start` (which starts one thread) and turns the system's refusal into a
// ThreadStartError "Failed to start the <name> thread: <reason>".
template <typename Start>
auto StartThread(const char* name, Start&& start) {
  try {
    return std::forward<Start>(start)();
  } catch (const std::system_error& error) {
    throw ThreadStartError(std::string("Failed to start the ") + name + " thread: " + error.what());
  }
}

}  // namespace larkspire
