// LineExchange: one request/reply exchange on the engine's line, and what the
// line remembers between exchanges so that a reply counts only when it answers
// the request just sent. Owned by the engine, used through the line context by
// pollers and write queues; scheduler thread only (the host thread sets it up
// before the scheduler starts), so it needs no lock.
//
// A reply that arrives after its request timed out lands in a later exchange
// (the purge before each request only clears what came before it). It must
// never stand for that later request's answer:
//
//   reply                                       judged as
//   ------------------------------------------  --------------------------------
//   another station, which timed out lately     an earlier request's: discarded
//   another command (not an error reply), from  an earlier request's: discarded
//     a station that timed out lately
//   bytes 2..4 differ from the request's count  an earlier request's (discarded)
//     and address, from a station that echoes     when the station timed out
//                                                 lately, else a bad reply (11)
//   another station or command otherwise        a bad reply (11)
//   station, command (and echo) match           the answer (12 for an error reply)
//
// "Lately" is kLateReplyWindowMs. A discarded reply is not a failure of its
// own: the receive goes on waiting for the answer within the same time limit.
//
// Echo. PLCs of this family send the request's count and address back in
// reply bytes 2..4 of a read reply, but nothing obliges a PLC to, so each
// station is learnt from its first read replies: kEchoRun replies in a row
// that echo make it an echoing station, held to that from then on; kEchoRun
// in a row that do not make it a station judged by station and command only
// (logged once). A learning station is judged as a non-echoing one. Write
// replies neither teach nor are held to the echo: a PLC may echo on reads and
// not on writes.
//
// Our own echo. On a 2-wire RS-485 line the adapter hears what it sends: a
// frame byte for byte the request just sent is skipped, and the reply after
// it is read as usual.
//
// Back in step. After a time-out the station may still send its late reply,
// and nothing in a reply that does not echo (or in a repeated request's
// reply, which echoes exactly) tells it from the answer to a newer request.
// So the line is out of step with that station until kResyncMs after the
// time-out: its next exchange first listens, sending nothing, until then
// (and to the end of a frame still arriving), and discards what comes. A
// late reply from that station answering the timed-out request, or one from
// another station that timed out lately, is passed over; anything else
// (another command, a damaged frame) ends the exchange as what it is (11, 13)
// without sending, since the line is not in step. Exchanges with other
// stations meanwhile count toward the wait, so a healthy line pays nothing
// and one time-out costs at most kResyncMs more before that station is asked
// again. Beyond it, the first answer after a time-out is followed by
// kSettleMs of listening: a PLC answers in order, so a second answer arriving
// then is the one to the request just sent and replaces the first.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "platform/serial_device.h"
#include "runtime/frame_codec.h"
#include "runtime/serial_link.h"

namespace dravik {

class LineExchange {
 public:
  static constexpr int kEchoRun = 3;
  static constexpr uint32_t kLateReplyWindowMs = 10000;
  static constexpr int kSettleMs = 200;
  static constexpr int kResyncMs = 2000;

  enum class Echo { kLearning, kEchoes, kNoEcho };

  void SetPort(SerialDevice* port) { port_ = port; }
  // The receive limit of the following exchanges (3000 ms; a probe's is shorter).
  void SetReceiveTimeout(int ms) { timeout_ms_ = ms; }
  int ReceiveTimeout() const { return timeout_ms_; }
  // The wait after a time-out (kResyncMs; tests shorten it).
  void SetResyncWindow(int ms) { resync_ms_ = ms; }

  // Sends `frame` and receives its answer into `reply`: 0 with *length set,
  // 8..13 (12 with the PLC's error number in `detail`; 11 or 13 without
  // sending when the wait to be back in step heard a wrong frame), or
  // kExchangeInterrupted when the engine is stopping.
  int Exchange(std::span<const uint8_t> frame, std::span<uint8_t, kReplyBufferBytes> reply,
               int* length, std::string* detail);

  // How the received `payload` stands to `request`: 0 when it answers it
  // (an error reply included), kEarlierReply, or 11.
  static constexpr int kEarlierReply = -3;
  int Judge(std::span<const uint8_t> payload, const RequestHeader& request, uint32_t now) const;

  Echo EchoOf(int station) const { return stations_[station & 0xFF].echo; }
  // Replies judged to answer an earlier request, since creation.
  uint64_t DiscardedReplies() const { return discarded_; }
  // Copies of our own requests heard back on the line, since creation.
  uint64_t OwnEchoes() const { return own_echoes_; }

 private:
  struct StationMemory {
    Echo echo = Echo::kLearning;
    int echo_run = 0;
    int miss_run = 0;
    bool late_possible = false;  // timed out lately (until late_until)
    uint32_t late_until = 0;
    bool unsettled = false;  // timed out and has not answered since
    bool out_of_step = false;  // timed out; in step again at resync_until
    uint32_t resync_until = 0;
    RequestHeader timed_out{};  // the request that timed out
  };

  bool LatePossible(uint8_t station, uint32_t now) const;
  // Station, command (or an error reply) and, for a read of an echoing
  // station, the echo agree with `request`.
  bool Answers(std::span<const uint8_t> payload, const RequestHeader& request) const;
  void NoteTimeout(const RequestHeader& request);
  int BackInStep(uint8_t station);
  void Learn(std::span<const uint8_t> payload, const RequestHeader& request);
  int Receive(ReplyReader& reader, const RequestHeader& request,
              std::span<const uint8_t> own_body, std::span<uint8_t, kReplyBufferBytes> reply,
              int* length);
  void Settle(ReplyReader& reader, const RequestHeader& request,
              std::span<uint8_t, kReplyBufferBytes> reply, int* length);

  SerialDevice* port_ = nullptr;
  int timeout_ms_ = 3000;
  int resync_ms_ = kResyncMs;
  std::array<StationMemory, 256> stations_{};
  std::array<uint8_t, kReplyBufferBytes> spare_{};  // a second answer while settling
  uint64_t discarded_ = 0;
  uint64_t own_echoes_ = 0;
};

}  // namespace dravik
