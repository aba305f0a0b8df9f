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
}  // namespace

bool LineExchange::LatePossible(uint8_t station, uint32_t now) const {
  const StationMemory& memory = stations_[station];
  // Signed difference: right across the wrap of the millisecond tick.
  return memory.late_possible && static_cast<int32_t>(now - memory.late_until) < 0;
}

int LineExchange::Judge(std::span<const uint8_t> payload, const RequestHeader& request,
                        uint32_t now) const {
  if (payload.size() < 2) return kBadFormat;
  const uint8_t station = payload[0];
  const bool late = LatePossible(station, now);
  if (station != request.station) return late ? kEarlierReply : kBadFormat;
  // An error reply carries the error number where the command was.
  if (!IsErrorReply(payload) && (payload[1] & 0x7F) != (request.command & 0x7F)) {
    return late ? kEarlierReply : kBadFormat;
  }
  if (stations_[station].echo == Echo::kEchoes && payload.size() >= kEchoFirst + 3 &&
      !Echoes(payload, request)) {
    return late ? kEarlierReply : kBadFormat;
  }
  return kExchangeOk;
}

void LineExchange::NoteTimeout(uint8_t station) {
  StationMemory& memory = stations_[station];
  memory.late_possible = true;
  memory.late_until = TickCount() + kLateReplyWindowMs;
  memory.unsettled = true;
}

void LineExchange::Learn(std::span<const uint8_t> payload, const RequestHeader& request) {
  StationMemory& memory = stations_[request.station];
  // Only good replies teach: what an error reply carries is the PLC's own.
  if (memory.echo != Echo::kLearning || IsErrorReply(payload) || !request.has_echo ||
      payload.size() < kEchoFirst + 3) {
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
                          std::span<uint8_t, kReplyBufferBytes> reply, int* length) {
  for (;;) {
    const int received = reader.Next(reply, length);
    if (received != kExchangeOk) return received;
    const int verdict = Judge(std::span<const uint8_t>(reply.data(), static_cast<size_t>(*length)),
                              request, TickCount());
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
  const int sent = SendFrame(*port_, frame);
  // A failure while the engine is stopping is the stop, not the line.
  if (sent != kExchangeOk) return port_->IsInterrupted() ? kExchangeInterrupted : sent;
  const RequestHeader request = RequestHeaderOf(frame);
  ReplyReader reader(*port_, timeout_ms_);
  const int received = Receive(reader, request, reply, length);
  if (received != kExchangeOk) {
    if (port_->IsInterrupted()) return kExchangeInterrupted;
    if (received == kReceiveTimeout) NoteTimeout(request.station);
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
