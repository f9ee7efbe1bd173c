// The WebSocket relay channel reading arbitrary bytes from the Hub. A stand-in Hub on
// loopback accepts the upgrade, sends the input as the stream of frames and closes its
// sending side; the edge's real channel reads messages until it gives up. Whatever the
// bytes, the channel must end cleanly, hand over only plausible messages, and answer pings
// with well-formed pongs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "relay/websocket_frame.h"
#include "relay/websocket_relay.h"
#include "support/fuzz_check.h"
#include "util/fd.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

constexpr int kAcceptWaitMs = 2000;
constexpr size_t kHubPorts = 8;

struct Listener {
  int fd = -1;
  int port = 0;
};

// The stand-in Hub listens on several loopback ports, made once for the whole run, and the
// runs take turns. It closes first, so every run leaves a TIME_WAIT entry for its port pair;
// on a single port the edge would run out of local ports within a minute.
const Listener& NextHubListener() {
  static std::array<Listener, kHubPorts> listeners = [] {
    std::array<Listener, kHubPorts> made;
    for (Listener& listener : made) {
      listener.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      FUZZ_CHECK(::bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
      FUZZ_CHECK(::listen(listener.fd, 4) == 0);
      socklen_t length = sizeof(address);
      ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length);
      listener.port = ntohs(address.sin_port);
    }
    return made;
  }();
  static size_t runs = 0;
  return listeners[runs++ % kHubPorts];
}

// recv that sits out the fuzzer's time-out alarm; 0 at the end, -1 on a reset.
ssize_t Receive(int fd, char* buffer, size_t size) {
  while (true) {
    ssize_t n = ::recv(fd, buffer, size, 0);
    if (n >= 0 || errno != EINTR) {
      return n;
    }
  }
}

// Everything after the upgrade request must be masked pongs of at most 125 bytes.
void CheckPongs(const std::string& sent) {
  size_t at = sent.find("\r\n\r\n");
  FUZZ_CHECK(at != std::string::npos);
  at += 4;
  while (at < sent.size()) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(sent.data()) + at;
    FrameHeader header;
    FUZZ_CHECK(ParseFrameHeader({bytes, sent.size() - at}, header));
    FUZZ_CHECK(header.fin && header.opcode == kOpcodePong && header.masked);
    FUZZ_CHECK(header.payloadLength <= kMaxControlPayload);
    FUZZ_CHECK(at + header.headerSize + header.payloadLength <= sent.size());
    at += header.headerSize + header.payloadLength;
  }
}

// One connection of the stand-in Hub: the upgrade, the input, then whatever comes back.
void ServeOnce(int listener, const std::string& frames) {
  // The edge's connect can be cut short by the fuzzer's time-out alarm; then no connection
  // may come, and the wait ends.
  pollfd waiting{listener, POLLIN, 0};
  if (::poll(&waiting, 1, kAcceptWaitMs) != 1) {
    return;
  }
  UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  FUZZ_CHECK(fd.valid());
  std::string received;
  char buffer[4096];
  while (received.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = Receive(fd.get(), buffer, sizeof(buffer));
    if (n <= 0) {
      return;  // the edge gave up during its connect
    }
    received.append(buffer, static_cast<size_t>(n));
  }
  const std::string reply =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
      "Connection: Upgrade\r\n\r\n" +
      frames;
  SendAll(fd.get(), reply.data(), reply.size());
  ::shutdown(fd.get(), SHUT_WR);
  ssize_t n;
  while ((n = Receive(fd.get(), buffer, sizeof(buffer))) > 0) {
    received.append(buffer, static_cast<size_t>(n));
  }
  // A reset means the edge closed with our frames unread (after a close frame or a
  // protocol error): what it sent before still counts.
  CheckPongs(received);
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  const Listener& listener = NextHubListener();
  std::thread hub(ServeOnce, listener.fd, std::string(reinterpret_cast<const char*>(data), size));
  {
    WebSocketRelay relay;
    try {
      relay.Connect("http://127.0.0.1:" + std::to_string(listener.port), "E-fuzz", "secret");
    } catch (const std::runtime_error& error) {
      // Only the fuzzer's time-out alarm interrupting the connect or the handshake may
      // get here; running out of local ports, say, would be a fault of this harness.
      const std::string what = error.what();
      FUZZ_CHECK(what.find("Interrupted system call") != std::string::npos ||
                 what == "HTTP header receive failed." ||
                 what == "WebSocket handshake send failed.");
    }
    std::span<const uint8_t> message;
    while (relay.ReadMessage(message)) {
      FUZZ_CHECK(!message.empty() && message.size() <= kMaxFramePayload);
    }
    FUZZ_CHECK(!relay.IsConnected());
  }
  hub.join();
  return 0;
}
