#include "util/json.h"

#include <cctype>
#include <cstdint>
#include <optional>

#include "util/text.h"

namespace larkspire {
namespace {

// Index of the quote that closes the string whose opening quote is at `open`, or npos.
size_t FindClosingQuote(const std::string& text, size_t open) {
  for (size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i;
    }
  }
  return std::string::npos;
}

// Index of the bracket that closes the one at `open` (same kind only), or npos.
size_t FindClosingBracket(const std::string& text, size_t open) {
  char opening = text[open];
  char closing = opening == '[' ? ']' : '}';
  int depth = 0;
  bool in_string = false;
  for (size_t i = open; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == opening) {
      ++depth;
    } else if (c == closing && --depth == 0) {
      return i;
    }
  }
  return std::string::npos;
}

// Index of the first occurrence of `needle` (a quoted key) that stands as an object key: a
// string token of its own, not text inside another string, followed by a colon. A value or
// array element that merely spells a key name must not take the key's place, or a record
// saved with such a value would read back with other fields lost.
size_t FindKeyToken(const std::string& json, const std::string& needle) {
  for (size_t i = 0; i < json.size(); ++i) {
    if (json[i] != '"') {
      continue;
    }
    if (json.compare(i, needle.size(), needle) == 0) {
      size_t after = i + needle.size();
      while (after < json.size() && std::isspace(static_cast<unsigned char>(json[after]))) {
        ++after;
      }
      if (after < json.size() && json[after] == ':') {
        return i;
      }
    }
    i = FindClosingQuote(json, i);
    if (i == std::string::npos) {
      break;
    }
  }
  return std::string::npos;
}

std::optional<uint32_t> ParseHex4(const std::string& text, size_t at) {
  if (at + 4 > text.size()) {
    return std::nullopt;
  }
  uint32_t value = 0;
  for (size_t i = at; i < at + 4; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (!std::isxdigit(c)) {
      return std::nullopt;
    }
    value = value * 16 + static_cast<uint32_t>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
  }
  return value;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Decodes the \u escape whose "u" is at `u`. On success appends the character and returns
// the index of the last byte consumed; on a malformed escape returns nullopt.
std::optional<size_t> DecodeUnicodeEscape(const std::string& body, size_t u, std::string& out) {
  auto first = ParseHex4(body, u + 1);
  if (!first) {
    return std::nullopt;
  }
  size_t last = u + 4;
  uint32_t code = *first;
  if (code >= 0xD800 && code <= 0xDBFF) {
    // A high surrogate needs its low half in a following \uXXXX escape.
    std::optional<uint32_t> low;
    if (last + 2 < body.size() && body[last + 1] == '\\' && body[last + 2] == 'u') {
      low = ParseHex4(body, last + 3);
    }
    if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
      last += 6;
    } else {
      code = 0xFFFD;
    }
  } else if (code >= 0xDC00 && code <= 0xDFFF) {
    code = 0xFFFD;
  }
  AppendUtf8(out, code);
  return last;
}

}  // namespace

std::string JsonString(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  out += '"';
  for (char c : text) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[static_cast<unsigned char>(c) >> 4];
          out += kHex[static_cast<unsigned char>(c) & 0x0F];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) {
      out += ',';
    }
    out += JsonString(items[i]);
  }
  out += ']';
  return out;
}

std::string JsonUnescapeString(const std::string& literal) {
  if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"') {
    return "";
  }
  const std::string body = literal.substr(1, literal.size() - 2);
  std::string out;
  out.reserve(body.size());
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\\' || i + 1 >= body.size()) {
      if (body[i] != '\\') {
        out += body[i];
      }
      continue;
    }
    char escape = body[++i];
    switch (escape) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u':
        if (auto last = DecodeUnicodeEscape(body, i, out)) {
          i = *last;
        } else {
          out += 'u';
        }
        break;
      default: out += escape;
    }
  }
  return out;
}

std::string JsonFindRaw(const std::string& json, const std::string& key) {
  const std::string needle = "\"" + key + "\"";
  size_t found = FindKeyToken(json, needle);
  if (found == std::string::npos) {
    return "";
  }
  size_t colon = json.find(':', found + needle.size());
  size_t start = colon + 1;
  while (start < json.size() && std::isspace(static_cast<unsigned char>(json[start]))) {
    ++start;
  }
  if (start >= json.size()) {
    return "";
  }
  char first = json[start];
  if (first == '"') {
    size_t close = FindClosingQuote(json, start);
    return close == std::string::npos ? "" : json.substr(start, close - start + 1);
  }
  if (first == '[' || first == '{') {
    size_t close = FindClosingBracket(json, start);
    return close == std::string::npos ? "" : json.substr(start, close - start + 1);
  }
  size_t end = json.find_first_of(",}\n", start);
  return Trim(json.substr(start, end == std::string::npos ? std::string::npos : end - start));
}

std::string JsonStringValue(const std::string& json, const std::string& key,
                            const std::string& fallback) {
  std::string raw = JsonFindRaw(json, key);
  if (raw.empty()) {
    return fallback;
  }
  return JsonUnescapeString(raw);
}

bool JsonBoolValue(const std::string& json, const std::string& key, bool fallback) {
  std::string raw = JsonFindRaw(json, key);
  if (raw == "true") {
    return true;
  }
  if (raw == "false") {
    return false;
  }
  return fallback;
}

std::vector<std::string> JsonStringArrayValue(const std::string& json, const std::string& key) {
  std::vector<std::string> items;
  std::string raw = JsonFindRaw(json, key);
  if (raw.size() < 2 || raw[0] != '[') {
    return items;
  }
  size_t i = 1;
  while (i < raw.size()) {
    char c = raw[i];
    if (c == ']') {
      break;
    }
    if (c != '"') {
      ++i;
      continue;
    }
    size_t close = FindClosingQuote(raw, i);
    if (close == std::string::npos) {
      break;
    }
    items.push_back(JsonUnescapeString(raw.substr(i, close - i + 1)));
    i = raw.find_first_of("\"]", close + 1);
    if (i == std::string::npos) {
      break;
    }
  }
  return items;
}

}  // namespace larkspire
