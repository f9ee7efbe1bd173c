#pragma once

#include <cstddef>
#include <cstdint>

namespace larkspire {

// Big-endian (network order) loads and stores on raw byte buffers; the relay formats carry
// every multi-byte number this way.

inline void StoreBigEndian(uint8_t* out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    out[width - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline uint64_t LoadBigEndian(const uint8_t* in, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value = (value << 8) | in[i];
  }
  return value;
}

}  // namespace larkspire
