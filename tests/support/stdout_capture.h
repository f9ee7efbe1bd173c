#pragma once

#include <gtest/gtest.h>

#include <string>

namespace larkspire {

// Standard output (descriptor 1, every thread's) goes to a file until Stop.
class StdoutCapture {
 public:
  StdoutCapture() { ::testing::internal::CaptureStdout(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() { Stop(); }

  // Restores standard output and returns everything written meanwhile (idempotent).
  std::string Stop() {
    if (capturing_) {
      capturing_ = false;
      text_ = ::testing::internal::GetCapturedStdout();
    }
    return text_;
  }

 private:
  bool capturing_ = true;
  std::string text_;
};

}  // namespace larkspire
