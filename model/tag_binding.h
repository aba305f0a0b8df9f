// TagBinding: one bound host tag, owned by the poller that serves it. Filled
// on the host's thread at binding; read by the scheduler thread while polling.
#pragma once

#include <cstdint>

namespace dravik {

constexpr int kTypeWriteOnly = 12;  // a whole number that is written, never decoded
constexpr int kTypeBit = 13;     // a single bit
constexpr int kTypeString = 14;  // a string of L characters
// Not a data type: a tag bound with this code follows the exchanges of the
// poller that reads its address. After every exchange of that poller it gets
// the exchange's result: 0 when the read succeeded, else the failure's
// message number (8 to 13). It is how a host learns that the data of one
// block has stopped coming while the station's other blocks still answer.
// Such a tag reads nothing of its own and cannot be written.
constexpr int kTypeExchangeStatus = 0x100;
// Bound the same way: after every exchange of its poller it gets how long the
// exchange took, in milliseconds (all requests of a block read in parts).
constexpr int kTypeExchangeTime = 0x101;

struct TagBinding {
  int32_t tag_id = 0;          // the host's tag id, carried by every event
  uint16_t type = 0;           // data type code 0..14
  uint16_t bit_or_length = 0;  // bit number for type 13, else the byte length L
  uint16_t offset = 0;         // first 16-bit word of the tag in the poller's data image

  bool IsBit() const { return type == kTypeBit; }
  // An exchange status or exchange time tag: it follows a poller's exchanges.
  bool IsExchangeReport() const {
    return type == kTypeExchangeStatus || type == kTypeExchangeTime;
  }
};

}  // namespace dravik
