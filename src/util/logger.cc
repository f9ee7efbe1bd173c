#include "util/logger.h"

#include <fcntl.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "util/file.h"

namespace larkspire {

Logger g_log;

namespace {

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
  std::string directory = workDir + "/Log/" + FormatLocalTime(now, "%Y%m");
  EnsureDirectory(directory);
  path_ = directory + "/" + FormatLocalTime(now, "%Y%m%d_%H%M%S") + ".log";
  // A restart within the same second reopens the same file: the byte-order mark belongs
  // only at its very start.
  std::error_code error;
  const bool fresh = std::filesystem::file_size(path_, error) == 0 || error;
  file_.Reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!file_.valid()) {
    throw std::runtime_error("Failed to open log file: " + path_);
  }
  if (fresh) {
    WriteAll(file_.get(), "\xEF\xBB\xBF");
  }
}

void Logger::Write(const std::string& level, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string line =
      "[" + FormatLocalTime(std::time(nullptr), "%H:%M:%S") + "] " + level + " " + message;
  std::string console = line + "\n";
  std::fwrite(console.data(), 1, console.size(), stdout);
  std::fflush(stdout);
  if (file_.valid()) {
    WriteAll(file_.get(), console);
  }
}

}  // namespace larkspire
