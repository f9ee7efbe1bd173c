#include "support/scratch_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace larkspire {
namespace {

struct ScratchDir {
  ScratchDir() {
    // libFuzzer may end the process without running destructors, so scripts/fuzz names a
    // directory that it removes itself. Memory-backed otherwise when possible: the atomic
    // writes sync every file they replace.
    const char* given = std::getenv("LARKSPIRE_FUZZ_TMPDIR");
    std::string base = given != nullptr && *given != '\0'          ? given
                       : std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                   : "/tmp";
    std::string pattern = base + "/larkspire-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

}  // namespace

const std::string& FuzzScratchDir() {
  static const ScratchDir dir;
  return dir.path;
}

}  // namespace larkspire
