// Fuzzes the address readers with arbitrary texts: ParseTagAddress (both kinds
// of data type), ValidateBlockStart and SplitAreaAddress. Besides memory
// errors it traps on any accepted address that breaks the area rules.
#include <cstddef>
#include <cstdint>
#include <string>

#include "model/device_areas.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dravik;
  if (size == 0) return 0;
  // First byte: the data type and the block dialog's area index; the rest is
  // the text, cut at its first zero byte like any C string.
  const uint8_t control = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  TagBinding binding;
  binding.type = (control & 1) ? kTypeBit : static_cast<uint16_t>((control >> 1) % 15);
  binding.bit_or_length = 0xBEEF;
  int area = 1234;
  uint32_t address = 0;
  const int ok = ParseTagAddress(text.c_str(), &area, &address, &binding);
  Check(ok == 0 || ok == 1);
  Check(area >= -1 && area < kAreaCount);
  if (ok) {
    Check(area >= 0);
    Check(address >= 1 && address <= kDeviceAreas[area].highest);
    if (binding.IsBit()) {
      Check(binding.bit_or_length <= (IsBitArea(area) ? 0 : 15));
    } else {
      Check(!IsBitArea(area));
      Check(binding.bit_or_length == 0xBEEF);
    }
  }

  std::string block = text.c_str();
  const int block_area = (control >> 4) % 9;  // 8 is not an area
  uint32_t start = 0;
  if (ValidateBlockStart(block, block_area, &start)) {
    Check(IsValidArea(block_area));
    Check(start >= 1 && start <= kDeviceAreas[block_area].highest);
    Check(!IsBitArea(block_area) || start % 8 == 1);
    std::string rest;
    Check(SplitAreaAddress(block, &rest) >= 0);
    (void)BlockFitsArea(block_area, start, static_cast<uint32_t>(size));
  }

  std::string rest = "unchanged";
  const int split = SplitAreaAddress(text, &rest);
  Check(split >= -1 && split < kAreaCount);
  if (split < 0) Check(rest == "unchanged");
  return 0;
}
