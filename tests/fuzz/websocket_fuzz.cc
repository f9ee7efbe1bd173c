// The WebSocket relay channel against a Hub that sends the input as frames: it ends cleanly.
#include <poll.h>

#include <thread>

#include "relay/websocket_relay.h"
#include "support/fuzz_harness.h"
#include "util/test_errors.h"

namespace larkspire {

// After its request the edge may send only masked pongs of at most 125 bytes; a reset (frames
// left unread after a close or a protocol error) keeps what came before.
void ServeOnce(int listener, const std::string& frames) {
  // The edge's connect can be cut short by the fuzzer's time-out alarm; then none comes.
  pollfd waiting{listener, POLLIN, 0};
  if (::poll(&waiting, 1, 2000) != 1) {
    return;
  }
  const UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  FUZZ_CHECK(fd.valid());
  const std::string sent = SendThenReceive(
      fd.get(),
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n" +
          frames);
  size_t at = sent.find("\r\n\r\n");
  if (at == std::string::npos) {
    return;  // the edge gave up during its handshake
  }
  for (at += 4; at < sent.size();) {
    FrameHeader header;
    FUZZ_CHECK(ParseFrameHeader(Bytes(sent).subspan(at), header));
    FUZZ_CHECK(header.fin && header.opcode == kOpcodePong && header.masked);
    FUZZ_CHECK(header.payloadLength <= kMaxControlPayload);
    at += header.headerSize + header.payloadLength;
    FUZZ_CHECK(at <= sent.size());
  }
}

void FuzzOne(const std::string& input) {
  sockaddr_in hub;
  const UniqueFd listener = FreshLoopbackSocket(hub, true);
  std::thread serving(ServeOnce, listener.get(), input);
  WebSocketRelay relay;
  const std::string error =
      testing::ErrorOf([&] { relay.Connect("http://" + AddressText(hub), "E-fuzz", "secret"); });
  // Only the fuzzer's time-out alarm may cut the connect or the handshake short.
  FUZZ_CHECK(error == "<no exception>" ||
             error.find("Interrupted system call") != std::string::npos ||
             error == "HTTP header receive failed." || error == "WebSocket handshake send failed.");
  std::span<const uint8_t> message;
  while (relay.ReadMessage(message)) {
    FUZZ_CHECK(!message.empty() && message.size() <= kMaxFramePayload);
  }
  FUZZ_CHECK(!relay.IsConnected());
  relay.Close();
  serving.join();
}

}  // namespace larkspire
