#include "relay/websocket_frame.h"

#include <cstring>

#include "relay/byte_order.h"

namespace larkspire {

MaskKey MaskKeyFor(uint32_t counter, uint32_t multiplier) {
  const uint32_t product = counter * multiplier;  // unsigned: wraps modulo 2^32
  MaskKey key;
  StoreBigEndian(key.data(), product, key.size());
  return key;
}

void ApplyMask(uint8_t* data, size_t length, const MaskKey& key) {
  // Eight bytes per step: the key repeated twice lines up with every 8-byte block because
  // blocks start at multiples of 4.
  uint8_t doubled[8];
  std::memcpy(doubled, key.data(), 4);
  std::memcpy(doubled + 4, key.data(), 4);
  uint64_t wide;
  std::memcpy(&wide, doubled, sizeof wide);
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t block;
    std::memcpy(&block, data + i, sizeof block);
    block ^= wide;
    std::memcpy(data + i, &block, sizeof block);
  }
  for (; i < length; ++i) {
    data[i] ^= key[i % 4];
  }
}

size_t FrameHeaderSize(uint64_t payloadLength, bool masked) {
  size_t size = 2;
  if (payloadLength > 65535) {
    size += 8;
  } else if (payloadLength > 125) {
    size += 2;
  }
  return size + (masked ? 4 : 0);
}

size_t WriteFrameHeader(uint8_t* out, uint8_t firstByte, uint64_t payloadLength,
                        const MaskKey* key) {
  const uint8_t maskBit = key != nullptr ? 0x80 : 0x00;
  out[0] = firstByte;
  size_t size = 2;
  if (payloadLength <= 125) {
    out[1] = static_cast<uint8_t>(maskBit | payloadLength);
  } else if (payloadLength <= 65535) {
    out[1] = maskBit | 126;
    StoreBigEndian(out + 2, payloadLength, 2);
    size += 2;
  } else {
    out[1] = maskBit | 127;
    StoreBigEndian(out + 2, payloadLength, 8);
    size += 8;
  }
  if (key != nullptr) {
    std::memcpy(out + size, key->data(), key->size());
    size += key->size();
  }
  return size;
}

uint8_t* BuildFrameInPlace(uint8_t* payload, size_t length, uint8_t firstByte, const MaskKey* key) {
  uint8_t* frame = payload - FrameHeaderSize(length, key != nullptr);
  WriteFrameHeader(frame, firstByte, length, key);
  if (key != nullptr) {
    ApplyMask(payload, length, *key);
  }
  return frame;
}

bool ParseFrameHeader(std::span<const uint8_t> bytes, FrameHeader& header) {
  if (bytes.size() < 2) {
    return false;
  }
  header.fin = (bytes[0] & kFinBit) != 0;
  header.opcode = bytes[0] & 0x0F;
  header.masked = (bytes[1] & 0x80) != 0;
  const uint8_t shortLength = bytes[1] & 0x7F;
  const size_t extended = shortLength == 126 ? 2 : shortLength == 127 ? 8 : 0;
  header.headerSize = 2 + extended + (header.masked ? 4 : 0);
  if (bytes.size() < header.headerSize) {
    return false;
  }
  header.payloadLength = extended == 0 ? shortLength : LoadBigEndian(bytes.data() + 2, extended);
  if (header.masked) {
    std::memcpy(header.key.data(), bytes.data() + 2 + extended, header.key.size());
  }
  return true;
}

MessageAssembler::Event MessageAssembler::OnFrame(const FrameHeader& header,
                                                  std::span<const uint8_t> payload) {
  message_ = {};
  switch (header.opcode) {
    case kOpcodeClose:
      return Event::kClose;
    case kOpcodePing:
      // A pong echoes the payload in a frame with a 7-bit length; a longer ping cannot be
      // answered correctly and is not allowed by the protocol.
      return payload.size() <= kMaxControlPayload ? Event::kPing : Event::kViolation;
    case kOpcodePong:
      return Event::kNone;
    case kOpcodeBinary:
      skippingFragments_ = false;
      return OnDataFrame(header, payload);
    case kOpcodeContinuation:
      if (skippingFragments_) {
        skippingFragments_ = !header.fin;
        return Event::kNone;
      }
      return OnDataFrame(header, payload);
    default:
      // Text and reserved opcodes carry nothing for us. When such a message is fragmented,
      // its continuations must not be mistaken for packet bytes.
      if (header.opcode < kOpcodeClose && !header.fin && !assembling_) {
        skippingFragments_ = true;
      }
      return Event::kNone;
  }
}

MessageAssembler::Event MessageAssembler::OnDataFrame(const FrameHeader& header,
                                                      std::span<const uint8_t> payload) {
  if (!assembling_) {
    fragments_.clear();
    if (header.fin) {
      // The common case: one frame, one packet, handed over where it lies.
      message_ = payload;
      return payload.empty() ? Event::kNone : Event::kMessage;
    }
    if (fragments_.capacity() < kMaxAssembledMessage) {
      fragments_.reserve(kMaxAssembledMessage);
    }
  }
  if (fragments_.size() + payload.size() > kMaxAssembledMessage) {
    Reset();
    return Event::kViolation;
  }
  fragments_.insert(fragments_.end(), payload.begin(), payload.end());
  assembling_ = !header.fin;
  if (assembling_ || fragments_.empty()) {
    return Event::kNone;
  }
  message_ = fragments_;
  return Event::kMessage;
}

void MessageAssembler::Reset() {
  fragments_.clear();
  assembling_ = false;
  skippingFragments_ = false;
  message_ = {};
}

}  // namespace larkspire
