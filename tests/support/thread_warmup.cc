#include <thread>

namespace larkspire::testing {
namespace {

// ThreadSanitizer starts a helper thread of its own when the program creates its first
// thread. Creating one before any test runs keeps that helper out of the thread counts the
// tests compare, whichever test happens to start the first thread.
[[maybe_unused]] const bool kFirstThreadStarted = [] {
  std::thread([] {}).join();
  return true;
}();

}  // namespace
}  // namespace larkspire::testing
