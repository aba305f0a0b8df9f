#include "runtime/read_request.h"

namespace dravik {

int ExchangeRead(const LineContext& line, const ReadRequest& request,
                 std::span<uint8_t, kReplyBufferBytes> reply, std::string* detail) {
  detail->clear();
  if (line.exchange == nullptr) return kCannotSend;
  int length = 0;
  const int code = line.exchange->Exchange(
      std::span<const uint8_t>(request.frame.data(), static_cast<size_t>(request.length)), reply,
      &length, detail);
  if (code != kExchangeOk) return code;
  return CheckReadReply(code, std::span<const uint8_t>(reply.data(), static_cast<size_t>(length)),
                        request.expected, detail);
}

}  // namespace dravik
