#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace larkspire {

// WebSocket framing shared by both ends of the relay. Pure functions and a message
// assembler: no I/O, so the edge channel and the development Hub frame and parse the same
// bytes, and tests can pin them.

inline constexpr uint8_t kOpcodeContinuation = 0x0;
inline constexpr uint8_t kOpcodeText = 0x1;
inline constexpr uint8_t kOpcodeBinary = 0x2;
inline constexpr uint8_t kOpcodeClose = 0x8;
inline constexpr uint8_t kOpcodePing = 0x9;
inline constexpr uint8_t kOpcodePong = 0xA;
inline constexpr uint8_t kFinBit = 0x80;

// The largest header: 2 bytes, a 64-bit length and a masking key. Packet buffers keep this
// much room in front of the packet so a frame is built around it without copying.
inline constexpr size_t kMaxFrameHeaderSize = 14;
// A single frame may announce at most this much payload; anything larger is refused.
inline constexpr uint64_t kMaxFramePayload = 4194304;
// A message assembled from several frames never needs to exceed one IP packet.
inline constexpr size_t kMaxAssembledMessage = 65535;
inline constexpr size_t kMaxControlPayload = 125;

// Masking keys are derived from a per-sender counter rather than a random source, so the
// bytes on the wire are reproducible. Data frames and pongs use different multipliers.
inline constexpr uint32_t kDataMaskMultiplier = 0x9E3779B9u;
inline constexpr uint32_t kPongMaskMultiplier = 0x85EBCA6Bu;

using MaskKey = std::array<uint8_t, 4>;

// The big-endian bytes of counter * multiplier (mod 2^32).
MaskKey MaskKeyFor(uint32_t counter, uint32_t multiplier);

// XORs byte i with key[i % 4], in place (masking and unmasking are the same operation).
void ApplyMask(uint8_t* data, size_t length, const MaskKey& key);

size_t FrameHeaderSize(uint64_t payloadLength, bool masked);

// Writes a frame header at `out` (room for kMaxFrameHeaderSize bytes); returns its size.
// `firstByte` is FIN plus opcode; `key` is null for an unmasked frame.
size_t WriteFrameHeader(uint8_t* out, uint8_t firstByte, uint64_t payloadLength,
                        const MaskKey* key);

// Turns the payload at `payload` into a whole frame without copying it: the header goes
// into the bytes just before `payload` (which must have kMaxFrameHeaderSize bytes of
// headroom) and the payload is masked in place when `key` is given. Returns the frame's
// first byte; the frame is FrameHeaderSize(length, key) + length bytes long.
uint8_t* BuildFrameInPlace(uint8_t* payload, size_t length, uint8_t firstByte, const MaskKey* key);

struct FrameHeader {
  bool fin = false;
  uint8_t opcode = 0;
  bool masked = false;
  MaskKey key{};
  uint64_t payloadLength = 0;
  size_t headerSize = 0;
};

// Parses the header at the start of `bytes`. False when `bytes` does not hold the whole
// header yet. The RSV bits are ignored.
bool ParseFrameHeader(std::span<const uint8_t> bytes, FrameHeader& header);

// Turns a stream of frames (with unmasked payloads) into messages of one packet each:
// binary frames and their continuations are joined, pings are reported so the caller can
// answer, text and unknown opcodes are skipped, empty messages are skipped. Used by a
// single reader thread.
class MessageAssembler {
 public:
  enum class Event {
    kNone,       // nothing for the caller; read the next frame
    kMessage,    // message() holds one complete, non-empty message
    kPing,       // answer with a pong carrying the frame's payload
    kClose,      // the peer closes the connection
    kViolation,  // the peer broke the protocol; the connection must be dropped
  };

  // `payload` must stay valid until the next call: a single-frame message is handed back
  // without being copied.
  Event OnFrame(const FrameHeader& header, std::span<const uint8_t> payload);

  // Valid after kMessage until the next OnFrame.
  std::span<const uint8_t> message() const { return message_; }

  void Reset();

 private:
  Event OnDataFrame(const FrameHeader& header, std::span<const uint8_t> payload);

  std::vector<uint8_t> fragments_;
  bool assembling_ = false;         // a binary message has begun and awaits its last frame
  bool skippingFragments_ = false;  // continuations of an ignored (text) message follow
  std::span<const uint8_t> message_;
};

}  // namespace larkspire
