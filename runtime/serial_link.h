// The serial link: opens the configured COM port and moves one request frame
// out and one reply frame in. The engine owns the device handle OpenPort
// fills; OpenPort runs on the host's thread during preparation, SendFrame and
// ReceiveFrame only on the engine's scheduler thread, one exchange at a time.
//
// ReceiveFrame's framing, one byte at a time (bytes may come several per read):
//
//   state          byte          action                         next
//   Hunt, pos 0    DLE           pos = 1                        Hunt
//   Hunt, pos 0    other         dropped                        Hunt
//   Hunt, pos 1    STX           pos = 0 (DLE STX not kept)     InFrame
//   Hunt, pos 1    other, DLE    pos = 0                        Hunt
//   InFrame        DLE           kept                           AfterDle
//   InFrame        other         kept                           InFrame
//   AfterDle       ETX           kept                           AwaitChecksum
//   AfterDle       other, DLE    kept                           InFrame
//   AwaitChecksum  any           the checksum byte: finish
//
// Finishing: the kept bytes minus the closing DLE ETX are unstuffed in place;
// their FrameChecksum must equal the checksum byte (which is never doubled).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "model/serial_port.h"
#include "platform/serial_device.h"
#include "runtime/frame_codec.h"

namespace dravik {

// Returned by SendFrame/ReceiveFrame when the device was interrupted (the
// engine is stopping): not a failure of the line, so the caller reports nothing.
constexpr int kExchangeInterrupted = -1;

constexpr int kWriteTimeoutMs = 1000;    // a frame must be written within this
constexpr int kReadWaitMs = 1000;        // one read waits at most this long
constexpr int kReceiveTimeoutMs = 3000;  // an empty read after this gives 10
constexpr size_t kMaxKeptBytes = 511;    // a further byte gives 11

// "COMn" for the settings' port index (index + 1).
std::string PortName(const CSerialPort& settings);
// The line settings of the record's indexes; false for an index outside its list.
bool LineSettingsFor(const CSerialPort& settings, LineSettings* line);

// Opens and configures the port. 0 with `handle` set and message 3 logged;
// otherwise message 4 is logged with "COMn (path)" and its reporter's result
// returned, `handle` left empty.
int OpenPort(const CSerialPort& settings, std::unique_ptr<SerialDevice>& handle);

// Purges the line and writes the whole frame within 1000 ms: 0, 8, or
// kExchangeInterrupted.
int SendFrame(SerialDevice& device, std::span<const uint8_t> frame);

// Reads one reply. 0 with *length = payload bytes (station .. last data byte,
// unstuffed) in `buffer`; otherwise 9, 10, 11, 13 or kExchangeInterrupted.
int ReceiveFrame(SerialDevice& device, std::span<uint8_t, kReplyBufferBytes> buffer, int* length);

// Reads reply frames off a device within one receive's time limit, counted
// from the reader's start (or its last Restart) and checked after an empty
// read, as ReceiveFrame does. Bytes that follow a frame in the same read are
// kept for the next frame: a late reply and the answer after it may arrive
// together. One reader per exchange, on the thread that reads the device.
class ReplyReader {
 public:
  ReplyReader(SerialDevice& device, int timeout_ms);
  // The next frame: 0 with *length set, or 9, 10, 11, 13, kExchangeInterrupted.
  int Next(std::span<uint8_t, kReplyBufferBytes> buffer, int* length);
  // A new time limit from now; the kept bytes stay.
  void Restart(int timeout_ms);

 private:
  long ElapsedMs() const;

  SerialDevice& device_;
  std::chrono::steady_clock::time_point start_;
  int timeout_ms_;
  uint8_t chunk_[2 + kMaxKeptBytes + 1];  // the longest frame in one read
  size_t chunk_begin_ = 0;
  size_t chunk_end_ = 0;
};

// ReceiveFrame's framing state machine (the table above) without the device:
// fed the bytes as they arrive, in pieces of any size, it decides where the
// frame ends. One receiver per reply, on the thread that reads it.
class FrameReceiver {
 public:
  // Feed's result while the frame has not ended.
  static constexpr int kNeedMore = -2;

  explicit FrameReceiver(std::span<uint8_t, kReplyBufferBytes> buffer) : buffer_(buffer) {}

  // Takes bytes until the frame ends. kNeedMore when every byte was taken and
  // the frame is still open; otherwise 0 with *length set, 11 or 13, and the
  // bytes after the frame's end are not looked at (*consumed, when given,
  // counts the bytes taken).
  int Feed(std::span<const uint8_t> bytes, int* length, size_t* consumed = nullptr);
  // Still looking for DLE STX.
  bool Hunting() const { return state_ == State::kHunt; }

 private:
  enum class State { kHunt, kInFrame, kAfterDle, kAwaitChecksum };
  std::span<uint8_t, kReplyBufferBytes> buffer_;
  State state_ = State::kHunt;
  size_t pos_ = 0;
};

}  // namespace dravik
