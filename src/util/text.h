#pragma once

#include <string>
#include <vector>

namespace larkspire {

// Byte-string helpers. Character classes are ASCII only (default locale).
std::string Trim(std::string text);
// ASCII letters lower-cased; every other byte kept.
std::string AsciiLower(std::string text);
std::string JoinStrings(const std::vector<std::string>& items, const std::string& separator);

// Wraps the text in single quotes so the shell takes it as one literal word.
std::string ShellQuote(const std::string& text);

// True for a byte the shell never treats specially: ASCII letter, digit, - . / : _
bool IsSafeShellByte(unsigned char byte);
// Non-empty and made only of safe bytes; used to vet values that come from web requests.
bool IsSafeShellToken(const std::string& text);

// Percent-encodes every byte outside the RFC 3986 unreserved set (space becomes %20).
std::string UrlEncode(const std::string& text);

}  // namespace larkspire
