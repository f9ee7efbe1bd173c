#include "service/update_integrity.h"

#include <cctype>
#include <exception>

#include "util/sha256.h"
#include "util/text.h"

namespace larkspire {

bool PackageMatchesSha256(const std::string& packagePath, const std::string& expectedHex) {
  std::string expected = Trim(expectedHex);
  if (expected.size() != 64) {
    return false;
  }
  for (char& c : expected) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return false;
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  try {
    return Sha256FileHex(packagePath) == expected;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace larkspire
