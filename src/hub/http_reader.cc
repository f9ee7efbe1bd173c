#include "hub/http_reader.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "util/run_flag.h"
#include "util/text.h"

namespace larkspire {
namespace {

constexpr size_t kMaxLineBytes = 16384;
constexpr size_t kMaxHeaderBytes = 65536;
constexpr size_t kUntilCloseChunk = 4096;
// Bodies grow as bytes actually arrive, never by the size a peer announces, so a lying
// length or chunk size cannot make us reserve gigabytes up front.
constexpr size_t kBodyStep = 64 * 1024;

std::string Lowered(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool EndsWith(const std::string& text, const char* suffix, size_t length) {
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// Appends exactly `count` received bytes to `out`, in bounded steps.
bool AppendExact(ByteStream& stream, std::string& out, size_t count) {
  while (count > 0) {
    const size_t step = std::min(count, kBodyStep);
    const size_t old = out.size();
    out.resize(old + step);
    if (!RecvExact(stream, out.data() + old, step)) {
      out.resize(old);
      return false;
    }
    count -= step;
  }
  return true;
}

// Hexadecimal digits after optional leading white space, like std::stoul in base 16 but
// without its sign handling: "-1" would otherwise become the largest possible chunk.
size_t ParseChunkSize(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  if (i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i]))) {
    throw std::invalid_argument("stoul");
  }
  uint64_t value = 0;
  for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    const uint64_t digit = c <= '9' ? c - '0' : c - 'a' + 10;
    if (value > (UINT64_MAX - digit) / 16) {
      throw std::out_of_range("stoul");
    }
    value = value * 16 + digit;
  }
  return static_cast<size_t>(value);
}

std::string ReadChunkedBody(ByteStream& stream) {
  std::string body;
  while (true) {
    const std::string line = ReadHttpLine(stream);
    const size_t size = ParseChunkSize(line.substr(0, line.find(';')));
    if (size == 0) {
      // Trailer lines are read and dropped up to the blank line.
      while (!ReadHttpLine(stream).empty()) {
      }
      return body;
    }
    if (!AppendExact(stream, body, size)) {
      throw std::runtime_error("HTTP chunk receive failed.");
    }
    char terminator[2];
    if (!RecvExact(stream, terminator, sizeof(terminator))) {
      throw std::runtime_error("HTTP chunk terminator receive failed.");
    }
  }
}

std::string ReadUntilClose(ByteStream& stream) {
  std::string body;
  char buffer[kUntilCloseChunk];
  while (true) {
    const ssize_t n = stream.Receive(buffer, sizeof(buffer));
    if (n <= 0) {
      return body;
    }
    body.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

bool RecvExact(ByteStream& stream, void* buffer, size_t count) {
  char* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    if (!g_running.load()) {
      return false;
    }
    const ssize_t n = stream.Receive(bytes + done, count - done);
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadHttpLine(ByteStream& stream) {
  std::string line;
  while (g_running.load()) {
    char c = 0;
    if (stream.Receive(&c, 1) <= 0) {
      throw std::runtime_error("HTTP line receive failed.");
    }
    line.push_back(c);
    if (EndsWith(line, "\r\n", 2)) {
      line.resize(line.size() - 2);
      return line;
    }
    if (line.size() > kMaxLineBytes) {
      throw std::runtime_error("HTTP line was too large.");
    }
  }
  return line;
}

std::string ReadHttpHeaders(ByteStream& stream) {
  std::string headers;
  // Checking only the tail is enough: the block is tested after every single byte.
  while (!EndsWith(headers, "\r\n\r\n", 4)) {
    char c = 0;
    if (stream.Receive(&c, 1) <= 0) {
      throw std::runtime_error("HTTP header receive failed.");
    }
    headers.push_back(c);
    if (headers.size() > kMaxHeaderBytes) {
      throw std::runtime_error("HTTP headers too large.");
    }
  }
  return headers;
}

int ParseHttpStatus(const std::string& headers) {
  const size_t space = headers.find(' ');
  if (space == std::string::npos || headers.size() - space - 1 < 3) {
    return 0;
  }
  const std::string code = headers.substr(space + 1, 3);
  return static_cast<int>(std::strtol(code.c_str(), nullptr, 10));
}

std::string HeaderValue(const std::string& headers, const std::string& name) {
  // Only a header line that starts with the name counts: "X-Content-Length: 7", or a value
  // that mentions "content-length:", must not decide how a body is framed.
  const std::string needle = Lowered(name) + ":";
  const std::string lowered = Lowered(headers);
  size_t lineStart = 0;
  while (lineStart < headers.size()) {
    size_t lineEnd = headers.find("\r\n", lineStart);
    if (lineEnd == std::string::npos) {
      lineEnd = headers.size();
    }
    if (lowered.compare(lineStart, needle.size(), needle) == 0) {
      const size_t start = lineStart + needle.size();
      return Trim(headers.substr(start, lineEnd - start));
    }
    lineStart = lineEnd + 2;
  }
  return "";
}

std::string ReadHttpBody(ByteStream& stream, const std::string& headers) {
  if (Lowered(HeaderValue(headers, "Transfer-Encoding")).find("chunked") != std::string::npos) {
    return ReadChunkedBody(stream);
  }
  const std::string lengthText = HeaderValue(headers, "Content-Length");
  if (!lengthText.empty()) {
    const long length = std::strtol(lengthText.c_str(), nullptr, 10);
    // A length we cannot represent is a broken reply, not a cue to read until close.
    if (length > INT32_MAX || length < INT32_MIN) {
      throw std::runtime_error("HTTP body receive failed.");
    }
    if (length >= 1) {
      std::string body;
      if (!AppendExact(stream, body, static_cast<size_t>(length))) {
        throw std::runtime_error("HTTP body receive failed.");
      }
      return body;
    }
  }
  return ReadUntilClose(stream);
}

}  // namespace larkspire
