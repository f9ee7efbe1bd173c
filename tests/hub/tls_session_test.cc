#include "hub/tls_session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/temp_dir.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

// The Hub side echoes what it receives while the edge side sends a stream in parts of every
// size from one thread and takes the echo on another, as the relay does: every byte must come
// back in order (nothing lost where parts are gathered into records), and a reader waiting
// for data must never hold up a sender (nor the other way round).
TEST(TlsSession, CarriesAVectoredStreamBothWaysAtOnce) {
  // The agent ignores SIGPIPE, which the library's writes to a closed peer would raise.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  TempDir dir;
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
      "-nodes -days 1 -subj /CN=hub -addext subjectAltName=IP:127.0.0.1 "
      "-keyout " +
      dir / "key.pem" + " -out " + dir / "cert.pem" + " 2>/dev/null";
  ASSERT_EQ(std::system(make.c_str()), 0) << "this test needs the openssl command line";
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  for (int fd : fds) {
    SetTimeout(fd, SO_RCVTIMEO, 10s);  // a fault must fail the test, not hang it
  }
  TlsServer server(dir / "cert.pem", dir / "key.pem");
  std::unique_ptr<TlsSession> hub;
  std::thread accept([&] { hub = server.Accept(UniqueFd(fds[1]), "peer"); });
  std::unique_ptr<TlsSession> edge =
      StartTlsClient(UniqueFd(fds[0]), "127.0.0.1", 443, {dir / "cert.pem", ""});
  accept.join();
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
  size_t offset = 0;
  size_t partSize = 1;
  while (offset < sent.size()) {
    iovec parts[8];
    size_t count = 0;
    for (; count < 8 && offset < sent.size(); ++count) {
      const size_t n = std::min(partSize, sent.size() - offset);
      parts[count] = {sent.data() + offset, n};
      offset += n;
      partSize = partSize * 7 % 100003 + 1;
    }
    if (edge->Send(parts, count, 10s) != SendOutcome::kSent) {
      ADD_FAILURE() << "send failed at byte " << offset;
      break;
    }
  }
  reader.join();
  ::shutdown(edge->fd(), SHUT_RDWR);
  echo.join();
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent) << "the echo came back changed";
  edge.reset();
  hub.reset();
  ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
}  // namespace larkspire
