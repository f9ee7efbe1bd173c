#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: print where and why, then abort so libFuzzer keeps the
// input as a crash reproducer.
#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)
