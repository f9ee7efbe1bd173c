#pragma once

#include <mutex>
#include <string>

#include "util/fd.h"

namespace larkspire {

// The process log: every line goes to standard output and, once Open succeeded, to the log
// file of this run, each written at once. Control bytes in a message are escaped, so a value
// from outside can never forge a line. The lock serialises whole lines, so any thread may
// call Write.
class Logger {
 public:
  // Creates <workDir>/Log/YYYYMM/ (both folders mode 0750) and opens YYYYMMDD_HHMMSS.log
  // (mode 0640) in append mode, starting it with a UTF-8 byte-order mark. Throws
  // "Failed to open log file: <path>".
  void Open(const std::string& workDir);

  // Writes "[HH:MM:SS] LEVEL message". File problems never throw; the console still gets it.
  void Write(const std::string& level, const std::string& message);

  // Full path of the log file; empty before Open. Set once before other threads exist.
  const std::string& Path() const { return path_; }

 private:
  std::mutex mutex_;
  UniqueFd file_;
  bool fileFailed_ = false;
  std::string path_;
};

extern Logger g_log;

}  // namespace larkspire
