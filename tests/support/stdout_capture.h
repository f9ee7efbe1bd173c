#pragma once

#include <string>

namespace larkspire {

// Redirects the process's standard output (descriptor 1) into a temporary file from
// construction until Stop or destruction, so tests can read what the logger printed.
// Use from one thread; other threads' output during the capture lands in it as well.
class StdoutCapture {
 public:
  StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture();

  // Restores standard output and returns everything written meanwhile (idempotent).
  std::string Stop();

 private:
  int savedStdout_ = -1;
  int captureFd_ = -1;
  std::string text_;
};

}  // namespace larkspire
