#pragma once

#include <filesystem>

namespace larkspire::testing {

// A scenario that leaks a descriptor or a thread leaves these higher than it found them.
inline int CountEntries(const char* directory) {
  auto entries = std::filesystem::directory_iterator(directory);
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}
inline int OpenDescriptors() {
  return CountEntries("/proc/self/fd");
}
inline int RunningThreads() {
  return CountEntries("/proc/self/task");
}

}  // namespace larkspire::testing
