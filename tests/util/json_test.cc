#include "util/json.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

using Strings = std::vector<std::string>;

// Whatever the bytes, the literal holds no raw control byte and decodes back to them.
TEST(JsonTest, StringsRoundTripEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    all += static_cast<char>(b);
  }
  const std::string encoded = JsonString(all);
  for (unsigned char c : encoded) {
    ASSERT_GE(c, 0x20) << "raw control byte in a JSON literal";
  }
  EXPECT_EQ(JsonUnescapeString(encoded), all);
  EXPECT_EQ(JsonString("a\"b\\c\n\x1f\x7f/\xE4\xB8\xAD"),
            "\"a\\\"b\\\\c\\n\\u001f\x7f/\xE4\xB8\xAD\"");
  EXPECT_EQ(JsonArray({"x", "\""}), R"(["x","\""])");
}

TEST(JsonTest, UnescapeDecodesEscapesAndRefusesNonLiterals) {
  const std::pair<const char*, std::string> cases[] = {
      {R"("a\tb\nc\rd\be\ff\/\x")", "a\tb\nc\rd\be\ff/x"},
      {"5", ""},
      {"\"abc", ""},
      {R"("\u00e9\u4e2d")", "\xC3\xA9\xE4\xB8\xAD"},
      {R"("x\ud83d\ude00y")", "x\xF0\x9F\x98\x80y"},
      {R"("\ud83d\u0041")", "\uFFFDA"},  // a lone surrogate cannot be UTF-8
      {R"("\u12G4")", "u12G4"},
  };
  for (const auto& [literal, expected] : cases) {
    SCOPED_TRACE(literal);
    EXPECT_EQ(JsonUnescapeString(literal), expected);
  }
}

// Values that spell a key are passed over; brackets and quotes inside strings end nothing.
TEST(JsonTest, FindRawReturnsTheSourceTextOfTheFirstRealKey) {
  const std::string spelled =
      R"({"name": "port", "note": "say \"port\": 1", "list": ["port"], "inner": {"port" : 8080}})";
  const std::tuple<std::string, const char*, const char*> cases[] = {
      {spelled, "port", "8080"},
      {spelled, "name", "\"port\""},
      {R"({"a": [1, ["]", 3]], "b": 4})", "a", R"([1, ["]", 3]])"},
      {R"({"o": {"k": "\"}", "n": {}}})", "o", R"({"k": "\"}", "n": {}})"},
      {"{\"n\": 12\n}", "n", "12"},
      {R"({"a" , "b": 1})", "a", ""},
      {R"({"k": [1, 2)", "k", ""},
      {R"({"k": "never closed)", "k", ""},
  };
  for (const auto& [doc, key, expected] : cases) {
    EXPECT_EQ(JsonFindRaw(doc, key), expected) << doc << " / " << key;
  }
}

// Typed readers keep to their type and fall back only without a value.
TEST(JsonTest, TypedReaders) {
  const std::string doc = R"({"empty": "", "num": 5, "s": "true", "a": ["x", 1, "q\"]", ""]})";
  EXPECT_EQ(JsonStringValue(doc, "missing", "d") + JsonStringValue(doc, "empty", "d") +
                JsonStringValue(doc, "num", "d"),
            "d");
  EXPECT_FALSE(JsonBoolValue(doc, "s", false));
  EXPECT_TRUE(JsonBoolValue(doc, "num", true));
  EXPECT_EQ(JsonStringArrayValue(doc, "a"), (Strings{"x", "q\"]", ""}));
  EXPECT_EQ(JsonStringArrayValue(doc, "s"), Strings{});
}

}  // namespace
}  // namespace larkspire
