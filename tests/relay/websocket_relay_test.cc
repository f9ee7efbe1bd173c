#include "relay/websocket_relay.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/fake_hub.h"

namespace larkspire {
namespace {

using testing::FakeHub;

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<uint8_t> RawFrame(uint8_t firstByte, const std::vector<uint8_t>& payload,
                              const MaskKey* key = nullptr) {
  std::vector<uint8_t> frame(kMaxFrameHeaderSize);
  frame.resize(WriteFrameHeader(frame.data(), firstByte, payload.size(), key));
  const size_t start = frame.size();
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (key != nullptr) {
    ApplyMask(frame.data() + start, payload.size(), *key);
  }
  return frame;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

std::string Read(WebSocketRelay& relay) {
  std::span<const uint8_t> message;
  if (!relay.ReadMessage(message)) {
    return "<down>";
  }
  return std::string(message.begin(), message.end());
}

class WebSocketRelayTest : public ::testing::Test {
 protected:
  void Connect(const std::string& number = "7", const std::string& secret = "s") {
    relay_.Connect(hub_.url(), number, secret);
    request_ = hub_.WaitForUpgrade();
  }

  FakeHub hub_;
  WebSocketRelay relay_;
  std::string request_;
};

TEST_F(WebSocketRelayTest, HandshakeRequestsTheDevicesRelayPath) {
  Connect("7", "a b/c");
  EXPECT_TRUE(relay_.IsConnected());
  EXPECT_EQ(request_, "GET /api/relay/edge/7?secret=a%20b%2Fc HTTP/1.1\r\nHost: 127.0.0.1:" +
                          hub_.url().substr(hub_.url().rfind(':') + 1) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n");
}

TEST_F(WebSocketRelayTest, DataFramesAndPongsShareOneCounter) {
  Connect();
  const std::vector<uint8_t> packet = Bytes("packet");
  std::vector<uint8_t> slot(kMaxFrameHeaderSize);
  slot.insert(slot.end(), packet.begin(), packet.end());
  const std::span<uint8_t> inPlace(slot.data() + kMaxFrameHeaderSize, packet.size());
  ASSERT_TRUE(relay_.SendPacketsInPlace({&inPlace, 1}));
  auto data = hub_.NextFrame();
  ASSERT_TRUE(data);
  EXPECT_EQ(data->header.opcode, kOpcodeBinary);
  EXPECT_TRUE(data->header.fin);
  EXPECT_EQ(data->header.key, (MaskKey{0x9E, 0x37, 0x79, 0xB9}));
  EXPECT_EQ(data->payload, packet);

  hub_.SendRaw(Concat({RawFrame(0x89, Bytes("hi")), RawFrame(0x82, Bytes("x"))}));
  EXPECT_EQ(Read(relay_), "x");
  auto pong = hub_.NextFrame();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->header.opcode, kOpcodePong);
  EXPECT_EQ(pong->header.key, (MaskKey{0x0B, 0xD7, 0x94, 0xD6}));  // 2 * 0x85EBCA6B, wrapped
  EXPECT_EQ(pong->payload, Bytes("hi"));
}

TEST_F(WebSocketRelayTest, FramesSplitAnywhereInTheStreamUpToTheSizeLimitArriveIntact) {
  Connect();
  // Far more than one receive buffer, so frames straddle its end, with 16-bit and 7-bit
  // lengths mixed; then one frame delivered a byte at a time, and one of the largest size.
  std::vector<uint8_t> stream;
  std::vector<std::string> expected;
  for (int i = 0; i < 400; ++i) {
    const std::string packet(i % 3 == 0 ? 100 : 1400, static_cast<char>('a' + i % 26));
    expected.push_back(packet);
    const std::vector<uint8_t> frame = RawFrame(0x82, Bytes(packet));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  hub_.SendRaw(stream);
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(Read(relay_), expected[i]) << "message " << i;
  }
  const MaskKey key{1, 2, 3, 4};
  for (uint8_t byte : RawFrame(0x82, Bytes(std::string(300, 'z')), &key)) {
    hub_.SendRaw({byte});
  }
  EXPECT_EQ(Read(relay_), std::string(300, 'z'));

  std::string largest(kMaxFramePayload, 'L');
  largest.front() = 'A';
  largest.back() = 'Z';
  hub_.SendRaw(RawFrame(0x82, Bytes(largest)));
  EXPECT_TRUE(Read(relay_) == largest) << "the largest frame allowed was not read whole";
}

TEST_F(WebSocketRelayTest, ProtocolFaultsBringTheChannelDown) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> oversized = {0x82, 0x7F, 0, 0, 0, 0, 0, 0x40, 0, 1};  // 4 MiB + 1
  const Case cases[] = {
      {"close frame", RawFrame(0x88, {0x03, 0xE8})},
      {"frame over 4 MiB", oversized},
      {"assembler violation", RawFrame(0x89, std::vector<uint8_t>(126))},
      {"peer gone mid-frame", {0x82, 0x05, 'a', 'b'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connect();
    hub_.SendRaw(c.bytes);
    if (std::string(c.name) == "peer gone mid-frame") {
      hub_.Disconnect();
    }
    EXPECT_EQ(Read(relay_), "<down>");
    EXPECT_FALSE(relay_.IsConnected());
    // Nothing goes back: no close reply, no pong.
    relay_.Close();
    EXPECT_FALSE(hub_.NextFrame());
  }
}

}  // namespace
}  // namespace larkspire
