#include "hub/tls_session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/temp_dir.h"
#include "util/file.h"
#include "util/sha256.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

// Two self-signed certificates for hub.test and 127.0.0.1: "hub", the one the edge trusts,
// and "rogue", which nobody does. The library writes to a closed peer without MSG_NOSIGNAL,
// so SIGPIPE is ignored meanwhile, as both programs do.
class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous_);
    for (const std::string name : {"hub", "rogue"}) {
      const std::string make =
          "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
          "-subj /CN=hub -addext subjectAltName=DNS:hub.test,IP:127.0.0.1 -keyout " +
          dir_ / name + ".key -out " + dir_ / name + ".pem 2>/dev/null && openssl pkey -in " +
          dir_ / name + ".key -pubout -outform DER -out " + dir_ / name + ".der";
      ASSERT_EQ(std::system(make.c_str()), 0) << "this test needs the openssl command line";
    }
  }
  void TearDown() override { ::sigaction(SIGPIPE, &previous_, nullptr); }

  // The edge's handshake with a Hub showing `cert`, whose side runs on a thread.
  std::unique_ptr<TlsSession> Connect(const std::string& cert, const std::string& host,
                                      const std::string& pin) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    for (int fd : fds) {
      SetTimeout(fd, SO_RCVTIMEO, 10s);  // a fault must fail the test, not hang it
    }
    std::jthread accept([&, fd = fds[1]] {
      try {  // a refused handshake fails on this side too
        TlsServer(dir_ / cert + ".pem", dir_ / cert + ".key").Accept(UniqueFd(fd), "edge");
      } catch (const std::exception&) {
      }
    });
    return StartTlsClient(UniqueFd(fds[0]), host, 443, {dir_ / "hub.pem", pin});
  }

  std::string Pin(const std::string& cert) { return Sha256Hex(ReadFile(dir_ / cert + ".der")); }

  TempDir dir_;
  struct sigaction previous_ {};
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

}  // namespace
}  // namespace larkspire
