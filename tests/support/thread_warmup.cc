#include <thread>

namespace larkspire::testing {
namespace {

// The thread sanitizer starts a helper thread with the program's first thread: starting one
// before any test keeps that helper out of the thread counts the tests compare.
[[maybe_unused]] const bool kFirstThreadStarted = [] {
  std::thread([] {}).join();
  return true;
}();

}  // namespace
}  // namespace larkspire::testing
