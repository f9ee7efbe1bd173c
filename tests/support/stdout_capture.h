#pragma once

#include <stdio.h>
#include <unistd.h>

#include <string>

namespace larkspire {

// Standard output (descriptor 1, every thread's) goes to an anonymous file until Stop.
class StdoutCapture {
 public:
  StdoutCapture() : file_(std::tmpfile()), saved_((std::fflush(stdout), ::dup(STDOUT_FILENO))) {
    ::dup2(::fileno(file_), STDOUT_FILENO);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() { Stop(); }

  // Restores standard output and returns everything written meanwhile (idempotent).
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, STDOUT_FILENO);
      ::close(saved_);
      saved_ = -1;
      char buffer[4096];
      for (ssize_t n, at = 0; (n = ::pread(::fileno(file_), buffer, sizeof(buffer), at)) > 0;) {
        text_.append(buffer, static_cast<size_t>(n));
        at += n;
      }
      std::fclose(file_);
    }
    return text_;
  }

 private:
  FILE* file_;
  int saved_;
  std::string text_;
};

}  // namespace larkspire
