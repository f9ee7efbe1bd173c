#include "devhub/json_object.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

TEST(ParseJsonObject, ReturnsRawMembersOfWellFormedObjects) {
  const auto members = ParseJsonObject(
      " {\"a\":1, \"b\" : \"x\\\"y\", \"c\":[1,{\"d\":null}], \"e\\u0041\":-2.5e3, \"f\":true} ");
  ASSERT_TRUE(members);
  EXPECT_EQ(members->at("a"), "1");
  EXPECT_EQ(members->at("b"), "\"x\\\"y\"");
  EXPECT_EQ(members->at("c"), "[1,{\"d\":null}]");
  EXPECT_EQ(members->at("eA"), "-2.5e3");
  EXPECT_EQ(members->at("f"), "true");
  EXPECT_TRUE(ParseJsonObject("{}"));
}

TEST(ParseJsonObject, RefusesAnythingMalformed) {
  for (const char* text :
       {"", "{", "}", "[]", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{a:1}", "{\"a\":01x}",
        "{\"a\":tru}", "{\"a\":\"\n\"}", "{} x", "{\"a\":1}{", "{\"a\":[1,2}", "{\"a\":-}"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseJsonObject(text));
  }
  EXPECT_FALSE(ParseJsonObject(std::string(70, '[') + std::string(70, ']')));
}

TEST(JsonRawToStringList, AcceptsOnlyArraysOfStrings) {
  EXPECT_EQ(JsonRawToStringList("[\"a\", \"b\\u00e9\"]"),
            (std::vector<std::string>{"a", "b\xc3\xa9"}));
  EXPECT_EQ(JsonRawToStringList("[]"), std::vector<std::string>{});
  EXPECT_FALSE(JsonRawToStringList("[\"a\",1]"));
  EXPECT_FALSE(JsonRawToStringList("\"a\""));
  EXPECT_FALSE(JsonRawToString("\"a\"b\""));
}

}  // namespace
}  // namespace larkspire
