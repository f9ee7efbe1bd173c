#include "util/json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larkspire {
namespace {

using Strings = std::vector<std::string>;

TEST(JsonStringTest, EscapesQuoteBackslashAndControlBytes) {
  EXPECT_EQ(JsonString("a\"b\\c\n"), "\"a\\\"b\\\\c\\n\"");
  EXPECT_EQ(JsonString(""), "\"\"");
  EXPECT_EQ(JsonString("\t\r"), "\"\\t\\r\"");
  // The slash and UTF-8 stay as they are.
  EXPECT_EQ(JsonString("a/b \xE4\xB8\xAD"), "\"a/b \xE4\xB8\xAD\"");
}

TEST(JsonStringTest, EveryOtherControlByteBecomesAUnicodeEscape) {
  EXPECT_EQ(JsonString(std::string("\0", 1)), "\"\\u0000\"");
  EXPECT_EQ(JsonString("\x01\x08\x0B\x0C\x1F"), "\"\\u0001\\u0008\\u000b\\u000c\\u001f\"");
  EXPECT_EQ(JsonString("\x7F"), "\"\x7F\"");
  // Whatever the bytes, decoding gives them back.
  std::string all;
  for (int b = 0; b < 256; ++b) {
    all += static_cast<char>(b);
  }
  std::string encoded = JsonString(all);
  for (unsigned char c : encoded) {
    ASSERT_GE(c, 0x20) << "raw control byte in a JSON literal";
  }
  EXPECT_EQ(JsonUnescapeString(encoded), all);
}

TEST(JsonArrayTest, CompactListOfLiterals) {
  EXPECT_EQ(JsonArray({}), "[]");
  EXPECT_EQ(JsonArray({"a", "b"}), "[\"a\",\"b\"]");
  EXPECT_EQ(JsonArray({"", "q\""}), "[\"\",\"q\\\"\"]");
}

TEST(JsonUnescapeStringTest, ShortEscapesAndNonLiterals) {
  EXPECT_EQ(JsonUnescapeString("\"a\\tb\\nc\\rd\\be\\ff\""), "a\tb\nc\rd\be\ff");
  EXPECT_EQ(JsonUnescapeString("\"\\\"\\\\\\/\\x\""), "\"\\/x");
  for (const char* notLiteral : {"", "\"", "5", "true", "null", "{}", "\"abc", "abc\""}) {
    SCOPED_TRACE(notLiteral);
    EXPECT_EQ(JsonUnescapeString(notLiteral), "");
  }
  EXPECT_EQ(JsonUnescapeString("\"\""), "");
}

TEST(JsonUnescapeStringTest, DecodesUnicodeEscapesToUtf8) {
  struct Case {
    const char* literal;
    std::string expected;
  } cases[] = {
      {"\"\\u0041\"", "A"},
      {"\"\\u00e9\\u00C9\"", "\xC3\xA9\xC3\x89"},
      {"\"\\u4e2d\\u6587\"", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"\"x\\ud83d\\ude00y\"", "x\xF0\x9F\x98\x80y"},
      {"\"\\u0000\"", std::string("\0", 1)},
      // A surrogate without its partner cannot be UTF-8: it becomes the replacement character.
      {"\"\\ud83d\"", "\xEF\xBF\xBD"},
      {"\"\\ude00x\"", "\xEF\xBF\xBDx"},
      {"\"\\ud83d\\u0041\"", "\xEF\xBF\xBD" "A"},
      // Malformed escapes: the letter stands for itself.
      {"\"\\u00\"", "u00"},
      {"\"\\u12G4\"", "u12G4"},
      {"\"\\u\"", "u"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.literal);
    EXPECT_EQ(JsonUnescapeString(c.literal), c.expected);
  }
}

TEST(JsonFindRawTest, ReturnsTheSourceTextOfTheFirstMatch) {
  const std::string doc = "{\"a\": [1, [2, 3]], \"s\": \"x\\\"y\", \"t\":true,\"b\": 4}";
  EXPECT_EQ(JsonFindRaw(doc, "a"), "[1, [2, 3]]");
  EXPECT_EQ(JsonFindRaw(doc, "b"), "4");
  EXPECT_EQ(JsonFindRaw(doc, "s"), "\"x\\\"y\"");
  EXPECT_EQ(JsonFindRaw(doc, "t"), "true");
  EXPECT_EQ(JsonFindRaw("{\"t\":true}", "t"), "true");
  EXPECT_EQ(JsonFindRaw(doc, "missing"), "");
  EXPECT_EQ(JsonFindRaw("{\"o\": {\"k\": \"}\", \"n\": {}}}", "o"), "{\"k\": \"}\", \"n\": {}}");
  EXPECT_EQ(JsonFindRaw("{\"n\": 12\n}", "n"), "12");
}

TEST(JsonFindRawTest, NestedKeyShadowsALaterOuterOne) {
  const std::string doc = "{\"data\": {\"code\": 7}, \"code\": 1}";
  EXPECT_EQ(JsonFindRaw(doc, "code"), "7");
}

TEST(JsonFindRawTest, OnlyAKeyFollowedByAColonMatches) {
  // Values and elements that spell a key name, or hold it quoted inside their text, are
  // passed over; the first real key wins, at any depth.
  const std::string doc =
      "{\"name\": \"port\", \"note\": \"say \\\"port\\\": 1\", \"list\": [\"port\"],"
      " \"inner\": {\"port\" : 8080}, \"port\": 9}";
  EXPECT_EQ(JsonFindRaw(doc, "port"), "8080");
  EXPECT_EQ(JsonStringValue(doc, "name", ""), "port");
  EXPECT_EQ(JsonFindRaw("{\"a\" , \"b\": 1}", "a"), "");
}

TEST(JsonFindRawTest, TruncatedDocumentsGiveEmpty) {
  for (const char* doc : {"{\"k\": \"never closed", "{\"k\": [1, 2", "{\"k\": {\"x\": 1", "{\"k\"",
                          "{\"k\":   "}) {
    SCOPED_TRACE(doc);
    EXPECT_EQ(JsonFindRaw(doc, "k"), "");
  }
}

TEST(JsonStringValueTest, DefaultOnlyWhenTheKeyHasNoValue) {
  const std::string doc =
      "{\"empty\": \"\", \"num\": 5, \"tab\": \"a\\tb\", \"u\": \"\\u0041\", \"zh\": \"\\u4e2d\"}";
  EXPECT_EQ(JsonStringValue(doc, "missing", "dflt"), "dflt");
  EXPECT_EQ(JsonStringValue(doc, "empty", "dflt"), "");
  EXPECT_EQ(JsonStringValue(doc, "num", "dflt"), "");
  EXPECT_EQ(JsonStringValue(doc, "tab", "dflt"), "a\tb");
  EXPECT_EQ(JsonStringValue(doc, "u", "dflt"), "A");
  EXPECT_EQ(JsonStringValue(doc, "zh", "dflt"), "\xE4\xB8\xAD");
}

TEST(JsonBoolValueTest, OnlyBareTrueOrFalseCount) {
  EXPECT_TRUE(JsonBoolValue("{\"ok\": true}", "ok", false));
  EXPECT_FALSE(JsonBoolValue("{\"ok\":false}", "ok", true));
  EXPECT_FALSE(JsonBoolValue("{\"ok\": \"true\"}", "ok", false));
  EXPECT_FALSE(JsonBoolValue("{\"ok\": 1}", "ok", false));
  EXPECT_TRUE(JsonBoolValue("{\"ok\": null}", "ok", true));
  EXPECT_TRUE(JsonBoolValue("{}", "ok", true));
}

TEST(JsonStringArrayValueTest, CollectsStringElementsOnly) {
  EXPECT_EQ(JsonStringArrayValue("{\"a\": [\"x\", 1, \"y\", null, \"\"]}", "a"),
            (Strings{"x", "y", ""}));
  EXPECT_EQ(JsonStringArrayValue("{\"a\": \"x\"}", "a"), Strings{});
  EXPECT_EQ(JsonStringArrayValue("{\"a\": []}", "a"), Strings{});
  EXPECT_EQ(JsonStringArrayValue("{}", "a"), Strings{});
  EXPECT_EQ(JsonStringArrayValue("{\"a\": [[\"x\"], \"y\"]}", "a"), Strings{"x"});
  EXPECT_EQ(JsonStringArrayValue("{\"a\": [\"a,b\", \"q\\\"]\", \"a,b\"]}", "a"),
            (Strings{"a,b", "q\"]", "a,b"}));
}

TEST(JsonRoundTripTest, WrittenLiteralsReadBackUnchanged) {
  const Strings values = {"plain", "", "quote\" back\\slash", "line\nbreak\ttab\rcr",
                          "\x01\x1f ctl", "\xE4\xB8\xAD\xE6\x96\x87 / \xF0\x9F\x98\x80"};
  for (const auto& value : values) {
    SCOPED_TRACE(value);
    std::string doc = "{\"k\": " + JsonString(value) + ", \"list\": " + JsonArray(values) + "}";
    EXPECT_EQ(JsonStringValue(doc, "k", "dflt"), value);
    EXPECT_EQ(JsonStringArrayValue(doc, "list"), values);
  }
}

}  // namespace
}  // namespace larkspire
