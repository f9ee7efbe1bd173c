#include "util/json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larkspire {
namespace {

using Strings = std::vector<std::string>;

TEST(JsonStringTest, EscapesEveryControlByteAndNothingElse) {
  EXPECT_EQ(JsonString("a\"b\\c\n"), "\"a\\\"b\\\\c\\n\"");
  EXPECT_EQ(JsonString(""), "\"\"");
  EXPECT_EQ(JsonString("\t\r"), "\"\\t\\r\"");
  EXPECT_EQ(JsonString(std::string("\0", 1)), "\"\\u0000\"");
  EXPECT_EQ(JsonString("\x01\x08\x0B\x0C\x1F"), "\"\\u0001\\u0008\\u000b\\u000c\\u001f\"");
  // DEL, the slash and UTF-8 stay as they are.
  EXPECT_EQ(JsonString("\x7F a/b \xE4\xB8\xAD"), "\"\x7F a/b \xE4\xB8\xAD\"");
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

TEST(JsonUnescapeStringTest, DecodesEscapesAndRefusesNonLiterals) {
  struct Case {
    const char* literal;
    std::string expected;
  } cases[] = {
      {"\"a\\tb\\nc\\rd\\be\\ff\"", "a\tb\nc\rd\be\ff"}, {"\"\\\"\\\\\\/\\x\"", "\"\\/x"},
      {"\"\"", ""}, {"", ""}, {"\"", ""}, {"5", ""}, {"true", ""}, {"null", ""}, {"{}", ""},
      {"\"abc", ""}, {"abc\"", ""},
      {"\"\\u0041\"", "A"}, {"\"\\u00e9\\u00C9\"", "\xC3\xA9\xC3\x89"},
      {"\"\\u4e2d\\u6587\"", "\xE4\xB8\xAD\xE6\x96\x87"}, {"\"\\u0000\"", std::string("\0", 1)},
      {"\"x\\ud83d\\ude00y\"", "x\xF0\x9F\x98\x80y"},
      // A surrogate without its partner cannot be UTF-8: it becomes the replacement character.
      {"\"\\ud83d\"", "\xEF\xBF\xBD"}, {"\"\\ude00x\"", "\xEF\xBF\xBDx"},
      {"\"\\ud83d\\u0041\"", "\xEF\xBF\xBD" "A"},
      // Malformed escapes: the letter stands for itself.
      {"\"\\u00\"", "u00"}, {"\"\\u12G4\"", "u12G4"}, {"\"\\u\"", "u"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.literal);
    EXPECT_EQ(JsonUnescapeString(c.literal), c.expected);
  }
}

TEST(JsonFindRawTest, ReturnsTheSourceTextOfTheFirstRealKey) {
  const std::string doc = "{\"a\": [1, [2, 3]], \"s\": \"x\\\"y\", \"t\":true,\"b\": 4}";
  // Values and elements that spell a key name, or hold it quoted inside their text, are
  // passed over; the first real key wins, at any depth.
  const std::string spelled =
      "{\"name\": \"port\", \"note\": \"say \\\"port\\\": 1\", \"list\": [\"port\"],"
      " \"inner\": {\"port\" : 8080}, \"port\": 9}";
  struct Case {
    std::string doc;
    const char* key;
    const char* expected;
  } cases[] = {
      {doc, "a", "[1, [2, 3]]"}, {doc, "b", "4"}, {doc, "s", "\"x\\\"y\""}, {doc, "t", "true"},
      {doc, "missing", ""}, {"{\"t\":true}", "t", "true"}, {"{\"n\": 12\n}", "n", "12"},
      {"{\"o\": {\"k\": \"}\", \"n\": {}}}", "o", "{\"k\": \"}\", \"n\": {}}"},
      {"{\"data\": {\"code\": 7}, \"code\": 1}", "code", "7"},
      {spelled, "port", "8080"}, {spelled, "name", "\"port\""}, {"{\"a\" , \"b\": 1}", "a", ""},
      // Truncated documents.
      {"{\"k\": \"never closed", "k", ""}, {"{\"k\": [1, 2", "k", ""}, {"{\"k\"", "k", ""},
      {"{\"k\": {\"x\": 1", "k", ""}, {"{\"k\":   ", "k", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.doc + " / " + c.key);
    EXPECT_EQ(JsonFindRaw(c.doc, c.key), c.expected);
  }
}

TEST(JsonValueTest, TypedReadersKeepToTheirTypeAndFallBackOnlyWithoutAValue) {
  const std::string doc = "{\"empty\": \"\", \"num\": 5, \"tab\": \"a\\tb\"}";
  EXPECT_EQ(JsonStringValue(doc, "missing", "dflt"), "dflt");
  EXPECT_EQ(JsonStringValue(doc, "empty", "dflt"), "");
  EXPECT_EQ(JsonStringValue(doc, "num", "dflt"), "");
  EXPECT_EQ(JsonStringValue(doc, "tab", "dflt"), "a\tb");

  // Only bare true or false count as booleans.
  EXPECT_TRUE(JsonBoolValue("{\"ok\": true}", "ok", false));
  EXPECT_FALSE(JsonBoolValue("{\"ok\":false}", "ok", true));
  EXPECT_FALSE(JsonBoolValue("{\"ok\": \"true\"}", "ok", false));
  EXPECT_FALSE(JsonBoolValue("{\"ok\": 1}", "ok", false));
  EXPECT_TRUE(JsonBoolValue("{\"ok\": null}", "ok", true));
  EXPECT_TRUE(JsonBoolValue("{}", "ok", true));

  // Arrays yield their string elements only.
  EXPECT_EQ(JsonStringArrayValue("{\"a\": [\"x\", 1, \"y\", null, \"\"]}", "a"),
            (Strings{"x", "y", ""}));
  EXPECT_EQ(JsonStringArrayValue("{\"a\": \"x\"}", "a"), Strings{});
  EXPECT_EQ(JsonStringArrayValue("{\"a\": []}", "a"), Strings{});
  EXPECT_EQ(JsonStringArrayValue("{}", "a"), Strings{});
  EXPECT_EQ(JsonStringArrayValue("{\"a\": [[\"x\"], \"y\"]}", "a"), Strings{"x"});
  EXPECT_EQ(JsonStringArrayValue("{\"a\": [\"a,b\", \"q\\\"]\", \"a,b\"]}", "a"),
            (Strings{"a,b", "q\"]", "a,b"}));
}

}  // namespace
}  // namespace larkspire
