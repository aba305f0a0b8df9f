// LineContext: what pollers and write queues use of their engine — the line
// (its exchanges on the open port), the data-ready event and the value event
// list. The engine owns all three and outlives every poller and queue it
// hands a context to; only the scheduler thread uses the line through it.
#pragma once

#include "platform/event.h"
#include "runtime/line_exchange.h"
#include "runtime/value_conversion.h"

namespace dravik {

struct LineContext {
  LineExchange* exchange = nullptr;
  Event* data_ready = nullptr;
  ValueEventList* events = nullptr;
};

// The 61-word data image of one successful poll, words little-endian.
constexpr size_t kDataImageBytes = 122;
constexpr size_t kDataImageWords = kDataImageBytes / 2;

}  // namespace dravik
