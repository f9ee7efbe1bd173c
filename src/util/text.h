#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace larkspire {

// Byte-string helpers. Character classes are ASCII only (default locale).
std::string Trim(std::string text);
std::string JoinStrings(const std::vector<std::string>& items, const std::string& separator);
// A-Z become a-z; every other byte is kept (header names and hex digits compare this way).
std::string AsciiLower(std::string text);

// Compares without stopping at the first difference, so the time taken does not tell how
// much of a guessed secret was right.
bool ConstantTimeEquals(const std::string& a, const std::string& b);

// Every control byte (below 0x20, and 0x7F) written as an escape ("\n", "\r", "\t",
// "\x1b"), so a value from outside can neither start a log line of its own nor drive a
// terminal. Backslashes stay as they are.
std::string EscapeControlBytes(std::string_view text);

// How a secret may appear in a log: its first characters and its length, "e8c6… (32 chars)";
// "<empty>" when there is none. A short secret shows fewer characters (none below 4), so
// never more than a quarter of it is given away.
std::string MaskSecret(const std::string& secret);

// Wraps the text in single quotes so the shell takes it as one literal word.
std::string ShellQuote(const std::string& text);

// True for a byte the shell never treats specially: ASCII letter, digit, - . / : _
bool IsSafeShellByte(unsigned char byte);
// Non-empty and made only of safe bytes; used to vet values that come from web requests.
bool IsSafeShellToken(const std::string& text);

// Percent-encodes every byte outside the RFC 3986 unreserved set (space becomes %20).
std::string UrlEncode(const std::string& text);

}  // namespace larkspire
