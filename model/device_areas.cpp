#include "model/device_areas.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dravik {

const DeviceArea kDeviceAreas[kAreaCount] = {
    {"I", 1, 256, 0, "Input (Bit)"},
    {"O", 1, 256, 256, "Output (Bit)"},
    {"FI", 2, 256, 512, "Forced input (Bit)"},
    {"FO", 2, 256, 768, "Forced output (Bit)"},
    {"C", 1, 1024, 1024, "Coil (Bit)"},
    {"IR", 2, 256, 0, "Input Register (Word)"},
    {"OR", 2, 256, 512, "Output Register (Word)"},
    {"R", 1, 512, 1024, "Register (Word)"},
};

bool ReadUnsigned(const std::string& text, int base, uint32_t* value) {
  // strtoul on a 64-bit long would not wrap a minus modulo 2^32 the way the
  // 32-bit original does; read the magnitude and negate in 32 bits.
  const char* p = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
      std::isxdigit(static_cast<unsigned char>(p[2]))) {
    p += 2;
  }
  const char* digits = p;
  uint64_t magnitude = 0;
  bool overflow = false;
  for (;; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    int digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (std::isalpha(c)) {
      digit = std::toupper(c) - 'A' + 10;
    } else {
      break;
    }
    if (digit >= base) break;
    magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (magnitude > 0xFFFFFFFFull) overflow = true;
  }
  uint32_t v;
  if (p == digits) {
    // No digits: strtoul reads nothing and stops at the start of the text.
    *value = 0;
    return text.empty();
  }
  v = overflow ? 0xFFFFFFFFu : static_cast<uint32_t>(magnitude);
  if (negative && !overflow) v = 0u - v;
  *value = v;
  return *p == '\0';
}

int ValidateBlockStart(std::string& text, int area, uint32_t* start) {
  if (!IsValidArea(area)) return 0;
  if (text.size() >= kBlockStartBufferBytes) return 0;
  uint32_t number = 0;
  const bool whole = ReadUnsigned(text, 10, &number);
  *start = number;
  if (!whole) return 0;
  if (IsBitArea(area) && number % 8 != 1) return 0;
  text = std::string(kDeviceAreas[area].prefix) + text;
  if (number == 0 || number > kDeviceAreas[area].highest) return 0;
  return 1;
}

int BlockFitsArea(int area, uint32_t start, uint32_t count) {
  if (!IsValidArea(area)) return 0;
  const uint64_t last = static_cast<uint64_t>(start) + count - 1;
  return last <= kDeviceAreas[area].highest ? 1 : 0;
}

int SplitAreaAddress(const std::string& text, std::string* rest) {
  for (int area = kAreaCount - 1; area >= 0; --area) {
    const DeviceArea& a = kDeviceAreas[area];
    if (text.compare(0, static_cast<size_t>(a.prefix_length), a.prefix) == 0) {
      if (rest) *rest = text.substr(static_cast<size_t>(a.prefix_length));
      return area;
    }
  }
  return -1;
}

int ParseTagAddress(const char* text, int* area, uint32_t* address, TagBinding* binding) {
  std::string copy(text ? text : "");
  if (copy.size() > kTagAddressCut) copy.resize(kTagAddressCut);
  for (char& c : copy) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  for (int index = kAreaCount - 1; index >= 0; --index) {
    *area = index;
    const DeviceArea& a = kDeviceAreas[index];
    if (copy.compare(0, static_cast<size_t>(a.prefix_length), a.prefix) != 0) continue;
    const std::string number = copy.substr(static_cast<size_t>(a.prefix_length));
    uint32_t value = 0;
    if (binding->IsBit() && !IsBitArea(index)) {
      const auto point = number.find('.');
      if (point == std::string::npos) return 0;
      if (!ReadUnsigned(number.substr(0, point), 10, &value)) return 0;
      uint32_t bit = 0;
      if (!ReadUnsigned(number.substr(point + 1), 10, &bit) || bit > 15) return 0;
      binding->bit_or_length = static_cast<uint16_t>(bit);
    } else if (binding->IsBit()) {
      if (!ReadUnsigned(number, 10, &value)) return 0;
      binding->bit_or_length = 0;
    } else {
      if (!ReadUnsigned(number, 10, &value)) return 0;
      if (IsBitArea(index)) return 0;
    }
    *address = value;
    return value != 0 && value <= a.highest ? 1 : 0;
  }
  *area = -1;
  return 0;
}

}  // namespace dravik
