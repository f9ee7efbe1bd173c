#include "support/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace larkspire {

TempDir::TempDir() {
  char name[] = "/tmp/larkspire-test-XXXXXX";
  if (::mkdtemp(name) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory");
  }
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int FileMode(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return -1;
  }
  return static_cast<int>(info.st_mode & 07777);
}

bool FileExists(const std::string& path) { return FileMode(path) >= 0; }

}  // namespace larkspire
