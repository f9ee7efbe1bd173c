#include "hub/tls_session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "hub/key_pin.h"
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

  // The edge's handshake with a Hub showing `cert`; the Hub's side runs on a thread.
  std::unique_ptr<TlsSession> Connect(const std::string& cert, const std::string& host,
                                      const std::string& pin,
                                      std::unique_ptr<TlsSession>* hubSide = nullptr) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    for (int fd : fds) {
      SetTimeout(fd, SO_RCVTIMEO, 10s);  // a fault must fail the test, not hang it
    }
    std::thread hub([&, fd = fds[1]] {
      try {
        auto session =
            TlsServer(dir_ / cert + ".pem", dir_ / cert + ".key").Accept(UniqueFd(fd), "edge");
        if (hubSide != nullptr) {
          *hubSide = std::move(session);
        }
      } catch (const std::exception&) {
        // The edge's refusal ends the Hub's handshake too.
      }
    });
    std::unique_ptr<TlsSession> edge;
    try {
      edge = StartTlsClient(UniqueFd(fds[0]), host, 443, {dir_ / "hub.pem", pin});
    } catch (...) {
      hub.join();
      throw;
    }
    hub.join();
    return edge;
  }

  std::string Pin(const std::string& cert) { return Sha256Hex(ReadFile(dir_ / cert + ".der")); }

  TempDir dir_;
  struct sigaction previous_ {};
};

TEST_F(TlsTest, TheHubMustChainToTheTrustNameTheHostAndMatchThePin) {
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
      {"hub", "hub", "", "Hub certificate not trusted: hostname mismatch"},
      {"hub", "127.0.0.2", "", "Hub certificate not trusted: IP address mismatch"},
      {"hub", "hub.test", Pin("rogue"), "Hub certificate does not match the pinned key."},
      {"hub", "hub.test", Pin("hub").substr(1),
       "hubCertSha256 is not a SHA-256 digest (64 hexadecimal digits)."},
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

TEST(KeyMatchesPin, TakesTheDigestAsToolsPrintItAndRefusesAnythingElse) {
  const std::string key = "a SubjectPublicKeyInfo";
  const std::string digest = Sha256Hex(key);
  std::string grouped;  // "AB:CD:..." as fingerprints are often printed
  for (size_t i = 0; i < digest.size(); i += 2) {
    grouped += (i == 0 ? "" : ":") + digest.substr(i, 2);
  }
  std::transform(grouped.begin(), grouped.end(), grouped.begin(), ::toupper);
  for (const std::string& pin : {digest, grouped, " " + digest + " "}) {
    EXPECT_TRUE(KeyMatchesPin(pin, key)) << pin;
  }
  EXPECT_FALSE(KeyMatchesPin(Sha256Hex("another key"), key));
  for (const std::string& bad :
       {digest + "0", "g" + digest.substr(1), digest.substr(0, 32) + "-" + digest.substr(32)}) {
    EXPECT_THROW(KeyMatchesPin(bad, key), std::runtime_error) << bad;
  }
}

// The Hub echoes while the edge sends parts of every size from one thread and reads the echo
// on another, as the relay does: every byte comes back in order (nothing lost where parts are
// gathered into records) and neither side holds up the other.
TEST_F(TlsTest, CarriesAVectoredStreamBothWaysAtOnce) {
  std::unique_ptr<TlsSession> hub;
  std::unique_ptr<TlsSession> edge = Connect("hub", "127.0.0.1", "", &hub);
  ASSERT_TRUE(hub);
  std::thread echo([&] {
    char buffer[5000];
    for (ssize_t n; (n = hub->Receive(buffer, sizeof buffer)) > 0;) {
      iovec part{buffer, static_cast<size_t>(n)};
      if (hub->Send(&part, 1, 10s) != SendOutcome::kSent) {
        return;
      }
    }
  });
  std::string sent(3 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<char>(i * 131 + (i >> 12));
  }
  std::string received;
  std::thread reader([&] {
    std::string buffer(70000, '\0');
    for (ssize_t n;
         received.size() < sent.size() && (n = edge->Receive(buffer.data(), buffer.size())) > 0;) {
      received.append(buffer.data(), static_cast<size_t>(n));
    }
  });
  for (size_t offset = 0, partSize = 1; offset < sent.size();) {
    iovec parts[8];
    size_t count = 0;
    for (; count < 8 && offset < sent.size(); ++count, partSize = partSize * 7 % 100003 + 1) {
      parts[count] = {sent.data() + offset, std::min(partSize, sent.size() - offset)};
      offset += parts[count].iov_len;
    }
    if (edge->Send(parts, count, 10s) != SendOutcome::kSent) {
      ADD_FAILURE() << "send failed at byte " << offset;
      break;
    }
  }
  reader.join();
  ::shutdown(edge->fd(), SHUT_RDWR);
  echo.join();
  EXPECT_TRUE(received == sent) << "the echo came back changed, " << received.size() << " bytes";
}

}  // namespace
}  // namespace larkspire
