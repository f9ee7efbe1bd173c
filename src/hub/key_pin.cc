#include "hub/key_pin.h"

#include <cctype>
#include <stdexcept>

#include "util/sha256.h"

namespace larkspire {

bool KeyMatchesPin(const std::string& pin, std::string_view publicKeyDer) {
  std::string digits;
  for (char c : pin) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isxdigit(byte)) {
      digits.push_back(static_cast<char>(std::tolower(byte)));
    } else if (c != ':' && c != ' ') {
      digits.clear();
      break;
    }
  }
  if (digits.size() != 64) {
    throw std::runtime_error("hubCertSha256 is not a SHA-256 digest (64 hexadecimal digits).");
  }
  return Sha256Hex(std::string(publicKeyDer)) == digits;
}

}  // namespace larkspire
