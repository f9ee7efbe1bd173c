#include "support/stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace larkspire {

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  char name[] = "/tmp/larkspire-stdout-XXXXXX";
  captureFd_ = ::mkstemp(name);
  if (captureFd_ < 0) {
    throw std::runtime_error("cannot create a capture file for standard output");
  }
  ::unlink(name);
  savedStdout_ = ::dup(STDOUT_FILENO);
  ::dup2(captureFd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { Stop(); }

std::string StdoutCapture::Stop() {
  if (savedStdout_ < 0) {
    return text_;
  }
  std::fflush(stdout);
  ::dup2(savedStdout_, STDOUT_FILENO);
  ::close(savedStdout_);
  savedStdout_ = -1;
  char buffer[4096];
  ssize_t n;
  off_t offset = 0;
  while ((n = ::pread(captureFd_, buffer, sizeof(buffer), offset)) > 0) {
    text_.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  ::close(captureFd_);
  captureFd_ = -1;
  return text_;
}

}  // namespace larkspire
