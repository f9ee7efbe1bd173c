#include "util/signature.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "util/fd.h"
#include "util/logger.h"

namespace larkspire {
namespace {

constexpr size_t kSignatureBytes = 64;

struct OpenSslFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
template <typename T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// A read-only mapping of a whole file; empty when the file cannot be mapped.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
      return;
    }
    opened_ = true;
    size_ = static_cast<size_t>(info.st_size);
    if (size_ == 0) {
      return;
    }
    void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (data == MAP_FAILED) {
      opened_ = false;
      size_ = 0;
      return;
    }
    data_ = static_cast<const uint8_t*>(data);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (data_ != nullptr) {
      ::munmap(const_cast<uint8_t*>(data_), size_);
    }
  }

  bool opened() const { return opened_; }
  // Never null, so an empty file is still a valid (empty) message.
  const uint8_t* data() const { return data_ != nullptr ? data_ : &kNothing; }
  size_t size() const { return size_; }

 private:
  static constexpr uint8_t kNothing = 0;
  bool opened_ = false;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// The 64 signature bytes of a base64 text (line breaks and blanks inside are ignored, as
// `openssl base64` wraps its output); false for anything else.
bool DecodeSignature(const std::string& text, std::array<uint8_t, kSignatureBytes>& out) {
  std::string compact;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      compact.push_back(c);
    }
  }
  // 64 bytes are 88 characters, the last two of them padding.
  if (compact.size() != 88 || !compact.ends_with("==")) {
    return false;
  }
  uint8_t decoded[66];
  const int n = EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(compact.data()),
                                static_cast<int>(compact.size()));
  if (n != 66) {
    return false;
  }
  std::copy_n(decoded, kSignatureBytes, out.begin());
  return true;
}

bool VerifiesWith(const std::array<uint8_t, 32>& publicKey,
                  const std::array<uint8_t, kSignatureBytes>& signature, const MappedFile& file) {
  OpenSslPtr<EVP_PKEY> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  OpenSslPtr<EVP_MD_CTX> context(EVP_MD_CTX_new());
  if (!key || !context ||
      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(), file.data(),
                          file.size()) == 1;
}

bool IsEd25519(const EVP_PKEY* key) {
  return key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519;
}

// The raw key of the first PEM "PUBLIC KEY" block of a file; false for anything else.
bool ReadPublicKey(const std::string& path, std::array<uint8_t, 32>& out) {
  OpenSslPtr<BIO> file(BIO_new_file(path.c_str(), "re"));
  if (!file) {
    return false;
  }
  OpenSslPtr<EVP_PKEY> key(PEM_read_bio_PUBKEY(file.get(), nullptr, nullptr, nullptr));
  size_t length = out.size();
  return IsEd25519(key.get()) && EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length) == 1 &&
         length == out.size();
}

OpenSslPtr<EVP_PKEY> ReadPrivateKey(const std::string& pem) {
  OpenSslPtr<BIO> memory(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  // A null password callback with no passphrase: an encrypted key is refused, not prompted.
  OpenSslPtr<EVP_PKEY> key(
      memory ? PEM_read_bio_PrivateKey(memory.get(), nullptr, nullptr, const_cast<char*>(""))
             : nullptr);
  if (!IsEd25519(key.get())) {
    throw std::runtime_error("Not an Ed25519 private key.");
  }
  return key;
}

}  // namespace

TrustedKeys TrustedKeys::Load(const std::string& directory) {
  std::vector<std::string> paths;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    if (entry.path().extension() == ".pem" && entry.is_regular_file(error)) {
      paths.push_back(entry.path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  TrustedKeys trusted;
  for (const std::string& path : paths) {
    // Whoever can change a key file can have any package installed as root.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      g_log.Write("WARN", "Update key ignored (not owned by root or writable by others): " + path);
      continue;
    }
    std::array<uint8_t, 32> key{};
    if (ReadPublicKey(path, key)) {
      trusted.keys_.push_back(key);
    } else {
      g_log.Write("WARN", "Update key ignored (not an Ed25519 public key): " + path);
    }
  }
  return trusted;
}

bool TrustedKeys::VerifiesFile(const std::string& path, const std::string& signatureBase64) const {
  std::array<uint8_t, kSignatureBytes> signature{};
  if (keys_.empty() || !DecodeSignature(signatureBase64, signature)) {
    return false;
  }
  const MappedFile file(path);
  if (!file.opened()) {
    return false;
  }
  return std::any_of(keys_.begin(), keys_.end(), [&](const std::array<uint8_t, 32>& key) {
    return VerifiesWith(key, signature, file);
  });
}

std::string SignEd25519Base64(const std::string& privateKeyPem, std::string_view message) {
  OpenSslPtr<EVP_PKEY> key = ReadPrivateKey(privateKeyPem);
  OpenSslPtr<EVP_MD_CTX> context(EVP_MD_CTX_new());
  uint8_t signature[kSignatureBytes];
  size_t length = sizeof(signature);
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), signature, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    throw std::runtime_error("Signing failed.");
  }
  unsigned char text[4 * ((kSignatureBytes + 2) / 3) + 1];
  const int n = EVP_EncodeBlock(text, signature, static_cast<int>(length));
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
}

std::string Ed25519PublicKeyPem(const std::string& privateKeyPem) {
  OpenSslPtr<EVP_PKEY> key = ReadPrivateKey(privateKeyPem);
  OpenSslPtr<BIO> memory(BIO_new(BIO_s_mem()));
  if (!memory || PEM_write_bio_PUBKEY(memory.get(), key.get()) != 1) {
    throw std::runtime_error("Writing the public key failed.");
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(memory.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

}  // namespace larkspire
