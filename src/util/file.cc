#include "util/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "util/fd.h"

namespace larkspire {
namespace {

std::mutex g_write_mutex;

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return path.substr(0, slash);
}

// Writes and syncs the temporary file; false on any failure.
bool WriteTemporary(const std::string& tmp, const std::string& contents, unsigned int mode) {
  ::unlink(tmp.c_str());
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777));
  if (!fd.valid()) {
    return false;
  }
  // The umask may have narrowed the mode; widen it to exactly what was asked before any
  // byte is written.
  ::fchmod(fd.get(), mode & 07777);
  if (!WriteAll(fd.get(), contents) || ::fsync(fd.get()) != 0) {
    return false;
  }
  return fd.Close() == 0;
}

void SyncDirectory(const std::string& directory) {
  UniqueFd fd(
      ::open(directory.empty() ? "/" : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) {
    ::fsync(fd.get());
  }
}

}  // namespace

bool WriteAll(int fd, std::string_view contents) {
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Opened close-on-exec, as every descriptor of this process: a command started by another
// thread meanwhile must not inherit it.
std::string ReadFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string contents;
  if (!fd.valid()) {
    return contents;
  }
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return contents;  // a read error keeps what was read so far, as a stream would
    }
    contents.append(buffer, static_cast<size_t>(n));
  }
}

void WriteFileAtomic(const std::string& path, const std::string& contents, unsigned int mode) {
  std::lock_guard<std::mutex> lock(g_write_mutex);
  std::string directory = DirectoryOf(path);
  EnsureDirectory(directory);
  std::string tmp = path + ".tmp";
  if (!WriteTemporary(tmp, contents, mode)) {
    ::unlink(tmp.c_str());
    throw std::runtime_error("Failed to write " + tmp);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    // The temporary may hold a secret (the configuration is one); do not leave it lying about.
    ::unlink(tmp.c_str());
    throw std::runtime_error("Failed to replace " + path + ": " + std::strerror(error));
  }
  SyncDirectory(directory);
}

void EnsureDirectory(const std::string& path) {
  if (path.empty()) {
    return;
  }
  std::string built = path[0] == '/' ? "/" : "";
  std::stringstream pieces(path);
  std::string piece;
  while (std::getline(pieces, piece, '/')) {
    if (piece.empty()) {
      continue;
    }
    if (!built.empty() && built.back() != '/') {
      built += '/';
    }
    built += piece;
    ::mkdir(built.c_str(), 0755);
  }
}

}  // namespace larkspire
