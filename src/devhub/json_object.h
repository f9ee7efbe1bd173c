#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace larkspire {

// Strict readers for the devhub's inputs (request bodies, its data file). Unlike the
// key-search readers of util/json.h they check that the whole text is well formed, so a
// malformed request can be told apart from one that merely lacks a key. Nesting deeper
// than 64 levels is refused rather than followed.

// Members of one JSON object: decoded key -> raw value text (a later duplicate key wins).
std::optional<std::map<std::string, std::string>> ParseJsonObject(const std::string& text);
// Elements of one JSON array as raw value texts.
std::optional<std::vector<std::string>> ParseJsonArray(const std::string& text);
// The decoded text when `raw` is a string literal.
std::optional<std::string> JsonRawToString(const std::string& raw);
// The decoded texts when `raw` is an array of string literals only.
std::optional<std::vector<std::string>> JsonRawToStringList(const std::string& raw);

}  // namespace larkspire
