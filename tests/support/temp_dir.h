#pragma once

#include <string>

namespace larkspire {

// A fresh directory under /tmp, removed with everything inside when the object goes.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Permission bits of a file or directory (lstat), or -1 when it does not exist.
int FileMode(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace larkspire
