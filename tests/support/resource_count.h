#pragma once

#include <filesystem>

namespace larkspire::testing {

// Entries of /proc/self/fd and /proc/self/task: a scenario that leaks a descriptor or a
// thread leaves these higher than it found them.
inline int CountEntries(const char* directory) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
    ++count;
  }
  return count;
}
inline int OpenDescriptors() {
  return CountEntries("/proc/self/fd");
}
inline int RunningThreads() {
  return CountEntries("/proc/self/task");
}

}  // namespace larkspire::testing
