// Fuzzes what the poller does with received bytes: UnstuffDle over a frame
// body of any length (up to and past the 512-byte reply buffer), then
// CheckReadReply. Traps on an out-of-bounds access, on a result outside the
// defined codes, and when stuffing the unstuffed bytes does not give a body
// that unstuffs to the same bytes again.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/frame_codec.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dravik;
  if (size < 3) return 0;
  // Header: receive result selector and expected payload length; then the
  // received body, as the link would hand it over. The link's failures are 8..13.
  const int receive_result = (data[0] & 0x0F) < 8 ? 0 : 8 + (data[0] >> 4) % 6;
  const int expected_length = data[1] | ((data[2] & 0x03) << 8);
  data += 3;
  size -= 3;

  std::array<uint8_t, kReplyBufferBytes> reply{};
  const size_t length = size < reply.size() ? size : reply.size();
  std::memcpy(reply.data(), data, length);
  const int n = UnstuffDle(reply, length);
  Check(n >= 0 && static_cast<size_t>(n) <= length);
  // Asking for more than the buffer holds is refused, never read.
  Check(UnstuffDle(std::span<uint8_t>(reply).first(length), length + 1) == -1);

  std::string detail = "stale";
  const std::span<const uint8_t> payload(reply.data(), static_cast<size_t>(n));
  const int result = CheckReadReply(receive_result, payload, expected_length, &detail);
  Check(result == 0 || (result >= 8 && result <= 13));
  if (result == kPlcError && receive_result == 0) {
    Check(!detail.empty() && detail.size() <= 3);
    Check(std::stoi(detail) == (payload[1] & 0x7F));
  } else {
    Check(detail.empty());
  }
  if (result == kExchangeOk) Check(n == expected_length);

  // Stuffing the payload again and removing the doubling gives it back, and
  // its checksum closes it to zero.
  std::array<uint8_t, kStuffWorkAreaBytes> again{};
  std::memcpy(again.data(), reply.data(), static_cast<size_t>(n));
  const int stuffed = StuffDle(again, static_cast<size_t>(n));
  if (stuffed >= 0) {
    Check(UnstuffDle(again, static_cast<size_t>(stuffed)) == n);
    Check(std::memcmp(again.data(), reply.data(), static_cast<size_t>(n)) == 0);
  }
  if (n > 0) {
    uint32_t sum = FrameChecksum(payload);
    for (const uint8_t b : payload) sum += b;
    Check((sum & 0xFF) == 0);
  }
  return 0;
}
