#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace larkspire {

// The ones' complement sum of RFC 1071 over bytes in memory order. The sum does not depend
// on byte order as long as words are read and the result is stored the same way, so words
// are read natively (memcpy) and the folded result is stored back with memcpy.
class InternetChecksum {
 public:
  void Add(const uint8_t* data, size_t size) {
    // 32-bit words into 64-bit sums: no carry can be lost below 2^31 words. Reading them
    // two at a time into two independent sums takes a quarter of the loop's steps; this sum
    // runs over every byte the relay merges, so it shows in the profile.
    uint64_t even = 0;
    uint64_t odd = 0;
    while (size >= 16) {
      uint64_t words[2];
      std::memcpy(words, data, 16);
      even += (words[0] & 0xFFFFFFFF) + (words[0] >> 32);
      odd += (words[1] & 0xFFFFFFFF) + (words[1] >> 32);
      data += 16;
      size -= 16;
    }
    sum_ += even + odd;
    while (size >= 4) {
      uint32_t word;
      std::memcpy(&word, data, 4);
      sum_ += word;
      data += 4;
      size -= 4;
    }
    if (size >= 2) {
      uint16_t word;
      std::memcpy(&word, data, 2);
      sum_ += word;
      data += 2;
      size -= 2;
    }
    if (size == 1) {
      // The odd byte is the high-order byte of a word padded with zero, in memory order.
      const uint8_t padded[2] = {data[0], 0};
      uint16_t word;
      std::memcpy(&word, padded, 2);
      sum_ += word;
    }
  }

  // The IPv4 pseudo-header of a TCP or UDP segment of `length` bytes.
  void AddPseudoHeader(const uint8_t* ipHeader, uint8_t protocol, size_t length) {
    Add(ipHeader + 12, 8);  // source and destination address
    const uint8_t rest[4] = {0, protocol, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length)};
    Add(rest, sizeof rest);
  }

  // The sum folded to 16 bits, in memory order.
  uint16_t Folded() const {
    uint64_t sum = sum_;
    while (sum >> 16 != 0) {
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(sum);
  }

  // Data that carries its own checksum sums to all ones.
  bool Verifies() const { return Folded() == 0xFFFF; }

 private:
  uint64_t sum_ = 0;
};

inline void StoreChecksum(uint8_t* field, uint16_t value) {
  std::memcpy(field, &value, 2);
}

}  // namespace larkspire
