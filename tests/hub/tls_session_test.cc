#include "hub/tls_session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "hub/tcp.h"
#include "support/fake_http_server.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/sha256.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

// Certificates for hub.test and 127.0.0.1: "hub", which the edge trusts, and "rogue". The
// library writes to a closed peer without MSG_NOSIGNAL, so SIGPIPE is ignored, as in both
// programs.
class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string name : {"hub", "rogue"}) {
      const std::string make =
          "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
          "-subj /CN=hub -addext subjectAltName=DNS:hub.test,IP:127.0.0.1 -keyout " +
          dir_ / name + ".key -out " + dir_ / name + ".pem 2>/dev/null && openssl pkey -in " +
          dir_ / name + ".key -pubout -outform DER -out " + dir_ / name + ".der";
      ASSERT_EQ(std::system(make.c_str()), 0) << "this test needs the openssl command line";
    }
  }
  void TearDown() override { std::signal(SIGPIPE, previous_); }

  // The edge's handshake with a Hub showing `cert`, over TCP so that records can queue up
  // to be read ahead (a local stream pair hands over one at a time).
  std::unique_ptr<TlsSession> Connect(const std::string& cert, const std::string& host,
                                      const std::string& pin,
                                      std::unique_ptr<TlsSession>* hub = nullptr) {
    int port = 0;
    const UniqueFd listener = testing::ListenOnLoopback(port);
    const int fds[2] = {ConnectTcp("127.0.0.1", port),
                        ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC)};
    for (int fd : fds) {
      SetTimeout(fd, SO_RCVTIMEO, 10s);  // a fault must fail the test, not hang it
      const int small = 8192;            // sends and receives then stop part way, again and again
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    std::jthread accept([&, fd = fds[1]] {
      try {  // a refused handshake fails on this side too
        auto session =
            TlsServer(dir_ / cert + ".pem", dir_ / cert + ".key").Accept(UniqueFd(fd), "edge");
        if (hub != nullptr) {
          *hub = std::move(session);
        }
      } catch (const std::exception&) {
      }
    });
    return StartTlsClient(UniqueFd(fds[0]), host, 443, {dir_ / "hub.pem", pin});
  }

  std::string Pin(const std::string& cert) { return Sha256Hex(ReadFile(dir_ / cert + ".der")); }

  TempDir dir_;
  void (*previous_)(int) = std::signal(SIGPIPE, SIG_IGN);
};

TEST_F(TlsTest, TheHubMustChainToTheTrustNameTheHostAndMatchThePin) {
  const std::string kNotADigest = "hubCertSha256 is not a SHA-256 digest (64 hexadecimal digits).";
  const struct {
    const char* cert;
    const char* host;
    std::string pin;
    std::string refusal;  // empty: accepted
  } cases[] = {
      {"hub", "hub.test", "", ""},
      {"hub", "127.0.0.1", Pin("hub"), ""},
      {"rogue", "hub.test", "", "Hub certificate not trusted: self-signed certificate"},
      {"hub", "other.test", "", "Hub certificate not trusted: hostname mismatch"},
      {"hub", "127.0.0.2", "", "Hub certificate not trusted: IP address mismatch"},
      {"hub", "hub.test", Pin("rogue"), "Hub certificate does not match the pinned key."},
      {"hub", "hub.test", Pin("hub").substr(1), kNotADigest},
      {"hub", "hub.test", Pin("hub") + "0", kNotADigest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " " + c.host + " " + c.pin);
    std::string outcome;
    try {
      Connect(c.cert, c.host, c.pin);
    } catch (const std::runtime_error& error) {
      outcome = error.what();
    }
    EXPECT_EQ(outcome, c.refusal);
  }
}

// Both ends send far more than the socket buffers hold, in parts of every size, while each
// reads in small and large pieces, as the relay's two threads do.
TEST_F(TlsTest, StreamsLargerThanTheSocketBuffersCrossBothWaysAtOnce) {
  std::unique_ptr<TlsSession> hub;
  std::unique_ptr<TlsSession> edge = Connect("hub", "hub.test", "", &hub);
  ASSERT_TRUE(hub);
  std::string sent(1 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<char>(i * 131 + (i >> 12));
  }
  auto carry = [&sent](TlsSession& from, TlsSession& to, std::string& received) {
    std::jthread reader([&] {
      std::string buffer(70000, '\0');
      for (size_t round = 0; received.size() < sent.size(); ++round) {
        if (round % 8 == 0) {
          std::this_thread::sleep_for(1ms);  // lets records pile up to be read ahead
        }
        const ssize_t n = to.Receive(buffer.data(), round % 2 ? 1000 : buffer.size());
        if (n <= 0) {
          break;
        }
        received.append(buffer.data(), static_cast<size_t>(n));
      }
    });
    for (size_t offset = 0, partSize = 1; offset < sent.size();) {
      iovec parts[64];
      size_t count = 0;
      for (; count < 64 && offset < sent.size(); ++count, partSize = partSize * 7 % 40009 + 1) {
        parts[count] = {sent.data() + offset, std::min(partSize, sent.size() - offset)};
        offset += parts[count].iov_len;
      }
      ASSERT_EQ(from.Send(parts, count, 10s), SendOutcome::kSent) << "at byte " << offset;
    }
  };
  std::string atHub;
  std::string atEdge;
  {
    std::jthread up([&] { carry(*edge, *hub, atHub); });
    carry(*hub, *edge, atEdge);
  }
  EXPECT_TRUE(atHub == sent) << atHub.size() << " of " << sent.size() << " bytes, or changed";
  EXPECT_TRUE(atEdge == sent) << atEdge.size() << " of " << sent.size() << " bytes, or changed";
}

}  // namespace
}  // namespace larkspire
