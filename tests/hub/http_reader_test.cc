#include "hub/http_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "util/fd.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

// The far end of a stream socketpair writes a script, then closes or stays open; the test
// reads from the near end. Writing happens on a thread so scripts larger than the socket
// buffer do not block the test.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::string script, bool closeAfter = true) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
      throw std::runtime_error("socketpair failed");
    }
    near_.Reset(fds[0]);
    far_.Reset(fds[1]);
    stream_ = std::make_unique<SocketStream>(near_.get());
    timeval timeout{5, 0};  // a broken reader must fail the test, not hang it
    setsockopt(near_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    writer_ = std::thread([this, script = std::move(script), closeAfter] {
      SendAll(far_.get(), script.data(), script.size());
      if (closeAfter) {
        ::shutdown(far_.get(), SHUT_WR);
      }
    });
  }
  ~ScriptedPeer() {
    ::shutdown(near_.get(), SHUT_RDWR);
    writer_.join();
  }
  ByteStream& stream() { return *stream_; }

 private:
  UniqueFd near_;
  std::unique_ptr<SocketStream> stream_;
  UniqueFd far_;
  std::thread writer_;
};

// The kind of HttpError that `action` throws; fails the test when it throws none.
HttpErrorKind KindOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const HttpError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "no HttpError";
  return HttpErrorKind::kMalformed;
}

TEST(ReadHttpHeaders, StopsRightAfterTheBlankLineOfAtMost65536Bytes) {
  {
    const std::string block = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
    ScriptedPeer peer(block +
                          "\x82\x01"
                          "A",
                      /*closeAfter=*/false);
    EXPECT_EQ(ReadHttpHeaders(peer.stream()), block);
    char frame[3];
    ASSERT_TRUE(RecvExact(peer.stream(), frame, 3));
    EXPECT_EQ(std::string(frame, 3),
              "\x82\x01"
              "A");
  }
  const std::string start = "HTTP/1.1 200 OK\r\nX-Fill: ";
  const std::string end = "\r\n\r\n";
  const std::string fits = start + std::string(65536 - start.size() - end.size(), 'a') + end;
  ASSERT_EQ(fits.size(), 65536u);
  {
    ScriptedPeer peer(fits);
    EXPECT_EQ(ReadHttpHeaders(peer.stream()).size(), 65536u);
  }
  {
    // One byte more: the byte that would complete the blank line is already too many.
    ScriptedPeer peer(start + "a" + fits.substr(start.size()));
    EXPECT_EQ(KindOf([&] { ReadHttpHeaders(peer.stream()); }), HttpErrorKind::kHeadersTooLarge);
  }
  ScriptedPeer peer("HTTP/1.1 200 OK\r\nServer: x\r\n");
  EXPECT_EQ(KindOf([&] { ReadHttpHeaders(peer.stream()); }), HttpErrorKind::kReceiveFailed);
}

TEST(ReadHttpLine, EndsOnlyAtCrLfWithinThe16384ByteLimit) {
  {
    ScriptedPeer peer(std::string(16383, 'x') + "\r\nnext");
    EXPECT_EQ(ReadHttpLine(peer.stream()), std::string(16383, 'x'));
  }
  {
    ScriptedPeer peer(std::string(16384, 'x') + "\r\n");
    EXPECT_EQ(KindOf([&] { ReadHttpLine(peer.stream()); }), HttpErrorKind::kLineTooLarge);
  }
  ScriptedPeer peer("a\rb\nc\r\n");
  EXPECT_EQ(ReadHttpLine(peer.stream()), "a\rb\nc");
  EXPECT_EQ(KindOf([&] { ReadHttpLine(peer.stream()); }), HttpErrorKind::kReceiveFailed);
}

TEST(ParseHttpStatus, TakesTheThreeCharactersAfterTheFirstSpace) {
  EXPECT_EQ(ParseHttpStatus("HTTP/1.1 404 Not Found\r\n\r\n"), 404);
  EXPECT_EQ(ParseHttpStatus("HTTP/1.1 20"), 0);
  EXPECT_EQ(ParseHttpStatus("HTTP/1.1 abc"), 0);
  EXPECT_EQ(ParseHttpStatus("garbage"), 0);
  EXPECT_EQ(ParseHttpStatus(""), 0);
}

