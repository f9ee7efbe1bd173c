#include "util/text.h"

#include <algorithm>
#include <cctype>

namespace larkspire {

std::string Trim(std::string text) {
  size_t begin = 0;
  while (begin < text.size() && std::isspace(static_cast<unsigned char>(text[begin]))) {
    ++begin;
  }
  size_t end = text.size();
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
    --end;
  }
  return text.substr(begin, end - begin);
}

std::string JoinStrings(const std::vector<std::string>& items, const std::string& separator) {
  std::string result;
  bool first = true;
  for (const auto& item : items) {
    if (!first && !result.empty()) {
      result += separator;
    }
    result += item;
    first = false;
  }
  return result;
}

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

bool ConstantTimeEquals(const std::string& a, const std::string& b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  const size_t length = a.size() > b.size() ? a.size() : b.size();
  for (size_t i = 0; i < length; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference |= static_cast<unsigned char>(x ^ y);
  }
  return difference == 0;
}

std::string ShellQuote(const std::string& text) {
  std::string result = "'";
  for (char c : text) {
    if (c == '\'') {
      result += "'\\''";
    } else {
      result += c;
    }
  }
  result += '\'';
  return result;
}

bool IsSafeShellByte(unsigned char byte) {
  if (byte >= 0x80) {
    return false;
  }
  return std::isalnum(byte) || byte == '-' || byte == '.' || byte == '/' || byte == ':' ||
         byte == '_';
}

bool IsSafeShellToken(const std::string& text) {
  if (text.empty()) {
    return false;
  }
  for (char c : text) {
    if (!IsSafeShellByte(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    bool unreserved = (byte < 0x80 && std::isalnum(byte)) || byte == '-' || byte == '.' ||
                      byte == '_' || byte == '~';
    if (unreserved) {
      result += c;
    } else {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0x0F];
    }
  }
  return result;
}

std::string EscapeControlBytes(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      escaped.push_back(c);
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      escaped += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    }
  }
  return escaped;
}

std::string MaskSecret(const std::string& secret) {
  if (secret.empty()) {
    return "<empty>";
  }
  const size_t shown = std::min<size_t>(4, secret.size() / 4);
  return secret.substr(0, shown) + "\xE2\x80\xA6 (" + std::to_string(secret.size()) + " chars)";
}

}  // namespace larkspire
