// The HTTP readers on bytes from a Hub that breaks off mid-reply. The first byte chooses: "L" reads
// lines; "P" a reply behind ~64 KiB of headers, so small inputs reach the size limits; "S" a
// reply within 1000 bytes, so real bodies reach it; any other as the Hub client does.
#include "hub/http_client.h"
#include "hub/http_reader.h"
#include "support/fuzz_harness.h"
#include "util/fd.h"

namespace larkspire {

constexpr size_t kHeaderLimit = 65536;

// A socket that holds `bytes` and then the end of the stream; inputs stay below its buffer.
UniqueFd Feed(const std::string& bytes) {
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  const UniqueFd writer(fds[1]);
  FUZZ_CHECK(SendAll(fds[1], bytes.data(), bytes.size()));
  return UniqueFd(fds[0]);
}

void ReadReply(SocketStream& stream, const std::string& input, size_t limit) {
  std::string headers;
  try {
    headers = ReadHttpHeaders(stream);
    FUZZ_CHECK(headers.size() <= kHeaderLimit && input.compare(0, headers.size(), headers) == 0);
    FUZZ_CHECK(headers.size() >= 4 && headers.find("\r\n\r\n") == headers.size() - 4);
    ParseHttpStatus(headers);
    const std::string body = ReadHttpBody(stream, headers, limit);
    FUZZ_CHECK(body.size() <= input.size() - headers.size() && body.size() <= limit);
  } catch (const HttpError& error) {
    // Only a framed body is refused for what it announces; otherwise more than the limit came.
    const bool framed = !HeaderValue(headers, "Content-Length").empty() ||
                        !HeaderValue(headers, "Transfer-Encoding").empty();
    FUZZ_CHECK(error.kind() != HttpErrorKind::kBodyTooLarge || framed ||
               input.size() - headers.size() > limit);
    FUZZ_CHECK(error.kind() != HttpErrorKind::kHeadersTooLarge || input.size() > kHeaderLimit);
  }
}

void ReadLines(SocketStream& stream, const std::string& input) {
  size_t consumed = 0;
  try {
    while (true) {
      const std::string line = ReadHttpLine(stream);
      FUZZ_CHECK(line.size() <= 16383 &&
                 input.compare(consumed, line.size() + 2, line + "\r\n") == 0);
      consumed += line.size() + 2;
    }
  } catch (const HttpError& error) {
    FUZZ_CHECK(error.kind() == HttpErrorKind::kReceiveFailed ||
               error.kind() == HttpErrorKind::kLineTooLarge);
  }
}

void FuzzOne(const std::string& input) {
  if (input.empty() || input.size() > 64 * 1024) {
    return;
  }
  std::string rest = input.substr(1);
  if (input[0] == 'P') {
    std::string padding = "HTTP/1.1 200 OK\r\n";
    while (padding.size() < 65400) {
      padding += "X-Padding: " + std::string(100, 'p') + "\r\n";
    }
    rest.insert(0, padding);
  }
  const UniqueFd fd = Feed(rest);
  SocketStream stream(fd.get());
  if (input[0] == 'L') {
    ReadLines(stream, rest);
  } else {
    ReadReply(stream, rest, input[0] == 'S' ? 1000 : kMaxHubReplyBytes);
  }
}

}  // namespace larkspire