TEST(HeaderValue, MatchesWholeNamesInAnyCaseAndTrims) {
  EXPECT_EQ(HeaderValue("HTTP/1.1 200\r\ncontent-length:   42  \r\n\r\n", "Content-Length"), "42");
  // Neither a longer name nor a value that mentions the header stands in for it.
  EXPECT_EQ(HeaderValue("HTTP/1.1 200\r\nX-Content-Length: 7\r\nVia: content-length: 8\r\n"
                        "Content-Length: 9\r\n\r\n",
                        "Content-Length"),
            "9");
  EXPECT_EQ(HeaderValue("HTTP/1.1 200\r\nHost: a\r\n\r\n", "Content-Length"), "");
  EXPECT_EQ(HeaderValue("Upgrade: websocket", "upgrade"), "websocket");  // no CR LF at all
}

// Reply headers after the status line, the bytes that follow them on the wire, and the body
// ReadHttpBody should return within a limit of 16 bytes.
struct WireCase {
  const char* name;
  std::string headers;
  std::string wire;
  std::string expected;
};

constexpr size_t kTestLimit = 16;
const std::string kChunked = "Transfer-Encoding: chunked\r\n\r\n";

TEST(ReadHttpBody, DecodesEveryFramingUpToTheLimit) {
  const WireCase cases[] = {
      {"chunked with extension and trailer", kChunked, "4;ext=1\r\nWiki\r\n0\r\nTrailer: x\r\n\r\n",
       "Wiki"},
      {"chunked, several chunks, mixed case", "Transfer-Encoding: gzip, Chunked\r\n\r\n",
       "3\r\nabc\r\nD\r\n0123456789abc\r\n0\r\n\r\nleft over", "abc0123456789abc"},
      {"content-length stops at the length", "Content-Length: 16\r\n\r\n", "hello, sixteen bEXTRA",
       "hello, sixteen b"},
      {"content-length 0 reads until close", "Content-Length: 0\r\n\r\n", "", ""},
      {"negative length reads until close", "Content-Length: -3\r\n\r\n", "tail", "tail"},
      {"non-numeric length reads until close", "Content-Length: abc\r\n\r\n", "tail", "tail"},
      {"no framing reads until close", "Server: x\r\n\r\n", std::string(16, 'z'),
       std::string(16, 'z')},
  };
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.wire);
    EXPECT_EQ(ReadHttpBody(peer.stream(), "HTTP/1.1 200 OK\r\n" + c.headers, kTestLimit), c.expected);
  }
}

TEST(ReadHttpBody, TruncatedOversizeOrBrokenBodiesThrowTheirKind) {
  using enum HttpErrorKind;
  struct Case {
    const char* name;
    std::string headers;
    std::string wire;
    HttpErrorKind kind;
  };
  const Case cases[] = {
      {"peer closes mid-body", "Content-Length: 10\r\n\r\n", "12345", kReceiveFailed},
      {"peer closes mid-chunk", kChunked, "8\r\nabc", kReceiveFailed},
      {"chunk without terminator", kChunked, "3\r\nabc", kReceiveFailed},
      {"no last chunk", kChunked, "3\r\nabc\r\n", kReceiveFailed},
      {"length over the limit", "Content-Length: 17\r\n\r\n", std::string(17, 'x'), kBodyTooLarge},
      // A lying peer announces 1 TiB: refused at once, nothing is allocated for it.
      {"huge announced chunk", kChunked, "10000000000\r\nsmall", kBodyTooLarge},
      {"chunks adding up past the limit", kChunked, "8\r\n12345678\r\n9\r\n123456789\r\n",
       kBodyTooLarge},
      {"until close past the limit", "Server: x\r\n\r\n", std::string(17, 'z'), kBodyTooLarge},
      {"length beyond 32 bits", "Content-Length: 4294967297\r\n\r\n", "x", kMalformed},
      {"length far beyond long", "Content-Length: 99999999999999999999999\r\n\r\n", "x",
       kMalformed},
      {"negative length beyond 32 bits", "Content-Length: -4294967297\r\n\r\n", "x", kMalformed},
      {"chunk size not hex", kChunked, "zz\r\n", kMalformed},
      {"negative chunk size", kChunked, "-1\r\n", kMalformed},
      {"chunk size missing", kChunked, ";ext\r\n", kMalformed},
      {"chunk size over 64 bits", kChunked, "fffffffffffffffff\r\n", kMalformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.wire);
    EXPECT_EQ(
        KindOf([&] { ReadHttpBody(peer.stream(), "HTTP/1.1 200 OK\r\n" + c.headers, kTestLimit); }),
        c.kind);
  }
}

}  // namespace
}  // namespace larkspire
