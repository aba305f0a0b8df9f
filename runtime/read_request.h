// ReadRequest: one prebuilt read request (frame, length, expected reply
// length) and the exchange that sends it and checks the reply. Built on the
// host's thread before the scheduler starts; used by the scheduler thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "runtime/frame_codec.h"
#include "runtime/line_context.h"

namespace dravik {

struct ReadRequest {
  std::array<uint8_t, kReadRequestBytes> frame{};
  int length = 0;    // 0: no request (not built, or refused)
  int expected = 0;  // payload length of a correct reply

  bool Build(int station, int area, uint32_t address, int count) {
    length = BuildReadRequest(frame, station, area, address, count, &expected);
    return length > 0;
  }
};

// One request/reply exchange. Returns 0 with the reply payload in `reply`
// (data from byte 5), a failure code 8..13 (with the PLC's error number in
// `detail` for 12), or kExchangeInterrupted when the engine is stopping.
int ExchangeRead(const LineContext& line, const ReadRequest& request,
                 std::span<uint8_t, kReplyBufferBytes> reply, std::string* detail);

}  // namespace dravik
