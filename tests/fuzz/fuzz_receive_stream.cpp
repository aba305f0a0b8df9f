// Fuzzes the receive state machine fed from a byte stream, as ReceiveFrame
// feeds it from the line: bytes in, a result and a payload out. The first
// input byte chooses how the stream is cut into reads; the rest is the stream.
// Traps when the cut changes the outcome (the state machine, not the reads,
// decides where a frame ends), on a result outside the defined codes, and when
// a payload it accepted, framed again, does not come back unchanged.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/serial_link.h"

namespace {

using dravik::FrameReceiver;
using Buffer = std::array<uint8_t, dravik::kReplyBufferBytes>;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

struct Outcome {
  int result = FrameReceiver::kNeedMore;
  int length = -1;
  Buffer payload{};
};

// Feeds `stream` in reads of `piece` bytes (0: all in one read).
Outcome Receive(const uint8_t* stream, size_t size, size_t piece) {
  Outcome out;
  FrameReceiver receiver(out.payload);
  const size_t step = piece == 0 ? std::max<size_t>(size, 1) : piece;
  for (size_t at = 0; at < size && out.result == FrameReceiver::kNeedMore; at += step) {
    const size_t n = std::min(step, size - at);
    out.result = receiver.Feed(std::span<const uint8_t>(stream + at, n), &out.length);
  }
  return out;
}

// DLE STX, the stuffed payload, DLE ETX, checksum: how a PLC sends it.
std::vector<uint8_t> Frame(const uint8_t* payload, size_t length, int* stuffed_length) {
  std::array<uint8_t, dravik::kStuffWorkAreaBytes> body{};
  std::memcpy(body.data(), payload, length);
  const int checksum = dravik::FrameChecksum(std::span<const uint8_t>(payload, length));
  *stuffed_length = dravik::StuffDle(body, length);
  if (*stuffed_length < 0) return {};
  std::vector<uint8_t> frame = {dravik::kDle, dravik::kStx};
  frame.insert(frame.end(), body.begin(), body.begin() + *stuffed_length);
  frame.insert(frame.end(), {dravik::kDle, dravik::kEtx, static_cast<uint8_t>(checksum & 0xFF)});
  return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = data[0] % 17;  // 0: one read; else reads of 1..16 bytes
  ++data;
  --size;

  const Outcome whole = Receive(data, size, 0);
  const Outcome cut = Receive(data, size, piece);
  Check(whole.result == cut.result);
  Check(whole.result == FrameReceiver::kNeedMore || whole.result == dravik::kExchangeOk ||
        whole.result == dravik::kBadFormat || whole.result == dravik::kChecksumMismatch);
  if (whole.result != dravik::kExchangeOk) return 0;

  Check(whole.length >= 0 && static_cast<size_t>(whole.length) < dravik::kMaxKeptBytes);
  Check(cut.length == whole.length);
  const size_t length = static_cast<size_t>(whole.length);
  Check(std::memcmp(whole.payload.data(), cut.payload.data(), length) == 0);

  // Framed again, the payload is received unchanged, unless its stuffed body
  // is more than the receiver keeps (then the frame is refused as too long).
  int stuffed = 0;
  const std::vector<uint8_t> again = Frame(whole.payload.data(), length, &stuffed);
  if (again.empty()) return 0;
  const Outcome back = Receive(again.data(), again.size(), piece);
  if (static_cast<size_t>(stuffed) + 2 < dravik::kMaxKeptBytes) {
    Check(back.result == dravik::kExchangeOk && back.length == whole.length);
    Check(std::memcmp(back.payload.data(), whole.payload.data(), length) == 0);
  } else {
    Check(back.result == dravik::kBadFormat);
  }
  return 0;
}
