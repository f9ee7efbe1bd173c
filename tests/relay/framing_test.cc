#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "relay/channel_choice.h"
#include "relay/udp_datagram.h"
#include "relay/websocket_frame.h"

namespace larkspire {
namespace {

std::vector<uint8_t> Pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  std::iota(bytes.begin(), bytes.end(), uint8_t{7});
  return bytes;
}

TEST(WebSocketFrameTest, DataFramesCarryLengthKeyAndMaskedPacket) {
  struct Case {
    size_t length;
    std::vector<uint8_t> header;  // without the key
  };
  const Case cases[] = {
      {100, {0x82, 0xE4}},
      {1400, {0x82, 0xFE, 0x05, 0x78}},
      {70000, {0x82, 0xFF, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}},
  };
  const MaskKey key = MaskKeyFor(1, kDataMaskMultiplier);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const std::vector<uint8_t> packet = Pattern(c.length);
    std::vector<uint8_t> buffer(kMaxFrameHeaderSize);
    buffer.insert(buffer.end(), packet.begin(), packet.end());
    uint8_t* payload = buffer.data() + kMaxFrameHeaderSize;
    const uint8_t* frame = BuildFrameInPlace(payload, c.length, 0x82, &key);

    const size_t headerSize = static_cast<size_t>(payload - frame);
    ASSERT_EQ(headerSize, c.header.size() + 4);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + c.header.size()), c.header);
    EXPECT_EQ(std::vector<uint8_t>(frame + c.header.size(), frame + headerSize),
              (std::vector<uint8_t>{0x9E, 0x37, 0x79, 0xB9}));
    for (size_t i = 0; i < c.length; ++i) {
      ASSERT_EQ(payload[i], packet[i] ^ key[i % 4]) << "byte " << i;
    }
  }
}

TEST(WebSocketFrameTest, WideMaskingMatchesBytewiseMaskingAtEveryLengthAndAlignment) {
  const MaskKey key{0xA1, 0x5C, 0x03, 0xFE};
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; length <= 40; ++length) {
      std::vector<uint8_t> bytes = Pattern(offset + length);
      std::vector<uint8_t> expected = bytes;
      for (size_t i = 0; i < length; ++i) {
        expected[offset + i] ^= key[i % 4];
      }
      ApplyMask(bytes.data() + offset, length, key);
      ASSERT_EQ(bytes, expected) << "offset " << offset << " length " << length;
    }
  }
}

