#pragma once

#include <string>
#include <vector>

namespace larkspire {

// JSON is written by concatenation around these encoders and read by key search; there is
// no document tree. The readers never throw: a missing key or malformed text gives the
// empty string, the default, or an empty list.

// A JSON string literal, quotes included. Tab, LF, CR, quote and backslash use their short
// escapes; every other byte below 0x20 becomes \u00XX, so the result is always valid JSON.
std::string JsonString(const std::string& text);
// A compact array of string literals: ["a","b"].
std::string JsonArray(const std::vector<std::string>& items);

// Decodes a quoted literal (empty when the argument is not one). \uXXXX escapes, surrogate
// pairs included, become UTF-8; in a malformed escape the letter stands for itself.
std::string JsonUnescapeString(const std::string& literal);

// The raw source text of the value of the first quoted occurrence of `key`, at any depth.
std::string JsonFindRaw(const std::string& json, const std::string& key);
std::string JsonStringValue(const std::string& json, const std::string& key,
                            const std::string& fallback);
bool JsonBoolValue(const std::string& json, const std::string& key, bool fallback);
std::vector<std::string> JsonStringArrayValue(const std::string& json, const std::string& key);

}  // namespace larkspire
