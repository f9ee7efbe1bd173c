#include "hub/http_reader.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "util/run_flag.h"
#include "util/text.h"

namespace larkspire {
namespace {

constexpr size_t kMaxLineBytes = 16384;
constexpr size_t kMaxHeaderBytes = 65536;
// Bodies are received in pieces of at most this size, never by the size a peer announces,
// so a lying length or chunk size cannot make us reserve gigabytes up front.
constexpr size_t kBodyStep = 64 * 1024;

bool EndsWith(const std::string& text, const char* suffix, size_t length) {
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

[[noreturn]] void Fail(HttpErrorKind kind, const char* message) {
  throw HttpError(kind, message);
}

// Hexadecimal digits after optional leading white space, like std::stoul in base 16 but
// without its sign handling: "-1" would otherwise become the largest possible chunk.
size_t ParseChunkSize(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  if (i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i]))) {
    Fail(HttpErrorKind::kMalformed, "HTTP chunk size is invalid.");
  }
  uint64_t value = 0;
  for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    const uint64_t digit = c <= '9' ? c - '0' : c - 'a' + 10;
    if (value > (UINT64_MAX - digit) / 16) {
      Fail(HttpErrorKind::kMalformed, "HTTP chunk size is invalid.");
    }
    value = value * 16 + digit;
  }
  return static_cast<size_t>(value);
}

// Hands the body to the sink in bounded pieces and keeps the running total against the
// caller's limit.
class BodyReader {
 public:
  BodyReader(ByteStream& stream, size_t maxBytes, const HttpBodySink& sink)
      : stream_(stream), left_(maxBytes), sink_(sink) {}

  // Refuses a body that would grow past the limit by `count` more bytes.
  void Reserve(size_t count) {
    if (count > left_) {
      Fail(HttpErrorKind::kBodyTooLarge, "HTTP body too large.");
    }
    left_ -= count;
  }

  // Exactly `count` bytes; false when they did not all arrive.
  bool Exact(size_t count) {
    Reserve(count);
    while (count > 0) {
      const size_t step = std::min(count, kBodyStep);
      buffer_.resize(step);
      if (!RecvExact(stream_, buffer_.data(), step)) {
        return false;
      }
      sink_(std::string_view(buffer_.data(), step));
      count -= step;
    }
    return true;
  }

  // Everything up to the peer's close (or a receive error, which cannot be told apart).
  void UntilClose() {
    buffer_.resize(kBodyStep);
    while (true) {
      const ssize_t n = stream_.Receive(buffer_.data(), buffer_.size());
      if (n <= 0) {
        return;
      }
      Reserve(static_cast<size_t>(n));
      sink_(std::string_view(buffer_.data(), static_cast<size_t>(n)));
    }
  }

  void Chunked() {
    while (true) {
      const std::string line = ReadHttpLine(stream_);
      const size_t size = ParseChunkSize(line.substr(0, line.find(';')));
      if (size == 0) {
        // Trailer lines are read and dropped up to the blank line.
        while (!ReadHttpLine(stream_).empty()) {
        }
        return;
      }
      if (!Exact(size)) {
        Fail(HttpErrorKind::kReceiveFailed, "HTTP chunk receive failed.");
      }
      char terminator[2];
      if (!RecvExact(stream_, terminator, sizeof(terminator))) {
        Fail(HttpErrorKind::kReceiveFailed, "HTTP chunk terminator receive failed.");
      }
    }
  }

 private:
  ByteStream& stream_;
  size_t left_;
  const HttpBodySink& sink_;
  std::string buffer_;
};

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
      Fail(HttpErrorKind::kReceiveFailed, "HTTP line receive failed.");
    }
    line.push_back(c);
    if (EndsWith(line, "\r\n", 2)) {
      line.resize(line.size() - 2);
      return line;
    }
    if (line.size() > kMaxLineBytes) {
      Fail(HttpErrorKind::kLineTooLarge, "HTTP line was too large.");
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
      Fail(HttpErrorKind::kReceiveFailed, "HTTP header receive failed.");
    }
    headers.push_back(c);
    if (headers.size() > kMaxHeaderBytes) {
      Fail(HttpErrorKind::kHeadersTooLarge, "HTTP headers too large.");
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
  const std::string needle = AsciiLower(name) + ":";
  const std::string lowered = AsciiLower(headers);
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

void ReadHttpBody(ByteStream& stream, const std::string& headers, size_t maxBytes, const HttpBodySink& sink) {
  BodyReader reader(stream, maxBytes, sink);
  if (AsciiLower(HeaderValue(headers, "Transfer-Encoding")).find("chunked") != std::string::npos) {
    reader.Chunked();
    return;
  }
  const std::string lengthText = HeaderValue(headers, "Content-Length");
  if (!lengthText.empty()) {
    const long length = std::strtol(lengthText.c_str(), nullptr, 10);
    // A length we cannot represent is a broken reply, not a cue to read until close.
    if (length > INT32_MAX || length < INT32_MIN) {
      Fail(HttpErrorKind::kMalformed, "HTTP Content-Length is invalid.");
    }
    if (length >= 1) {
      if (!reader.Exact(static_cast<size_t>(length))) {
        Fail(HttpErrorKind::kReceiveFailed, "HTTP body receive failed.");
      }
      return;
    }
  }
  reader.UntilClose();
}

std::string ReadHttpBody(ByteStream& stream, const std::string& headers, size_t maxBytes) {
  std::string body;
  ReadHttpBody(stream, headers, maxBytes, [&body](std::string_view piece) { body.append(piece); });
  return body;
}

}  // namespace larkspire
