// The entry point libFuzzer calls with every input; the target's FuzzOne takes it from there.
#include "support/fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  larkspire::FuzzOne(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
