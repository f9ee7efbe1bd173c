#include <thread>

namespace larkspire::testing {
namespace {

// Keeps the thread sanitizer's helper, started with the first thread, out of thread counts.
[[maybe_unused]] const bool kFirstThreadStarted = [] {
  std::thread([] {}).join();
  return true;
}();

}  // namespace
}  // namespace larkspire::testing
