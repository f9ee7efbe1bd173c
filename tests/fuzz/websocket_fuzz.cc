// The WebSocket relay channel reading arbitrary bytes from the Hub. A stand-in Hub on
// loopback accepts the upgrade, sends the input as the stream of frames and closes its
// sending side; the edge's real channel reads messages until it gives up. Whatever the
// bytes, the channel must end cleanly, hand over only plausible messages, and answer pings
// with well-formed pongs.
#include <poll.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "relay/websocket_relay.h"
#include "support/fuzz_check.h"
#include "util/fd.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

// The stand-in Hub closes first, so every run leaves a TIME_WAIT entry for its port pair; on
// a single port the edge would run out of local ports within a minute, so runs take turns on
// several listeners made once.
int NextHubListener(int& port) {
  static int listeners[8];
  static int ports[8];
  static size_t runs = 0;
  const size_t turn = runs++ % 8;
  if (listeners[turn] == 0) {
    listeners[turn] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    FUZZ_CHECK(::bind(listeners[turn], reinterpret_cast<sockaddr*>(&address), length) == 0);
    FUZZ_CHECK(::listen(listeners[turn], 4) == 0);
    ::getsockname(listeners[turn], reinterpret_cast<sockaddr*>(&address), &length);
    ports[turn] = ntohs(address.sin_port);
  }
  port = ports[turn];
  return listeners[turn];
}

// One connection of the stand-in Hub: the upgrade, the input, then whatever comes back,
// which after the request must be nothing but masked pongs of at most 125 bytes.
void ServeOnce(int listener, const std::string& frames) {
  // The edge's connect can be cut short by the fuzzer's time-out alarm; then none comes.
  pollfd waiting{listener, POLLIN, 0};
  if (::poll(&waiting, 1, 2000) != 1) {
    return;
  }
  UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  FUZZ_CHECK(fd.valid());
  const std::string reply =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
  SendAll(fd.get(), (reply + frames).data(), reply.size() + frames.size());
  ::shutdown(fd.get(), SHUT_WR);
  // A reset means the edge closed with our frames unread (after a close frame or a protocol
  // error): what it sent before still counts.
  std::string sent;
  ReceiveToEnd(fd.get(), sent);
  size_t at = sent.find("\r\n\r\n");
  if (at == std::string::npos) {
    return;  // the edge gave up during its handshake
  }
  for (at += 4; at < sent.size();) {
    FrameHeader header;
    FUZZ_CHECK(ParseFrameHeader(
        {reinterpret_cast<const uint8_t*>(sent.data()) + at, sent.size() - at}, header));
    FUZZ_CHECK(header.fin && header.opcode == kOpcodePong && header.masked);
    FUZZ_CHECK(header.payloadLength <= kMaxControlPayload);
    at += header.headerSize + header.payloadLength;
    FUZZ_CHECK(at <= sent.size());
  }
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  int port = 0;
  const int listener = NextHubListener(port);
  std::thread hub(ServeOnce, listener, std::string(reinterpret_cast<const char*>(data), size));
  {
    WebSocketRelay relay;
    try {
      relay.Connect("http://127.0.0.1:" + std::to_string(port), "E-fuzz", "secret");
    } catch (const std::runtime_error& error) {
      // Only the fuzzer's time-out alarm interrupting the connect or the handshake may get
      // here; running out of local ports, say, would be a fault of this harness.
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
