#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "relay/packet_batch.h"
#include "relay/udp_datagram.h"
#include "relay/websocket_frame.h"

namespace larkspire {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(WebSocketFrameTest, HeadersTakeTheShortestLengthFormAndParseBack) {
  const MaskKey key = MaskKeyFor(1, kDataMaskMultiplier);
  EXPECT_EQ(key, (MaskKey{0x9E, 0x37, 0x79, 0xB9}));
  EXPECT_EQ(MaskKeyFor(2, kPongMaskMultiplier), (MaskKey{0x0B, 0xD7, 0x94, 0xD6}));  // wraps
  const struct {
    uint64_t length;
    Bytes header;  // unmasked
  } cases[] = {
      {0, {0x82, 0}},
      {125, {0x82, 125}},
      {126, {0x82, 126, 0, 126}},
      {65535, {0x82, 126, 0xFF, 0xFF}},
      {65536, {0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    for (const MaskKey* mask : {static_cast<const MaskKey*>(nullptr), &key}) {
      SCOPED_TRACE(std::to_string(c.length) + (mask != nullptr ? " masked" : ""));
      Bytes expected = c.header;
      if (mask != nullptr) {
        expected[1] |= 0x80;
        expected.insert(expected.end(), key.begin(), key.end());
      }
      Bytes header(kMaxFrameHeaderSize);
      header.resize(WriteFrameHeader(header.data(), 0x82, c.length, mask));
      EXPECT_EQ(header, expected);
      EXPECT_EQ(FrameHeaderSize(c.length, mask != nullptr), expected.size());
      FrameHeader p;
      EXPECT_FALSE(ParseFrameHeader({expected.data(), expected.size() - 1}, p));
      ASSERT_TRUE(ParseFrameHeader(expected, p));
      EXPECT_EQ(std::tie(p.fin, p.opcode, p.masked, p.payloadLength, p.headerSize, p.key),
                std::make_tuple(true, kOpcodeBinary, mask != nullptr, c.length, expected.size(),
                                mask != nullptr ? key : MaskKey{}));
    }
  }
  // Both ends mask with this function, so it is checked against the rule, at every alignment.
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; length <= 40; ++length) {
      Bytes bytes(offset + length, 7);
      Bytes expected = bytes;
      for (size_t i = 0; i < length; ++i) {
        expected[offset + i] ^= key[i % 4];
      }
      ApplyMask(bytes.data() + offset, length, key);
      ASSERT_EQ(bytes, expected) << "offset " << offset << " length " << length;
    }
  }
}

// Events: M message, P ping (the bytes, or their count past 8), C close, V violation.
TEST(MessageAssemblerTest, JoinsBinaryFragmentsAndSkipsWhatCarriesNoPacket) {
  struct Frame {
    uint8_t firstByte;
    std::string payload;
  };
  const std::string half(kMaxAssembledMessage / 2, 'h');
  const struct {
    const char* name;
    std::vector<Frame> frames;
    std::string events;
  } cases[] = {
      {"one frame", {{0x82, "ab"}}, "M:ab "},
      {"fragments with a ping between", {{0x02, "ab"}, {0x89, "p"}, {0x80, "cd"}}, "P:p M:abcd "},
      {"empty messages", {{0x82, ""}, {0x02, ""}, {0x80, ""}}, ""},
      {"text, pong, reserved opcode", {{0x81, "t"}, {0x8A, "x"}, {0x83, "r"}, {0x82, "b"}}, "M:b "},
      {"fragmented text", {{0x01, "te"}, {0x00, "x"}, {0x80, "t"}, {0x82, "b"}}, "M:b "},
      {"text inside binary fragments", {{0x02, "a"}, {0x01, "t"}, {0x80, "b"}}, "M:ab "},
      {"largest ping", {{0x89, std::string(kMaxControlPayload, 'p')}}, "P:125 "},
      {"ping over 125", {{0x89, std::string(kMaxControlPayload + 1, 'p')}}, "V "},
      {"fragments of one whole packet", {{0x02, half}, {0x80, half + "h"}}, "M:65535 "},
      {"fragments over one packet, then afresh",
       {{0x02, half}, {0x80, half + "hh"}, {0x80, "x"}, {0x82, "y"}},
       "V M:x M:y "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MessageAssembler assembler;
    std::string events;
    for (const Frame& frame : c.frames) {
      FrameHeader header;
      header.fin = (frame.firstByte & kFinBit) != 0;
      header.opcode = frame.firstByte & 0x0F;
      header.payloadLength = frame.payload.size();
      const auto* bytes = reinterpret_cast<const uint8_t*>(frame.payload.data());
      const auto event = assembler.OnFrame(header, {bytes, frame.payload.size()});
      std::string data = event == MessageAssembler::Event::kPing
                             ? frame.payload
                             : std::string(assembler.message().begin(), assembler.message().end());
      data = data.size() > 8 ? std::to_string(data.size()) : data;
      const char* const kNames[] = {"", "M:", "P:", "C", "V"};
      events += kNames[static_cast<int>(event)];
      events += event == MessageAssembler::Event::kNone ? "" : data + " ";
    }
    EXPECT_EQ(events, c.events);
  }
}

Bytes Changed(Bytes bytes, size_t at, uint8_t value) {
  bytes[at] = value;
  return bytes;
}

Bytes Resized(Bytes bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

TEST(UdpDatagramTest, OnlyExactDatagramsOfTheFormatAreTaken) {
  const Bytes probe = BuildUdpProbe(" 42 ", "s");
  EXPECT_EQ(probe, (Bytes{'L', 'S', 'U', '1', 1, 0, 2, '4', '2', 0, 1, 's'}));
  UdpProbe parsed;
  ASSERT_TRUE(ParseUdpProbe(probe, parsed));
  EXPECT_EQ(parsed.deviceNumber + "/" + parsed.deviceSecret, "42/s");
  Bytes longText;
  WriteUdpString(longText, std::string(70000, 'x'));
  EXPECT_EQ(longText.size(), 2u + 65535u);

  Bytes reply(kUdpProbeReplySize);
  WriteUdpProbeReply(reply.data(), 0x0102030405060708ULL);
  EXPECT_EQ(ParseUdpProbeReply(reply), 0x0102030405060708ULL);
  Bytes data(kUdpDataHeaderSize);
  WriteUdpDataHeader(data.data(), 0xAABBCCDDEEFF0011ULL);
  EXPECT_EQ(data, (Bytes{'L', 'S', 'U', '1', 4, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x11}));
  data.resize(kMaxUdpDatagram, 0x45);
  UdpData carried;
  ASSERT_TRUE(ParseUdpData(data, carried));
  EXPECT_EQ(carried.channelId, 0xAABBCCDDEEFF0011ULL);
  EXPECT_EQ(carried.packet.data(), data.data() + kUdpDataHeaderSize);
  EXPECT_EQ(carried.packet.size(), kMaxUdpPacket);

  const struct {
    const char* name;
    Bytes bytes;
  } refused[] = {
      {"probe cut short", Resized(probe, probe.size() - 1)},
      {"probe with a byte more", Resized(probe, probe.size() + 1)},
      {"reply with a byte more", Resized(reply, reply.size() + 1)},
      {"reply with another status", Changed(reply, 5, 0)},
      {"reply of channel 0", Resized(Resized(reply, 6), kUdpProbeReplySize)},
      {"reply typed as probe", Changed(reply, 4, kUdpTypeProbe)},
      {"reply of another version", Changed(reply, 3, '2')},
      {"data header alone", Resized(data, kUdpDataHeaderSize)},
      {"data one byte too long", Resized(data, kMaxUdpDatagram + 1)},
      {"data typed as reply", Changed(data, 4, kUdpTypeProbeReply)},
      {"data of channel 0", Resized(Resized(data, 5), kUdpDataHeaderSize + 1)},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(ParseUdpProbe(c.bytes, parsed));
    EXPECT_EQ(ParseUdpProbeReply(c.bytes), 0u);
    EXPECT_FALSE(ParseUdpData(c.bytes, carried));
  }
}

// The relay tests cannot see a batch that takes more than its arena holds.
TEST(PacketBatchTest, IsFullAtItsPacketCountOrWhenALargestPacketWouldNotFit) {
  PacketBatch batch;
  for (size_t i = 0; i < PacketBatch::kMaxPackets; ++i) {
    EXPECT_FALSE(batch.full()) << i;
    batch.Add(100);
  }
  EXPECT_TRUE(batch.full());
  batch.Clear();
  batch.Add(PacketBatch::kMaxPacket);
  EXPECT_TRUE(batch.full());
}

}  // namespace
}  // namespace larkspire
