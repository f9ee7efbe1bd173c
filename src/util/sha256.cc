#include "util/sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "util/fd.h"

namespace larkspire {
namespace {

constexpr std::array<uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::array<uint32_t, 8> kInitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t RotateRight(uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

uint32_t ReadBigEndian32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

}  // namespace

Sha256::Sha256() : state_(kInitialState) {}

void Sha256::Compress(const uint8_t* block) {
  std::array<uint32_t, 64> schedule;
  for (int i = 0; i < 16; ++i) {
    schedule[i] = ReadBigEndian32(block + 4 * i);
  }
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = RotateRight(schedule[i - 15], 7) ^ RotateRight(schedule[i - 15], 18) ^
                        (schedule[i - 15] >> 3);
    const uint32_t s1 = RotateRight(schedule[i - 2], 17) ^ RotateRight(schedule[i - 2], 19) ^
                        (schedule[i - 2] >> 10);
    schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
    const uint32_t choice = (e & f) ^ (~e & g);
    const uint32_t temp1 = h + sum1 + choice + kRoundConstants[i] + schedule[i];
    const uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
    const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const uint32_t temp2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + temp1;
    d = c;
    c = b;
    b = a;
    a = temp1 + temp2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::Update(std::span<const uint8_t> bytes) {
  totalBytes_ += bytes.size();
  size_t offset = 0;
  if (blockUsed_ > 0) {
    const size_t take = std::min(bytes.size(), block_.size() - blockUsed_);
    std::memcpy(block_.data() + blockUsed_, bytes.data(), take);
    blockUsed_ += take;
    offset = take;
    if (blockUsed_ < block_.size()) {
      return;
    }
    Compress(block_.data());
    blockUsed_ = 0;
  }
  // Whole blocks straight from the caller's bytes, without copying.
  for (; offset + 64 <= bytes.size(); offset += 64) {
    Compress(bytes.data() + offset);
  }
  const size_t rest = bytes.size() - offset;
  if (rest > 0) {
    std::memcpy(block_.data(), bytes.data() + offset, rest);
  }
  blockUsed_ = rest;
}

void Sha256::Update(const std::string& text) {
  Update(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Sha256::Digest Sha256::Finish() {
  const uint64_t bitLength = totalBytes_ * 8;
  // A single 1 bit, zeros up to 56 bytes into a block, then the length in bits, big-endian.
  std::array<uint8_t, 72> padding{};
  padding[0] = 0x80;
  const size_t zeros = (blockUsed_ < 56) ? 56 - blockUsed_ : 120 - blockUsed_;
  size_t length = zeros;
  for (int i = 7; i >= 0; --i) {
    padding[length++] = static_cast<uint8_t>(bitLength >> (8 * i));
  }
  Update(std::span<const uint8_t>(padding.data(), length));
  Digest digest;
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(state_[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(state_[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(state_[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(state_[i]);
  }
  return digest;
}

std::string DigestHex(const Sha256::Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(64);
  for (uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0f];
  }
  return text;
}

std::string Sha256Hex(const std::string& bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return DigestHex(hash.Finish());
}

std::string Sha256FileHex(const std::string& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    throw std::runtime_error("Cannot open file for hashing: " + path);
  }
  Sha256 hash;
  std::vector<uint8_t> buffer(65536);
  while (true) {
    const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      throw std::runtime_error("Cannot read file for hashing: " + path);
    }
    if (got == 0) {
      return DigestHex(hash.Finish());
    }
    hash.Update(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got)));
  }
}

}  // namespace larkspire
