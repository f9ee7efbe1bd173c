#include "devhub/frame_stream.h"

#include <cstring>

namespace larkspire {

FrameStream::FrameStream(size_t capacity) : buffer_(capacity) {
  static_assert(kMaxFramePayload + kMaxFrameHeaderSize < 256 * 1024);
}

FrameStream::Event FrameStream::Next() {
  while (true) {
    std::span<uint8_t> pending(buffer_.data() + begin_, end_ - begin_);
    FrameHeader header;
    if (!ParseFrameHeader(pending, header)) {
      Compact();
      return Event::kNone;
    }
    if (header.payloadLength > kMaxFramePayload) {
      return Event::kViolation;
    }
    const size_t frameSize = header.headerSize + static_cast<size_t>(header.payloadLength);
    if (pending.size() < frameSize) {
      Compact();
      return Event::kNone;
    }
    uint8_t* data = pending.data() + header.headerSize;
    const size_t size = static_cast<size_t>(header.payloadLength);
    begin_ += frameSize;
    if (header.masked) {
      ApplyMask(data, size, header.key);
    }
    payload_ = {data, size};
    Event event = assembler_.OnFrame(header, payload_);
    if (event != Event::kNone) {
      return event;
    }
  }
}

// Moves the unparsed tail to the front so the next receive can complete the frame. Only
// called when the caller has finished with every payload handed out so far.
void FrameStream::Compact() {
  const size_t remaining = end_ - begin_;
  if (begin_ > 0 && remaining > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, remaining);
  }
  begin_ = 0;
  end_ = remaining;
}

}  // namespace larkspire
