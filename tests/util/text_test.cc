#include "util/text.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

TEST(TextTest, ConstantTimeEqualsComparesWholeStrings) {
  EXPECT_TRUE(ConstantTimeEquals("", ""));
  EXPECT_TRUE(ConstantTimeEquals("abc", "abc"));
  for (const std::string& other :
       std::vector<std::string>{"abd", "xbc", "ab", "abcd", "", std::string("abc\0", 4)}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(ConstantTimeEquals("abc", other));
    EXPECT_FALSE(ConstantTimeEquals(other, "abc"));
  }
}

TEST(TextTest, ShellAndUrlTextIsQuotedOrProvedSafe) {
  EXPECT_EQ(ShellQuote("it's $(reboot) `id`"), "'it'\\''s $(reboot) `id`'");
  EXPECT_EQ(ShellQuote(""), "''");
  for (const char* safe : {"8.8.8.8", "example-host_1", "fe80::1", "/dev/x"}) {
    EXPECT_TRUE(IsSafeShellToken(safe)) << safe;
  }
  for (const std::string& unsafe :
       std::vector<std::string>{"", "a b", "1.1.1.1;reboot", "$(id)", "x'y", "a|b", "`id`", "a\nb",
                                "h\xC3\xA9", std::string("a\0b", 3)}) {
    EXPECT_FALSE(IsSafeShellToken(unsafe)) << unsafe;
  }
  EXPECT_EQ(UrlEncode(std::string("A-Z_0.9~ /+&=?#%\0\xFF", 18)),
            "A-Z_0.9~%20%2F%2B%26%3D%3F%23%25%00%FF");
}

// A secret shows a quarter at most, never more than four characters.
TEST(TextTest, LoggedValuesAreEscapedAndSecretsMasked) {
  EXPECT_EQ(EscapeControlBytes(std::string("a\n[1] ERROR\r\t\x1b[2J\x7f\0 \xC3\xA9", 22)),
            "a\\n[1] ERROR\\r\\t\\x1b[2J\\x7f\\x00 \xC3\xA9");
  const std::pair<std::string, std::string> masks[] = {
      {"e8c61f0a9b2d4e7f8a1b2c3d4e5f6a7b", "e8c6\xE2\x80\xA6 (32 chars)"},
      {"abcdefgh", "ab\xE2\x80\xA6 (8 chars)"},
      {"abc", "\xE2\x80\xA6 (3 chars)"},
      {"", "<empty>"},
  };
  for (const auto& [secret, masked] : masks) {
    EXPECT_EQ(MaskSecret(secret), masked);
  }
}

}  // namespace
}  // namespace larkspire
