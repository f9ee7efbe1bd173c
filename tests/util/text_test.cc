#include "util/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larkspire {
namespace {

TEST(TrimTest, DropsAsciiWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(Trim(" \tx y \r\n"), "x y");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("\v\fa\tb\f"), "a\tb");
  // A non-breaking space (UTF-8 C2 A0) is not white space for a byte-wise trim.
  EXPECT_EQ(Trim("\xC2\xA0x"), "\xC2\xA0x");
}

TEST(JoinStringsTest, LeadingEmptyItemsLeaveNoTrace) {
  struct Case {
    std::vector<std::string> items;
    std::string expected;
  } cases[] = {
      {{}, ""}, {{"a"}, "a"}, {{"a", "b"}, "a, b"}, {{"", "", "a"}, "a"},
      {{"a", "", "b"}, "a, , b"}, {{"a", ""}, "a, "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(JoinStrings(c.items, ", "), c.expected);
  }
}

TEST(AsciiTest, LowerCasesAsciiOnlyAndComparesWholeStrings) {
  EXPECT_EQ(AsciiLower("Upgrade: WebSocket 0xAF \xC3\x89"), "upgrade: websocket 0xaf \xC3\x89");
  EXPECT_TRUE(ConstantTimeEquals("", ""));
  EXPECT_TRUE(ConstantTimeEquals("abc", "abc"));
  for (const char* other : {"abd", "ab", "abcd", ""}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(ConstantTimeEquals("abc", other));
    EXPECT_FALSE(ConstantTimeEquals(other, "abc"));
  }
  EXPECT_FALSE(ConstantTimeEquals(std::string("a\0b", 3), "a"));
}

TEST(ShellQuoteTest, QuotesEveryInputAndEscapesApostrophes) {
  EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
  EXPECT_EQ(ShellQuote(""), "''");
  EXPECT_EQ(ShellQuote("eth0"), "'eth0'");
  EXPECT_EQ(ShellQuote("$(reboot) `id` \"x\""), "'$(reboot) `id` \"x\"'");
}

TEST(IsSafeShellTokenTest, AcceptsAddressesAndHostNamesOnly) {
  for (const char* safe : {"8.8.8.8", "example-host_1", "fe80::1", "/dev/x", "A.b-C"}) {
    SCOPED_TRACE(safe);
    EXPECT_TRUE(IsSafeShellToken(safe));
  }
  for (const char* unsafe : {"", "a b", "1.1.1.1;reboot", "$(id)", "x'y", "a|b", "a&b", "`id`",
                             "a\"b", "x@y", "a,b", "[::1]", "a\nb", "-\t", "h\xC3\xA9"}) {
    SCOPED_TRACE(unsafe);
    EXPECT_FALSE(IsSafeShellToken(unsafe));
  }
  EXPECT_FALSE(IsSafeShellToken(std::string("a\0b", 3)));
}

TEST(LoggedValuesTest, ControlBytesAreEscapedAndSecretsMasked) {
  EXPECT_EQ(EscapeControlBytes("edge\n[12:00:00] ERROR forged\r\t\x1b[2J\x7f\\n \xC3\xA9"),
            "edge\\n[12:00:00] ERROR forged\\r\\t\\x1b[2J\\x7f\\n \xC3\xA9");
  EXPECT_EQ(EscapeControlBytes(std::string("\0\x1f", 2)), "\\x00\\x1f");
  EXPECT_EQ(MaskSecret("e8c61f0a9b2d4e7f8a1b2c3d4e5f6a7b"), "e8c6\xE2\x80\xA6 (32 chars)");
  EXPECT_EQ(MaskSecret("abcdefgh"), "ab\xE2\x80\xA6 (8 chars)");  // never more than a quarter
  EXPECT_EQ(MaskSecret("abc"), "\xE2\x80\xA6 (3 chars)");
  EXPECT_EQ(MaskSecret(""), "<empty>");
}

TEST(UrlEncodeTest, KeepsOnlyTheUnreservedSet) {
  EXPECT_EQ(UrlEncode("a b/c~"), "a%20b%2Fc~");
  EXPECT_EQ(UrlEncode("A-Z_0.9"), "A-Z_0.9");
  EXPECT_EQ(UrlEncode("+&=?#%"), "%2B%26%3D%3F%23%25");
  EXPECT_EQ(UrlEncode("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(UrlEncode(std::string("\0\xFF", 2)), "%00%FF");
  EXPECT_EQ(UrlEncode(""), "");
}

}  // namespace
}  // namespace larkspire
