#pragma once

#include <string>

namespace larkspire {

// A private directory (in /dev/shm, else /tmp) for the whole fuzzing process, removed at exit.
const std::string& FuzzScratchDir();

}  // namespace larkspire
