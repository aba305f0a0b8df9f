// The PLC's eight device areas and the texts that name addresses in them.
// Constant data and stateless functions; any thread.
//
//   index prefix kind  highest  wire base (bit areas in bits, word areas in bytes)
//     0    I     bit     256      0
//     1    O     bit     256    256
//     2    FI    bit     256    512
//     3    FO    bit     256    768
//     4    C     bit    1024   1024
//     5    IR    word    256      0
//     6    OR    word    256    512
//     7    R     word    512   1024
//
// Addresses are 1-based. Numbers are read like strtoul with base 10: leading
// white space and a sign are accepted, a minus negates modulo 2^32, and the
// text must be consumed to its end.
#pragma once

#include <cstdint>
#include <string>

#include "model/tag_binding.h"

namespace dravik {

struct DeviceArea {
  const char* prefix;
  int prefix_length;
  uint32_t highest;
  uint32_t base;
  const char* list_entry;  // the block dialog's area list
};

constexpr int kAreaCount = 8;
constexpr int kFirstWordArea = 5;
extern const DeviceArea kDeviceAreas[kAreaCount];

inline bool IsBitArea(int area) { return area <= 4; }
inline bool IsValidArea(int area) { return area >= 0 && area < kAreaCount; }

// The buffer the block dialog copies a start text into holds 52 bytes, so a
// text of more than 51 characters is refused.
constexpr size_t kBlockStartBufferBytes = 52;
// ParseTagAddress judges a tag address by its first 49 characters.
constexpr size_t kTagAddressCut = 49;

// Block start as typed (no prefix). 1 valid, 0 invalid. Rewrites `text` as
// prefix + text once the whole text read as a number and, in a bit area, lies
// on a byte boundary (also when its range is then refused); `start` receives
// the number as read. Texts longer than 51 characters are refused untouched.
int ValidateBlockStart(std::string& text, int area, uint32_t* start);
// 1 when start + count - 1 is not beyond the area's highest address.
int BlockFitsArea(int area, uint32_t start, uint32_t count);
// Area of the first prefix (R down to I) that begins `text`, with the rest in
// `rest`; -1 (rest untouched) when none does. Case-sensitive.
int SplitAreaAddress(const std::string& text, std::string* rest);
// A tag's address text. `binding` gives the data type (in) and receives the
// bit number of a bit tag (out). 1 valid, 0 invalid; `area` is -1 when no
// prefix matched.
int ParseTagAddress(const char* text, int* area, uint32_t* address, TagBinding* binding);

// The strtoul-like reader above: true when the whole text was a number.
bool ReadUnsigned(const std::string& text, int base, uint32_t* value);

}  // namespace dravik
