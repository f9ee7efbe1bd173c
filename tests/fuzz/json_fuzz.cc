// The JSON readers on arbitrary text and keys, and the encoders' round trips.
#include <algorithm>
#include <string>
#include <vector>

#include "support/fuzz_check.h"
#include "util/json.h"

namespace larkspire {
namespace {

void CheckReaders(const std::string& text, const std::string& key) {
  const std::string raw = JsonFindRaw(text, key);
  // A value found is a piece of the text, and a string, array or object one is closed.
  FUZZ_CHECK(raw.empty() || text.find(raw) != std::string::npos);
  if (!raw.empty() && std::string("\"[{").find(raw.front()) != std::string::npos) {
    const char closer = raw.front() == '"' ? '"' : raw.front() == '[' ? ']' : '}';
    FUZZ_CHECK(raw.size() >= 2 && raw.back() == closer);
  }
  const std::string fallback = "(fallback)";
  const std::string value = JsonStringValue(text, key, fallback);
  FUZZ_CHECK(raw.empty() ? value == fallback : value == JsonUnescapeString(raw));
  // Decoding never grows the text: every escape is at least as long as what it stands for.
  FUZZ_CHECK(raw.empty() || value.size() <= raw.size());

  FUZZ_CHECK(JsonBoolValue(text, key, true) == (raw != "false"));
  FUZZ_CHECK(JsonBoolValue(text, key, false) == (raw == "true"));

  FUZZ_CHECK((raw.size() >= 2 && raw.front() == '[') || JsonStringArrayValue(text, key).empty());
}

void CheckEncoders(const std::string& a, const std::string& b) {
  const std::string literal = JsonString(a);
  FUZZ_CHECK(
      std::all_of(literal.begin(), literal.end(), [](unsigned char c) { return c >= 0x20; }));
  FUZZ_CHECK(JsonUnescapeString(literal) == a);

  // A document written by concatenation reads back what was put in.
  const std::string document = "{\"k\": " + literal + ", \"list\":" + JsonArray({a, b, a}) + "}";
  FUZZ_CHECK(JsonFindRaw(document, "k") == literal);
  FUZZ_CHECK(JsonStringValue(document, "k", "") == a);
  FUZZ_CHECK((JsonStringArrayValue(document, "list") == std::vector<std::string>{a, b, a}));
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input is the key, a NUL byte, then the text; without a NUL the key is empty.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string key = split == std::string::npos ? "" : input.substr(0, split);
  const std::string text = split == std::string::npos ? input : input.substr(split + 1);
  larkspire::CheckReaders(text, key);
  larkspire::CheckEncoders(key, text);
  return 0;
}
