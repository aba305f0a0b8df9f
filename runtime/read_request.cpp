#include "runtime/read_request.h"

#include "runtime/serial_link.h"

namespace dravik {

int ExchangeRead(const LineContext& line, const ReadRequest& request,
                 std::span<uint8_t, kReplyBufferBytes> reply, std::string* detail) {
  detail->clear();
  if (line.port == nullptr) return kCannotSend;
  const int sent = SendFrame(
      *line.port,
      std::span<const uint8_t>(request.frame.data(), static_cast<size_t>(request.length)));
  // A failure while the engine is stopping is the stop, not the line.
  if (sent != 0) return line.port->IsInterrupted() ? kExchangeInterrupted : sent;
  int length = 0;
  const int received = ReceiveFrame(*line.port, reply, &length);
  if (received != 0 && line.port->IsInterrupted()) return kExchangeInterrupted;
  const size_t payload = received == 0 ? static_cast<size_t>(length) : 0;
  if (received == 0) {
    // A reply from another station, or to another command, is not this
    // request's answer: its data must never stand for this station's.
    const int header = CheckReplyHeader(std::span<const uint8_t>(reply.data(), payload),
                                        RequestHeaderOf(request.frame), detail);
    if (header != kExchangeOk) return header;
  }
  return CheckReadReply(received, std::span<const uint8_t>(reply.data(), payload), request.expected,
                        detail);
}

}  // namespace dravik
