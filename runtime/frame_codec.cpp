#include "runtime/frame_codec.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "model/device_areas.h"

namespace dravik {

namespace {

// Bytes around the body: DLE STX in front, DLE ETX checksum behind.
constexpr size_t kEnvelopeHead = 2;
constexpr size_t kEnvelopeTail = 3;
constexpr size_t kReadBodyBytes = 5;
constexpr size_t kBitWriteBodyBytes = 6;

// Closes a frame whose unstuffed body of `body_length` bytes starts at offset 2
// of `frame`: checksum over the plain body, DLE doubling in place, then DLE ETX
// and the checksum byte (never doubled). Returns the frame length, or 0 when the
// stuffed body and its tail would not fit `frame`.
size_t CloseFrame(std::span<uint8_t> frame, size_t body_length) {
  if (frame.size() < kEnvelopeHead + kEnvelopeTail) return 0;
  std::span<uint8_t> body =
      frame.subspan(kEnvelopeHead, frame.size() - kEnvelopeHead - kEnvelopeTail);
  if (body_length > body.size()) return 0;
  const uint8_t checksum = static_cast<uint8_t>(FrameChecksum(body.first(body_length)));
  const int stuffed = StuffDle(body, body_length);
  if (stuffed < 0) return 0;
  size_t n = kEnvelopeHead + static_cast<size_t>(stuffed);
  frame[n++] = kDle;
  frame[n++] = kEtx;
  frame[n++] = checksum;
  return n;
}

}  // namespace

uint16_t WireAddress(int area, uint32_t address) {
  if (!IsValidArea(area)) return 0;
  // Address 0 (never valid) wraps like the unsigned arithmetic it came from.
  const uint32_t zero_based = address - 1u;
  if (IsBitArea(area)) {
    // The area's code (C: 4 plus its 256-bit page), then the bit within it.
    const uint32_t high = area == 4 ? 4u + zero_based / 256u : static_cast<uint32_t>(area);
    return static_cast<uint16_t>(((high & 0xFFu) << 8) | (zero_based & 0xFFu));
  }
  // Word areas: a byte address, the area's base plus two bytes per word.
  return static_cast<uint16_t>(kDeviceAreas[area].base + 2u * zero_based);
}

int BuildReadRequest(std::span<uint8_t, kReadRequestBytes> frame, int station, int area,
                     uint32_t address, int count, int* expected_length) {
  if (expected_length) *expected_length = 0;
  if (!IsValidArea(area) || count <= 0) return 0;
  const bool bits = IsBitArea(area);
  // The count byte carries 8 bits while the expected length uses the whole
  // count; larger blocks are read in several requests by the block poller.
  if (count > (bits ? kMaxBitsPerRequest : kMaxWordsPerRequest)) return 0;

  const uint16_t wire = WireAddress(area, address);
  std::array<uint8_t, kReadRequestBytes> out{};
  out[0] = kDle;
  out[1] = kStx;
  out[2] = static_cast<uint8_t>(station);
  out[3] = static_cast<uint8_t>(bits ? kCmdBitRead : kCmdWordRead);
  out[4] = static_cast<uint8_t>(count);
  out[5] = static_cast<uint8_t>(wire >> 8);
  out[6] = static_cast<uint8_t>(wire & 0xFF);
  const size_t length = CloseFrame(out, kReadBodyBytes);
  if (length == 0) return 0;  // cannot happen: 5 doubled body bytes + 5 <= 16
  std::memcpy(frame.data(), out.data(), out.size());

  const int data_bytes = bits ? (count - 1) / 8 + 1 : 2 * count;
  if (expected_length) *expected_length = kReplyHeaderBytes + data_bytes;
  return static_cast<int>(length);
}

std::unique_ptr<RequestFrame> BuildWriteRequest(int station, int area, uint32_t address,
                                                std::span<const uint8_t> data) {
  // A write carries at least one byte: the bit value, or the data words.
  if (!IsValidArea(area) || data.empty()) return nullptr;
  if (data.size() > kMaxWriteDataBytes) return nullptr;

  auto request = std::make_unique<RequestFrame>();
  uint8_t* f = request->frame;
  const uint16_t wire = WireAddress(area, address);
  f[0] = kDle;
  f[1] = kStx;
  f[2] = static_cast<uint8_t>(station);
  f[5] = static_cast<uint8_t>(wire >> 8);
  f[6] = static_cast<uint8_t>(wire & 0xFF);
  size_t body_length;
  if (IsBitArea(area)) {
    f[3] = kCmdBitWrite;
    f[4] = 0x01;  // one bit
    // The encoder gives 0 or 1; anything else still means "on" on the wire.
    f[7] = data[0] != 0 ? 1 : 0;
    body_length = kBitWriteBodyBytes;
  } else {
    const size_t words = data.size() / 2;
    f[3] = kCmdWordWrite;
    f[4] = static_cast<uint8_t>(words);
    // The data is in host order; each word goes high byte first. An odd last
    // byte travels as it is.
    std::memcpy(f + 7, data.data(), data.size());
    SwapWordBytes(std::span<uint8_t>(f + 7, data.size()), words);
    body_length = kReadBodyBytes + data.size();
  }
  const size_t length = CloseFrame(request->frame, body_length);
  if (length == 0) return nullptr;  // the doubled body does not fit 256 bytes
  request->length = static_cast<int32_t>(length);
  return request;
}

int CheckReadReply(int receive_result, std::span<const uint8_t> payload, int expected_length,
                   std::string* detail) {
  if (detail) detail->clear();
  if (receive_result != kExchangeOk) return receive_result;
  // A payload too short to hold the command byte cannot be an error reply;
  // it fails the length check below like any other short reply.
  if (payload.size() >= 2 && (payload[1] & 0x80) != 0) {
    if (detail) {
      char text[8];
      std::snprintf(text, sizeof text, "%d", payload[1] & 0x7F);
      *detail = text;
    }
    return kPlcError;
  }
  if (expected_length < 0 || payload.size() != static_cast<size_t>(expected_length)) {
    return kBadFormat;
  }
  return kExchangeOk;
}

RequestHeader RequestHeaderOf(std::span<const uint8_t> frame) {
  RequestHeader header;
  // DLE STX, then the body with every 0x10 doubled.
  uint8_t body[kReadBodyBytes] = {};
  size_t n = 0;
  for (size_t i = 2; i < frame.size() && n < kReadBodyBytes; ++i) {
    body[n++] = frame[i];
    if (frame[i] == kDle) ++i;  // the doubled byte
  }
  if (n < 2) return header;
  header.station = body[0];
  header.command = body[1];
  if (n == kReadBodyBytes) {
    for (size_t k = 0; k < 3; ++k) header.echo[k] = body[2 + k];
    header.has_echo = true;
  }
  return header;
}

int CheckReplyHeader(std::span<const uint8_t> payload, RequestHeader request, std::string* detail) {
  if (detail) detail->clear();
  if (payload.size() < 2 || payload[0] != request.station) return kBadFormat;
  if ((payload[1] & 0x80) != 0) {
    if (detail) {
      char text[8];
      std::snprintf(text, sizeof text, "%d", payload[1] & 0x7F);
      *detail = text;
    }
    return kPlcError;
  }
  return (payload[1] & 0x7F) == (request.command & 0x7F) ? kExchangeOk : kBadFormat;
}

int StuffDle(std::span<uint8_t> buffer, size_t length) {
  if (length > buffer.size()) return -1;
  std::array<uint8_t, kStuffWorkAreaBytes> work;
  const size_t limit = buffer.size() < work.size() ? buffer.size() : work.size();
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    const size_t need = buffer[i] == kDle ? 2 : 1;
    if (n + need > limit) return -1;
    work[n++] = buffer[i];
    if (need == 2) work[n++] = kDle;
  }
  std::memcpy(buffer.data(), work.data(), n);
  return static_cast<int>(n);
}

int UnstuffDle(std::span<uint8_t> buffer, size_t length) {
  if (length > buffer.size() || length > kStuffWorkAreaBytes) return -1;
  std::array<uint8_t, kStuffWorkAreaBytes> work;
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    work[n++] = buffer[i];
    if (buffer[i] == kDle) ++i;  // skip the doubled byte, whatever it is
  }
  std::memcpy(buffer.data(), work.data(), n);
  return static_cast<int>(n);
}

uint32_t FrameChecksum(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  for (const uint8_t b : bytes) sum = (sum + b) & 0xFF;
  return (256 - sum) & 0xFF;
}

void SwapWordBytes(std::span<uint8_t> bytes, size_t words) {
  const size_t n = words < bytes.size() / 2 ? words : bytes.size() / 2;
  for (size_t i = 0; i < n; ++i) std::swap(bytes[2 * i], bytes[2 * i + 1]);
}

}  // namespace dravik
