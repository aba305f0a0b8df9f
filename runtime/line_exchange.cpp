#include "runtime/line_exchange.h"

#include <cstring>

#include "platform/tick_count.h"
#include "runtime/host_services.h"

namespace dravik {

namespace {
constexpr size_t kEchoFirst = 2;  // reply bytes 2..4 echo the request's count and address

bool Echoes(std::span<const uint8_t> payload, const RequestHeader& request) {
  return request.has_echo && payload.size() >= kEchoFirst + 3 &&
         std::memcmp(payload.data() + kEchoFirst, request.echo, 3) == 0;
}

bool IsErrorReply(std::span<const uint8_t> payload) {
  return payload.size() >= 2 && (payload[1] & 0x80) != 0;
}

bool IsRead(const RequestHeader& request) {
  return request.command == kCmdBitRead || request.command == kCmdWordRead;
}

// The body a request frame carries (DLE STX .. DLE ETX checksum stripped,
// the doubling removed) into `body`; its length, or 0 for a frame too short.
size_t RequestBody(std::span<const uint8_t> frame, std::span<uint8_t, kWriteFrameBytes> body) {
  if (frame.size() < 5 || frame.size() - 3 > body.size()) return 0;
  const size_t stuffed = frame.size() - 5;
  std::memcpy(body.data(), frame.data() + 2, stuffed);
  const int length = UnstuffDle(body, stuffed);
  return length < 0 ? 0 : static_cast<size_t>(length);
}

bool SameBytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return !a.empty() && a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}
}  // namespace

bool LineExchange::LatePossible(uint8_t station, uint32_t now) const {
  const StationMemory& memory = stations_[station];
  // Signed difference: right across the wrap of the millisecond tick.
  return memory.late_possible && static_cast<int32_t>(now - memory.late_until) < 0;
}

bool LineExchange::Answers(std::span<const uint8_t> payload, const RequestHeader& request) const {
  if (payload.size() < 2 || payload[0] != request.station) return false;
  // An error reply carries the error number where the command was.
  if (!IsErrorReply(payload) && (payload[1] & 0x7F) != (request.command & 0x7F)) return false;
  return !(IsRead(request) && stations_[request.station].echo == Echo::kEchoes &&
           payload.size() >= kEchoFirst + 3 && !Echoes(payload, request));
}

int LineExchange::Judge(std::span<const uint8_t> payload, const RequestHeader& request,
                        uint32_t now) const {
  if (payload.size() < 2) return kBadFormat;
  if (Answers(payload, request)) return kExchangeOk;
  return LatePossible(payload[0], now) ? kEarlierReply : kBadFormat;
}

void LineExchange::NoteTimeout(const RequestHeader& request) {
  StationMemory& memory = stations_[request.station];
  const uint32_t now = TickCount();
  memory.late_possible = true;
  memory.late_until = now + kLateReplyWindowMs;
  memory.unsettled = true;
  memory.out_of_step = true;
  memory.resync_until = now + static_cast<uint32_t>(resync_ms_);
  memory.timed_out = request;
}

int LineExchange::BackInStep(uint8_t station) {
  StationMemory& memory = stations_[station];
  if (!memory.out_of_step) return kExchangeOk;
  const int32_t left = static_cast<int32_t>(memory.resync_until - TickCount());
  int verdict = kExchangeOk;
  if (left > 0) {
    ReplyReader reader(*port_, left);
    // A babbling line that never falls quiet still ends the wait.
    const uint32_t give_up = memory.resync_until + static_cast<uint32_t>(kReadWaitMs);
    int length = 0;
    for (;;) {
      const int received = reader.Next(spare_, &length);
      if (received == kReceiveTimeout) break;
      if (received == kExchangeInterrupted || port_->IsInterrupted()) return kExchangeInterrupted;
      if (received == kCannotReceive) return received;
      if (received == kExchangeOk) {
        const auto payload = std::span<const uint8_t>(spare_.data(), static_cast<size_t>(length));
        // From this station only the timed-out request's answer may come.
        const bool late = payload.size() >= 2 && payload[0] == station
                              ? Answers(payload, memory.timed_out)
                              : Judge(payload, memory.timed_out, TickCount()) == kEarlierReply;
        if (late) {
          ++discarded_;
        } else {
          verdict = kBadFormat;
        }
      } else {
        verdict = received;  // a damaged frame: 11 or 13
      }
      if (static_cast<int32_t>(TickCount() - give_up) >= 0) break;
    }
  }
  memory.out_of_step = false;
  return verdict;
}

