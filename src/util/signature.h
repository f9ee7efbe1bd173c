#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace larkspire {

// Ed25519 signatures over whole files, in the form `openssl pkeyutl -sign -rawin` makes them
// (64 bytes, carried as base64). This is the one place that speaks to the crypto library
// about signatures, so the rest of the program deals in plain strings and paths.

// The public keys an operator trusts for updates: every "*.pem" file (PEM "PUBLIC KEY", as
// `openssl pkey -pubout` writes it) of one directory. Immutable once loaded.
class TrustedKeys {
 public:
  // Reads the keys of `directory`, in name order. A file that holds no Ed25519 public key,
  // or that someone else than this process's user owns or may write, is skipped with one
  // WARN line; a missing directory simply holds no key.
  static TrustedKeys Load(const std::string& directory);

  bool empty() const { return keys_.empty(); }
  size_t size() const { return keys_.size(); }

  // True when `signatureBase64` is a valid signature of the file's exact bytes by one of the
  // keys. False for a malformed signature, an unreadable file and with no key at all. The
  // file is mapped, not read into memory, so a large package costs no heap.
  bool VerifiesFile(const std::string& path, const std::string& signatureBase64) const;

 private:
  std::vector<std::array<uint8_t, 32>> keys_;  // raw Ed25519 public keys
};

// For the signing side (the development Hub). `privateKeyPem` is a PEM private key as
// `openssl genpkey -algorithm ed25519` writes it; both throw std::runtime_error
// "Not an Ed25519 private key." for anything else.
std::string SignEd25519Base64(const std::string& privateKeyPem, std::string_view message);
std::string Ed25519PublicKeyPem(const std::string& privateKeyPem);

}  // namespace larkspire