// The message assembler both relay ends share: each case is a frame sequence and what the
// assembler reports for it (M message, P ping: the bytes, or their count past 8; C close;
// V violation).
TEST(MessageAssemblerTest, JoinsBinaryFragmentsAndSkipsWhatCarriesNoPacket) {
  struct Frame {
    uint8_t firstByte;
    std::string payload;
  };
  struct Case {
    const char* name;
    std::vector<Frame> frames;
    std::string events;
  };
  const std::string half(kMaxAssembledMessage / 2, 'h');
  const Case cases[] = {
      {"one frame", {{0x82, "ab"}}, "M:ab "},
      {"fragments with a ping between", {{0x02, "ab"}, {0x89, "p"}, {0x80, "cd"}}, "P:p M:abcd "},
      {"empty messages", {{0x82, ""}, {0x02, ""}, {0x80, ""}}, ""},
      {"text and unsolicited pong", {{0x81, "t"}, {0x8A, "x"}, {0x82, "b"}}, "M:b "},
      {"fragmented text", {{0x01, "te"}, {0x00, "x"}, {0x80, "t"}, {0x82, "b"}}, "M:b "},
      {"text inside binary fragments", {{0x02, "a"}, {0x01, "t"}, {0x80, "b"}}, "M:ab "},
      {"reserved opcode", {{0x83, "r"}, {0x82, "b"}}, "M:b "},
      {"close", {{0x88, "\x03\xE8"}}, "C "},
      {"largest ping", {{0x89, std::string(kMaxControlPayload, 'p')}}, "P:125 "},
      {"ping over 125", {{0x89, std::string(kMaxControlPayload + 1, 'p')}}, "V "},
      {"fragments of one whole packet", {{0x02, half}, {0x80, half + "h"}}, "M:65535 "},
      {"fragments over one packet, then afresh",
       {{0x02, half}, {0x80, half + "hh"}, {0x82, "y"}},
       "V M:y "},
  };
  for (const Case& c : cases) {
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

TEST(UdpDatagramTest, ProbeCarriesTrimmedNumberAndSecret) {
  EXPECT_EQ(BuildUdpProbe(" 42 ", "s"),
            (std::vector<uint8_t>{'L', 'S', 'U', '1', 1, 0, 2, '4', '2', 0, 1, 's'}));

  UdpProbe probe;
  const std::vector<uint8_t> bytes = BuildUdpProbe("7", "top secret");
  ASSERT_TRUE(ParseUdpProbe(bytes, probe));
  EXPECT_EQ(probe.deviceNumber, "7");
  EXPECT_EQ(probe.deviceSecret, "top secret");
  EXPECT_FALSE(ParseUdpProbe(std::span(bytes).first(bytes.size() - 1), probe));

  std::vector<uint8_t> longText;
  WriteUdpString(longText, std::string(70000, 'x'));
  EXPECT_EQ(longText.size(), 2u + 65535u);
  EXPECT_EQ(longText[0], 0xFF);
  EXPECT_EQ(longText[1], 0xFF);
}

// A copy of `bytes` with one byte changed.
std::vector<uint8_t> Changed(std::vector<uint8_t> bytes, size_t at, uint8_t value) {
  bytes[at] = value;
  return bytes;
}

TEST(UdpDatagramTest, OnlyExactProbeRepliesGrantAChannel) {
  std::vector<uint8_t> valid(kUdpProbeReplySize);
  WriteUdpProbeReply(valid.data(), 0x0102030405060708ULL);
  EXPECT_EQ(ParseUdpProbeReply(valid), 0x0102030405060708ULL);

  std::vector<uint8_t> longer = valid;
  longer.push_back(0);
  std::vector<uint8_t> zeroId = valid;
  std::fill(zeroId.begin() + 6, zeroId.end(), 0);
  const std::vector<uint8_t> refused[] = {longer, zeroId, Changed(valid, 5, 0),  // status
                                          Changed(valid, 4, kUdpTypeData), Changed(valid, 3, '2')};
  for (size_t i = 0; i < std::size(refused); ++i) {
    EXPECT_EQ(ParseUdpProbeReply(refused[i]), 0u) << "case " << i;
  }
}

TEST(UdpDatagramTest, DataDatagramsFrameOnePacket) {
  const std::vector<uint8_t> packet = Pattern(100);
  std::vector<uint8_t> datagram(kUdpDataHeaderSize);
  WriteUdpDataHeader(datagram.data(), 0xAABBCCDDEEFF0011ULL);
  datagram.insert(datagram.end(), packet.begin(), packet.end());
  ASSERT_EQ(datagram.size(), 113u);
  EXPECT_EQ(std::vector<uint8_t>(datagram.begin() + 5, datagram.begin() + 13),
            (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x11}));

  UdpData data;
  ASSERT_TRUE(ParseUdpData(datagram, data));
  EXPECT_EQ(data.channelId, 0xAABBCCDDEEFF0011ULL);
  EXPECT_EQ(std::vector<uint8_t>(data.packet.begin(), data.packet.end()), packet);

  const std::vector<uint8_t> headerOnly(datagram.begin(), datagram.begin() + 13);
  std::vector<uint8_t> zeroId = datagram;
  WriteUdpDataHeader(zeroId.data(), 0);
  std::vector<uint8_t> oversized = datagram;
  oversized.resize(kMaxUdpDatagram + 1);
  for (const auto& bad :
       {headerOnly, Changed(datagram, 4, kUdpTypeProbeReply), zeroId, oversized}) {
    EXPECT_FALSE(ParseUdpData(bad, data)) << bad.size() << " bytes";
  }
}

std::vector<uint8_t> Ipv4Packet(size_t length, uint8_t protocol) {
  std::vector<uint8_t> packet(length);
  packet[0] = 0x45;
  if (length > 9) {
    packet[9] = protocol;
  }
  return packet;
}

TEST(ChannelChoiceTest, OnlySmallIpv4UdpPacketsQualify) {
  struct Case {
    const char* name;
    std::vector<uint8_t> packet;
    bool udp;
  };
  std::vector<uint8_t> ipv6(60);
  ipv6[0] = 0x60;
  ipv6[9] = 17;  // a UDP-looking byte where IPv4 keeps its protocol
  const Case cases[] = {
      {"19-byte UDP", Ipv4Packet(19, 17), false},
      {"20-byte UDP", Ipv4Packet(20, 17), true},
      {"1350-byte UDP", Ipv4Packet(1350, 17), true},
      {"1351-byte UDP", Ipv4Packet(1351, 17), false},
      {"TCP", Ipv4Packet(100, 6), false},
      {"ICMP", Ipv4Packet(84, 1), false},
      {"IPv6", ipv6, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QualifiesForUdpChannel(c.packet.data(), c.packet.size()), c.udp) << c.name;
  }
}

}  // namespace
}  // namespace larkspire
