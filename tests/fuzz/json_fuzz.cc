// The JSON readers and the encoders' round trips. Input: the key, a NUL byte, then the text.
#include <algorithm>

#include "support/fuzz_harness.h"
#include "util/json.h"

namespace larkspire {

void FuzzOne(const std::string& input) {
  const auto [key, text] = SplitAtNul(input);
  const std::string raw = JsonFindRaw(text, key);
  // A value found is a piece of the text, and a string, array or object one is closed.
  FUZZ_CHECK(raw.empty() || text.find(raw) != std::string::npos);
  const size_t opener = raw.empty() ? std::string::npos : std::string("\"[{").find(raw.front());
  FUZZ_CHECK(opener == std::string::npos || (raw.size() >= 2 && raw.back() == "\"]}"[opener]));
  const std::string value = JsonStringValue(text, key, "(fallback)");
  FUZZ_CHECK(raw.empty() ? value == "(fallback)" : value == JsonUnescapeString(raw));
  // Decoding never grows the text: every escape is at least as long as what it stands for.
  FUZZ_CHECK(raw.empty() || value.size() <= raw.size());
  FUZZ_CHECK(JsonBoolValue(text, key, true) == (raw != "false"));
  FUZZ_CHECK(JsonBoolValue(text, key, false) == (raw == "true"));
  FUZZ_CHECK((raw.size() >= 2 && raw.front() == '[') || JsonStringArrayValue(text, key).empty());

  // A document written by concatenation reads back what was put in.
  const std::string literal = JsonString(text);
  FUZZ_CHECK(std::all_of(literal.begin(), literal.end(), [](unsigned char c) { return c >= 32; }));
  FUZZ_CHECK(JsonUnescapeString(literal) == text);
  const std::string list = JsonArray({key, text, key});
  const std::string document = "{\"k\": " + literal + ", \"list\":" + list + "}";
  FUZZ_CHECK(JsonFindRaw(document, "k") == literal);
  FUZZ_CHECK(JsonStringValue(document, "k", "") == text);
  FUZZ_CHECK((JsonStringArrayValue(document, "list") == std::vector<std::string>{key, text, key}));
}

}  // namespace larkspire
