#include "util/logger.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "util/file.h"
#include "util/text.h"

namespace larkspire {

Logger g_log;

namespace {

// The log tells who registered with which identity and what the Hub said: for the operator
// and the services' group, not for every local user.
constexpr mode_t kLogDirectoryMode = 0750;
constexpr mode_t kLogFileMode = 0640;
// A value from outside (a Hub's message of up to a megabyte) makes at most this long a line.
constexpr size_t kMaxMessageBytes = 16384;

// Creates the folder with the log's mode, and narrows one that an older version made 0755.
void MakeLogDirectory(const std::string& path) {
  ::mkdir(path.c_str(), kLogDirectoryMode);
  ::chmod(path.c_str(), kLogDirectoryMode);
}

std::string FormatLocalTime(std::time_t when, const char* format) {
  std::tm local{};
  localtime_r(&when, &local);
  char buffer[64];
  size_t n = std::strftime(buffer, sizeof(buffer), format, &local);
  return std::string(buffer, n);
}

}  // namespace

void Logger::Open(const std::string& workDir) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::time_t now = std::time(nullptr);
  EnsureDirectory(workDir);
  MakeLogDirectory(workDir + "/Log");
  const std::string directory = workDir + "/Log/" + FormatLocalTime(now, "%Y%m");
  MakeLogDirectory(directory);
  path_ = directory + "/" + FormatLocalTime(now, "%Y%m%d_%H%M%S") + ".log";
  UniqueFd file(
      ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, kLogFileMode));
  if (!file.valid()) {
    throw std::runtime_error("Failed to open log file: " + path_);
  }
  ::fchmod(file.get(), kLogFileMode);
  // A restart within the same second reopens the same file: the byte-order mark belongs
  // only at its very start.
  struct stat info {};
  const bool fresh = ::fstat(file.get(), &info) == 0 && info.st_size == 0;
  file_ = std::move(file);
  fileFailed_ = fresh && !WriteAll(file_.get(), "\xEF\xBB\xBF");
}

void Logger::Write(const std::string& level, const std::string& message) {
  std::string text = EscapeControlBytes(message);
  if (text.size() > kMaxMessageBytes) {
    text.resize(kMaxMessageBytes);
    text += " [cut]";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string line =
      "[" + FormatLocalTime(std::time(nullptr), "%H:%M:%S") + "] " + level + " " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  // After a failed write (disk full, say) lines go to the console only.
  if (file_.valid() && !fileFailed_) {
    fileFailed_ = !WriteAll(file_.get(), line);
  }
}

}  // namespace larkspire
