#include "hub/http_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace larkspire {
namespace {

using enum HttpErrorKind;

// The peer's bytes from memory, at most `step` per receive, then a close.
class ScriptStream final : public ByteStream {
 public:
  explicit ScriptStream(std::string script, size_t step = 7000)
      : script_(std::move(script)), step_(step) {}
  ssize_t Receive(void* buffer, size_t size) override {
    const size_t n = std::min({size, step_, script_.size() - at_});
    std::memcpy(buffer, script_.data() + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  SendOutcome Send(iovec*, size_t, std::chrono::milliseconds) override {
    return SendOutcome::kFailed;
  }
  int fd() const override { return -1; }
  std::string rest() const { return script_.substr(at_); }  // what a reader left unread

 private:
  std::string script_;
  size_t step_;
  size_t at_ = 0;
};

// What `read` returned, or "error <kind>".
std::string Outcome(const std::function<std::string()>& read) {
  try {
    return read();
  } catch (const HttpError& error) {
    return "error " + std::to_string(static_cast<int>(error.kind()));
  }
}
std::string Error(HttpErrorKind kind) {
  return "error " + std::to_string(static_cast<int>(kind));
}

TEST(HttpReader, LinesHeadersStatusAndHeaderValues) {
  const std::string start = "HTTP/1.1 200 OK\r\nX-Fill: ";
  const std::string fits = start + std::string(65536 - start.size() - 4, 'a') + "\r\n\r\n";
  const struct {
    bool line;  // ReadHttpLine, else ReadHttpHeaders
    std::string wire;
    std::string expected;
  } cases[] = {
      {false, fits, fits},
      {false, start + "a" + fits.substr(start.size()), Error(kHeadersTooLarge)},
      {false, "HTTP/1.1 200 OK\r\nServer: x\r\n", Error(kReceiveFailed)},
      {true, std::string(16383, 'x') + "\r\nnext", std::string(16383, 'x')},
      {true, std::string(16384, 'x') + "\r\n", Error(kLineTooLarge)},
      {true, "a\rb\nc\r\n", "a\rb\nc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wire.substr(0, 40));
    ScriptStream peer(c.wire);
    EXPECT_EQ(Outcome([&] { return c.line ? ReadHttpLine(peer) : ReadHttpHeaders(peer); }),
              c.expected);
  }
  ScriptStream upgraded("HTTP/1.1 101 Up\r\n\r\n\x82\x01");
  EXPECT_EQ(ReadHttpHeaders(upgraded), "HTTP/1.1 101 Up\r\n\r\n");
  EXPECT_EQ(upgraded.rest(), "\x82\x01");  // the first frame stays for the relay

  EXPECT_EQ(ParseHttpStatus("HTTP/1.1 404 Not Found\r\n\r\n"), 404);
  EXPECT_EQ(ParseHttpStatus("HTTP/1.1 20") + ParseHttpStatus("garbage"), 0);
  // Whole names in any case, trimmed; neither a longer name nor a value mentioning it counts.
  EXPECT_EQ(HeaderValue("HTTP/1.1 200\r\nX-Content-Length: 7\r\nVia: content-length: 8\r\n"
                        "content-length:   9  \r\n\r\n",
                        "Content-Length"),
            "9");
  EXPECT_EQ(HeaderValue("HTTP/1.1 200\r\nHost: a\r\n\r\n", "Content-Length"), "");
}

// Every framing within a limit of 16 bytes; the wire is cut into receives of 3 bytes too.
TEST(HttpReader, BodiesInEveryFramingUpToTheLimit) {
  const std::string chunked = "Transfer-Encoding: chunked\r\n";
  const struct {
    std::string headers;
    std::string wire;
    std::string expected;
  } cases[] = {
      {chunked, "4;ext=1\r\nWiki\r\n0\r\nTrailer: x\r\n\r\nafter", "Wiki"},
      {"Transfer-Encoding: gzip, Chunked\r\n", "3\r\nabc\r\nD\r\n0123456789abc\r\n0\r\n\r\n",
       "abc0123456789abc"},
      {"Content-Length: 16\r\n", "hello, sixteen bEXTRA", "hello, sixteen b"},
      {"Content-Length: 1\r\n", "xEXTRA", "x"},
      {"Content-Length: 0\r\n", "", ""},
      {"Content-Length: -3\r\n", "tail", "tail"},  // no usable length: until close
      {"Server: x\r\n", std::string(16, 'z'), std::string(16, 'z')},
      {"Content-Length: 10\r\n", "12345", Error(kReceiveFailed)},
      {chunked, "8\r\nabc", Error(kReceiveFailed)},
      {chunked, "3\r\nabc\r\n", Error(kReceiveFailed)},
      {"Content-Length: 17\r\n", std::string(17, 'x'), Error(kBodyTooLarge)},
      // A lying peer announces 1 TiB: refused at once, nothing is allocated for it.
      {chunked, "10000000000\r\nsmall", Error(kBodyTooLarge)},
      {chunked, "8\r\n12345678\r\n9\r\n123456789\r\n", Error(kBodyTooLarge)},
      {"Server: x\r\n", std::string(17, 'z'), Error(kBodyTooLarge)},
      {"Content-Length: 4294967297\r\n", "x", Error(kMalformed)},
      {"Content-Length: -4294967297\r\n", "x", Error(kMalformed)},
      {chunked, "zz\r\n", Error(kMalformed)},
      {chunked, "-1\r\n", Error(kMalformed)},
      {chunked, "fffffffffffffffff\r\n", Error(kMalformed)},
  };
  for (const auto& c : cases) {
    for (size_t step : {size_t{7000}, size_t{3}}) {
      SCOPED_TRACE(c.headers + c.wire.substr(0, 30) + " step " + std::to_string(step));
      ScriptStream peer(c.wire, step);
      EXPECT_EQ(Outcome([&] {
                  return ReadHttpBody(peer, "HTTP/1.1 200 OK\r\n" + c.headers + "\r\n", 16);
                }),
                c.expected);
    }
  }
}

}  // namespace
}  // namespace larkspire
