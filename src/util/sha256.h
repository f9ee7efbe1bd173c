#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace larkspire {

// Incremental SHA-256, so a file of any size is hashed in fixed memory. Feed bytes with Update
// in as many pieces as convenient, then take the digest once with Finish. One thread.
class Sha256 {
 public:
  using Digest = std::array<uint8_t, 32>;

  Sha256();
  void Update(std::span<const uint8_t> bytes);
  void Update(const std::string& text);
  // Pads the message and returns the digest; the object must not be used afterwards.
  Digest Finish();

 private:
  void Compress(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> block_{};
  size_t blockUsed_ = 0;
  uint64_t totalBytes_ = 0;
};

// Lower-case hexadecimal text of a digest (64 characters).
std::string DigestHex(const Sha256::Digest& digest);
std::string Sha256Hex(const std::string& bytes);
// Digest of a whole file, read in pieces; throws std::runtime_error naming the path when it
// cannot be opened or read.
std::string Sha256FileHex(const std::string& path);

}  // namespace larkspire
