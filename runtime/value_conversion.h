// Value conversion between the PLC's memory image and the host's tag values,
// by the host's data type code (0..14), and the value event list the pollers
// fill and the engine's event thread drains.
//
//   code  kind                    decode                      encode
//   0     signed 8-bit            1 byte                      low L bytes of trunc(v)
//   1     signed 16-bit           1 word                      "
//   2     signed 32-bit           2 words (low word first)    "
//   3,4   unsigned 16-bit         1 word                      "
//   5     unsigned 32-bit         2 words                     "
//   6-8   signed BCD 2/4/8 digits sign bit 0x80/0x8000/0x80000000, 2L digits
//   9-11  unsigned BCD 2/4/8      2L digits
//   12    whole number on write   no value decoded            low L bytes of trunc(v)
//   13    bit                     0/1                         one byte 0/1
//   14    string of L chars       up to L chars, stops at 0   text padded to even length
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>

#include "host/tarsel_sub.h"
#include "model/tag_binding.h"

namespace dravik {

constexpr size_t kEncodeAreaBytes = 256;

// The value event list with its lock. Appended on the scheduler thread,
// drained on the event thread, cleared by start and destruction; every member
// takes the lock for one operation only and never calls out while holding it.
class ValueEventList {
 public:
  void Append(std::unique_ptr<CEventVal> event);
  std::unique_ptr<CEventVal> PopFront();  // null when empty
  void Clear();
  size_t Size() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::unique_ptr<CEventVal>> events_;  // guarded by mutex_
};

// Encodes `value` for a write into `dest`. Returns the number of bytes the
// write frame takes (1 for a bit; L otherwise, with a string's unused bytes
// zero-filled and a longer string cut to L), or -1 when L is 0 or more than a
// write frame carries (kMaxWriteDataBytes). Doubles are truncated toward zero
// without undefined behaviour (NaN reads as 0, values beyond int64 clamp).
int EncodeTagValue(const TagBinding& binding, const CTagVal& value,
                   std::span<uint8_t, kEncodeAreaBytes> dest);

// Decodes the tag from `tag_bytes` (its bytes in the data image, in host
// order; the span ends where the image ends, and bytes beyond it read as 0)
// and appends one event.
void PostValueEvent(ValueEventList& list, const TagBinding& binding,
                    std::span<const uint8_t> tag_bytes);
// Appends one event with value 1 when `value` is non-zero, else 0.
void PostBitEvent(ValueEventList& list, const TagBinding& binding, uint16_t value);
// Appends one event per exchange status or time tag: a status tag gets the
// exchange's result (0, or the failure's message number), a time tag how
// long it took in ms. True when it appended any.
bool PostExchangeStatus(ValueEventList& list, std::span<const TagBinding> status_tags, int result,
                        uint32_t took_ms);

}  // namespace dravik
