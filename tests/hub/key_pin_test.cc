#include "hub/key_pin.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "util/sha256.h"

namespace larkspire {
namespace {

TEST(KeyMatchesPin, TakesTheDigestAsToolsPrintItAndRefusesAnythingElse) {
  const std::string key = "a SubjectPublicKeyInfo";
  const std::string digest = Sha256Hex(key);
  std::string grouped;  // "AB:CD:..." as fingerprints are often printed
  for (size_t i = 0; i < digest.size(); i += 2) {
    grouped += (i == 0 ? "" : ":") + digest.substr(i, 2);
  }
  for (char& c : grouped) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const struct {
    std::string pin;
    bool matches;
  } cases[] = {
      {digest, true},
      {grouped, true},
      {" " + digest + " ", true},
      {Sha256Hex("another key"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pin);
    EXPECT_EQ(KeyMatchesPin(c.pin, key), c.matches);
  }
  // A pin that cannot be a SHA-256 digest must stop the connection, not be skipped.
  for (const std::string& bad : {digest.substr(1), digest + "0", "g" + digest.substr(1),
                                 digest.substr(0, 32) + "-" + digest.substr(32)}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(KeyMatchesPin(bad, key), std::runtime_error);
  }
}

}  // namespace
}  // namespace larkspire
