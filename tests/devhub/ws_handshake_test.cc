#include "devhub/ws_handshake.h"

#include <gtest/gtest.h>

#include <string>

namespace larkspire {
namespace {

std::string Hex(const std::array<uint8_t, 20>& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : digest) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 15]);
  }
  return out;
}

TEST(WebSocketHandshake, Sha1MatchesKnownDigestsAcrossPaddingBoundaries) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      // 56 bytes: the length no longer fits the first block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000, 'a'), "291e9a6c66994949b57ba5e650361e98fc36b1ba"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.size());
    EXPECT_EQ(Hex(Sha1(c.input)), c.digest);
  }
}

TEST(WebSocketHandshake, Base64PadsShortTails) {
  const uint8_t bytes[] = {'f', 'o', 'o', 'b', 'a', 'r'};
  EXPECT_EQ(Base64Encode(bytes, 0), "");
  EXPECT_EQ(Base64Encode(bytes, 1), "Zg==");
  EXPECT_EQ(Base64Encode(bytes, 2), "Zm8=");
  EXPECT_EQ(Base64Encode(bytes, 3), "Zm9v");
  EXPECT_EQ(Base64Encode(bytes, 6), "Zm9vYmFy");
}

TEST(WebSocketHandshake, AcceptsTheEdgesFixedKey) {
  EXPECT_EQ(BuildUpgradeReply("dGhlIHNhbXBsZSBub25jZQ=="),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

}  // namespace
}  // namespace larkspire