void LineExchange::Learn(std::span<const uint8_t> payload, const RequestHeader& request) {
  StationMemory& memory = stations_[request.station];
  // Only good replies teach: what an error reply carries is the PLC's own.
  if (memory.echo != Echo::kLearning || !IsRead(request) || IsErrorReply(payload) ||
      !request.has_echo || payload.size() < kEchoFirst + 3) {
    return;
  }
  if (Echoes(payload, request)) {
    memory.miss_run = 0;
    if (++memory.echo_run >= kEchoRun) memory.echo = Echo::kEchoes;
    return;
  }
  memory.echo_run = 0;
  if (++memory.miss_run < kEchoRun) return;
  memory.echo = Echo::kNoEcho;
  ReportDriverNote(0, "국번 " + std::to_string(request.station) +
                          "의 응답이 요청의 개수와 주소를 되돌려주지 않아, 국번과 명령으로만 "
                          "응답을 확인합니다.");
}

int LineExchange::Receive(ReplyReader& reader, const RequestHeader& request,
                          std::span<const uint8_t> own_body,
                          std::span<uint8_t, kReplyBufferBytes> reply, int* length) {
  for (;;) {
    const int received = reader.Next(reply, length);
    if (received != kExchangeOk) return received;
    const auto payload = std::span<const uint8_t>(reply.data(), static_cast<size_t>(*length));
    if (SameBytes(payload, own_body)) {
      ++own_echoes_;  // the adapter heard our request: the reply is still to come
      continue;
    }
    const int verdict = Judge(payload, request, TickCount());
    if (verdict != kEarlierReply) return verdict;
    ++discarded_;  // a late reply to an earlier request: keep waiting
  }
}

void LineExchange::Settle(ReplyReader& reader, const RequestHeader& request,
                          std::span<uint8_t, kReplyBufferBytes> reply, int* length) {
  reader.Restart(kSettleMs);
  int spare_length = 0;
  while (reader.Next(spare_, &spare_length) == kExchangeOk) {
    const auto payload = std::span<const uint8_t>(spare_.data(), static_cast<size_t>(spare_length));
    if (Judge(payload, request, TickCount()) != kExchangeOk) {
      ++discarded_;
      continue;
    }
    // The first answer was the late one; this is the reply to our request.
    std::memcpy(reply.data(), spare_.data(), static_cast<size_t>(spare_length));
    *length = spare_length;
    ++discarded_;
  }
}

int LineExchange::Exchange(std::span<const uint8_t> frame,
                           std::span<uint8_t, kReplyBufferBytes> reply, int* length,
                           std::string* detail) {
  detail->clear();
  if (port_ == nullptr || !port_->IsOpen()) return kCannotSend;
  const RequestHeader request = RequestHeaderOf(frame);
  const int in_step = BackInStep(request.station);
  if (in_step != kExchangeOk) return in_step;
  std::array<uint8_t, kWriteFrameBytes> body{};
  const size_t body_length = RequestBody(frame, body);
  const int sent = SendFrame(*port_, frame);
  // A failure while the engine is stopping is the stop, not the line.
  if (sent != kExchangeOk) return port_->IsInterrupted() ? kExchangeInterrupted : sent;
  ReplyReader reader(*port_, timeout_ms_);
  const int received =
      Receive(reader, request, std::span<const uint8_t>(body.data(), body_length), reply, length);
  if (received != kExchangeOk) {
    if (port_->IsInterrupted()) return kExchangeInterrupted;
    if (received == kReceiveTimeout) NoteTimeout(request);
    return received;
  }
  StationMemory& memory = stations_[request.station];
  if (memory.unsettled) {
    Settle(reader, request, reply, length);
    if (port_->IsInterrupted()) return kExchangeInterrupted;
    memory.unsettled = false;
  }
  const auto payload = std::span<const uint8_t>(reply.data(), static_cast<size_t>(*length));
  Learn(payload, request);
  return CheckReplyHeader(payload, request, detail);
}

}  // namespace dravik
