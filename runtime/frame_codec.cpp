#include "runtime/frame_codec.h"

#include <array>
#include <cstring>

#include "model/device_areas.h"

namespace dravik {

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
