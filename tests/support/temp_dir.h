#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace larkspire {

// A fresh directory under /tmp, removed with everything inside when the object goes.
class TempDir {
 public:
  TempDir() : path_("/tmp/larkspire-test-XXXXXX") {
    if (::mkdtemp(path_.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary directory");
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::error_code ignored_;
};

// Permission bits (lstat), or -1 when nothing is there.
inline int FileMode(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}
inline bool FileExists(const std::string& path) {
  return FileMode(path) >= 0;
}

}  // namespace larkspire
