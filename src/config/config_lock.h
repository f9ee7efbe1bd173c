#pragma once

#include <mutex>

namespace larkspire {

// Held for a whole load-change-save cycle on the configuration file, so that two writers
// at the same moment cannot undo each other's change.
std::mutex& ConfigFileMutex();

}  // namespace larkspire
