// TagBinding: one bound host tag, owned by the poller that serves it. Filled
// on the host's thread at binding; read by the scheduler thread while polling.
#pragma once

#include <cstdint>

namespace dravik {

constexpr int kTypeBit = 13;     // a single bit
constexpr int kTypeString = 14;  // a string of L characters

struct TagBinding {
  int32_t tag_id = 0;          // the host's tag id, carried by every event
  uint16_t type = 0;           // data type code 0..14
  uint16_t bit_or_length = 0;  // bit number for type 13, else the byte length L
  uint16_t offset = 0;         // first 16-bit word of the tag in the poller's data image

  bool IsBit() const { return type == kTypeBit; }
};

}  // namespace dravik
