#include "devhub/json_object.h"

#include <cctype>
#include <cstring>

#include "util/json.h"

namespace larkspire {
namespace {

constexpr int kMaxDepth = 64;
constexpr size_t kFail = std::string::npos;

size_t SkipSpace(const std::string& text, size_t at) {
  while (at < text.size() && std::strchr(" \t\r\n", text[at]) != nullptr && text[at] != '\0') {
    ++at;
  }
  return at;
}

size_t SkipValue(const std::string& text, size_t at, int depth);

size_t SkipString(const std::string& text, size_t at) {
  for (size_t i = at + 1; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20) {
      return kFail;
    }
    if (c == '\\') {
      ++i;
    } else if (c == '"') {
      return i + 1;
    }
  }
  return kFail;
}

size_t SkipDigits(const std::string& text, size_t at) {
  const size_t start = at;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
    ++at;
  }
  return at == start ? kFail : at;
}

size_t SkipNumber(const std::string& text, size_t at) {
  if (text[at] == '-') {
    ++at;
  }
  at = SkipDigits(text, at);
  if (at != kFail && at < text.size() && text[at] == '.') {
    at = SkipDigits(text, at + 1);
  }
  if (at != kFail && at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
      ++at;
    }
    at = SkipDigits(text, at);
  }
  return at;
}

size_t SkipWord(const std::string& text, size_t at) {
  for (const char* word : {"true", "false", "null"}) {
    if (text.compare(at, std::strlen(word), word) == 0) {
      return at + std::strlen(word);
    }
  }
  return kFail;
}

// Walks the members of an object or the elements of an array starting at `at` (the
// opening bracket). `onItem` gets each key (empty for arrays) and raw value.
template <typename OnItem>
size_t SkipContainer(const std::string& text, size_t at, int depth, OnItem&& onItem) {
  if (depth > kMaxDepth) {
    return kFail;
  }
  const bool isObject = text[at] == '{';
  const char close = isObject ? '}' : ']';
  at = SkipSpace(text, at + 1);
  if (at < text.size() && text[at] == close) {
    return at + 1;
  }
  while (at < text.size()) {
    std::string key;
    if (isObject) {
      if (text[at] != '"') {
        return kFail;
      }
      const size_t keyEnd = SkipString(text, at);
      if (keyEnd == kFail) {
        return kFail;
      }
      key = JsonUnescapeString(text.substr(at, keyEnd - at));
      at = SkipSpace(text, keyEnd);
      if (at >= text.size() || text[at] != ':') {
        return kFail;
      }
      at = SkipSpace(text, at + 1);
    }
    const size_t valueEnd = SkipValue(text, at, depth + 1);
    if (valueEnd == kFail) {
      return kFail;
    }
    onItem(key, text.substr(at, valueEnd - at));
    at = SkipSpace(text, valueEnd);
    if (at < text.size() && text[at] == close) {
      return at + 1;
    }
    if (at >= text.size() || text[at] != ',') {
      return kFail;
    }
    at = SkipSpace(text, at + 1);
  }
  return kFail;
}

size_t SkipValue(const std::string& text, size_t at, int depth) {
  if (at >= text.size()) {
    return kFail;
  }
  const char c = text[at];
  if (c == '"') {
    return SkipString(text, at);
  }
  if (c == '{' || c == '[') {
    return SkipContainer(text, at, depth, [](const std::string&, const std::string&) {});
  }
  if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
    return SkipNumber(text, at);
  }
  return SkipWord(text, at);
}

// Runs SkipContainer over the whole text, which must hold exactly one container of the
// given kind surrounded by nothing but white space.
template <typename OnItem>
bool WalkWhole(const std::string& text, char open, OnItem&& onItem) {
  const size_t at = SkipSpace(text, 0);
  if (at >= text.size() || text[at] != open) {
    return false;
  }
  const size_t end = SkipContainer(text, at, 1, onItem);
  return end != kFail && SkipSpace(text, end) == text.size();
}

}  // namespace

std::optional<std::map<std::string, std::string>> ParseJsonObject(const std::string& text) {
  std::map<std::string, std::string> members;
  if (!WalkWhole(text, '{',
                 [&](const std::string& key, const std::string& raw) { members[key] = raw; })) {
    return std::nullopt;
  }
  return members;
}

std::optional<std::vector<std::string>> ParseJsonArray(const std::string& text) {
  std::vector<std::string> items;
  if (!WalkWhole(text, '[',
                 [&](const std::string&, const std::string& raw) { items.push_back(raw); })) {
    return std::nullopt;
  }
  return items;
}

std::optional<std::string> JsonRawToString(const std::string& raw) {
  if (raw.size() < 2 || raw.front() != '"' || SkipString(raw, 0) != raw.size()) {
    return std::nullopt;
  }
  return JsonUnescapeString(raw);
}

std::optional<std::vector<std::string>> JsonRawToStringList(const std::string& raw) {
  const auto items = ParseJsonArray(raw);
  if (!items) {
    return std::nullopt;
  }
  std::vector<std::string> texts;
  for (const std::string& item : *items) {
    auto text = JsonRawToString(item);
    if (!text) {
      return std::nullopt;
    }
    texts.push_back(std::move(*text));
  }
  return texts;
}

}  // namespace larkspire
