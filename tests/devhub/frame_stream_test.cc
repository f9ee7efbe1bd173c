#include "devhub/frame_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace larkspire {
namespace {

using Event = FrameStream::Event;

// A frame as the edge writes it: masked with a counter-derived key.
std::vector<uint8_t> EdgeFrame(uint8_t firstByte, const std::vector<uint8_t>& payload,
                               uint32_t counter = 7) {
  std::vector<uint8_t> buffer(kMaxFrameHeaderSize + payload.size());
  std::copy(payload.begin(), payload.end(), buffer.begin() + kMaxFrameHeaderSize);
  MaskKey key = MaskKeyFor(counter, kDataMaskMultiplier);
  uint8_t* frame =
      BuildFrameInPlace(buffer.data() + kMaxFrameHeaderSize, payload.size(), firstByte, &key);
  return {frame, buffer.data() + buffer.size()};
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

void Append(std::vector<uint8_t>& stream, const std::vector<uint8_t>& frame) {
  stream.insert(stream.end(), frame.begin(), frame.end());
}

// Feeds `bytes` in pieces of `step` and records what the reader reports, as text.
std::vector<std::string> Feed(FrameStream& reader, const std::vector<uint8_t>& bytes, size_t step) {
  std::vector<std::string> events;
  for (size_t offset = 0; offset < bytes.size(); offset += step) {
    size_t count = std::min(step, bytes.size() - offset);
    std::memcpy(reader.FreeSpace(), bytes.data() + offset, count);
    reader.Commit(count);
    for (Event e = reader.Next(); e != Event::kNone; e = reader.Next()) {
      switch (e) {
        case Event::kMessage:
          events.push_back("message:" +
                           std::string(reader.message().begin(), reader.message().end()));
          break;
        case Event::kPing:
          events.push_back("ping:" + std::string(reader.payload().begin(), reader.payload().end()));
          break;
        case Event::kClose:
          events.push_back("close");
          break;
        default:
          events.push_back("violation");
          return events;
      }
    }
  }
  return events;
}

// What the stream adds to the shared assembler: frames cut anywhere by the receives, masked
// or not, up to the largest packet, and a frame announcing more refused from its header alone.
TEST(FrameStream, SameMessagesWhateverTheReceiveBoundaries) {
  const std::string largest(65535, 'y');
  std::vector<uint8_t> stream;
  Append(stream, EdgeFrame(kFinBit | kOpcodeBinary, Bytes("first")));
  Append(stream, EdgeFrame(kOpcodeBinary, Bytes("frag"), 8));
  Append(stream, EdgeFrame(kFinBit | kOpcodePing, Bytes("hi"), 9));
  Append(stream, EdgeFrame(kFinBit | kOpcodeContinuation, Bytes("mented"), 11));
  Append(stream, {kFinBit | kOpcodeBinary, 3, 'a', 'b', 'c'});  // unmasked is accepted too
  Append(stream, EdgeFrame(kFinBit | kOpcodeBinary, Bytes(largest), 14));
  Append(stream, EdgeFrame(kFinBit | kOpcodeClose, {0x03, 0xE8}, 15));

  const std::vector<std::string> expected = {"message:first",      "ping:hi",
                                             "message:fragmented", "message:abc",
                                             "message:" + largest, "close"};
  for (size_t step : {stream.size(), size_t{1}, size_t{3}, size_t{700}}) {
    SCOPED_TRACE(step);
    FrameStream reader;
    EXPECT_EQ(Feed(reader, stream, step), expected);
  }
  FrameStream reader;
  EXPECT_EQ(Feed(reader, {kFinBit | kOpcodeBinary, 127, 0, 0, 0, 0, 0, 1, 0, 0}, 10),
            std::vector<std::string>{"violation"});
}

}  // namespace
}  // namespace larkspire
