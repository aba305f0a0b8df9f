#include "runtime/serial_link.h"

#include <chrono>
#include <string>

#include "runtime/host_services.h"

namespace dravik {

namespace {

constexpr int kMessagePortOpened = 3;
constexpr int kMessagePortNotOpened = 4;
constexpr int kFlagsConfiguration = 0;
constexpr int kFlagsStateChange = 2;

// How many bytes one read may take: the longest frame (DLE STX, 511 kept
// bytes, the checksum), so a reply that has arrived whole is taken in one
// read; a 60-word reply (130 bytes and more) needed two reads with a smaller
// chunk. A bigger chunk would only hold noise.
constexpr size_t kReadChunkBytes = 2 + kMaxKeptBytes + 1;

}  // namespace

std::string PortName(const CSerialPort& settings) {
  // On Windows ports above COM9 need the "\\.\" device-namespace form; the
  // POSIX resolver takes plain names for every number.
  return "COM" + std::to_string(settings.port + 1);
}

bool LineSettingsFor(const CSerialPort& settings, LineSettings* line) {
  if (settings.baud < 0 || settings.baud > 6) return false;
  if (settings.parity < 0 || settings.parity > 2) return false;
  static constexpr LineParity kParities[3] = {LineParity::kNone, LineParity::kEven,
                                              LineParity::kOdd};
  line->baud = 300 << settings.baud;
  line->parity = kParities[settings.parity];
  line->data_bits = settings.data_bits == 0 ? 7 : 8;
  line->stop_bits = settings.stop_bits == 0 ? 1 : 2;
  return true;
}

int OpenPort(const CSerialPort& settings, std::unique_ptr<SerialDevice>& handle) {
  const std::string name = PortName(settings);
  const std::string path = ResolveComPort(name);
  auto device = std::make_unique<SerialDevice>();
  LineSettings line;
  // An index outside its list (a damaged project file) cannot configure the
  // line; it is refused like a port that does not open.
  if (path.empty() || !LineSettingsFor(settings, &line) || !device->Open(path, line)) {
    const std::string text = name + " (" + path + ")";
    return ReportDriverMessage(kMessagePortNotOpened, kFlagsConfiguration, text.c_str());
  }
  handle = std::move(device);
  ReportDriverMessage(kMessagePortOpened, kFlagsStateChange);
  return 0;
}

int SendFrame(SerialDevice& device, std::span<const uint8_t> frame) {
  if (device.IsInterrupted()) return kExchangeInterrupted;
  // A late reply to an earlier request must not be taken for this one's.
  device.Purge();
  switch (device.Write(frame.data(), frame.size(), kWriteTimeoutMs)) {
    case IoStatus::kOk:
      return kExchangeOk;
    case IoStatus::kInterrupted:
      return kExchangeInterrupted;
    default:
      return kCannotSend;
  }
}

int ReceiveFrame(SerialDevice& device, std::span<uint8_t, kReplyBufferBytes> buffer, int* length) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto elapsed_ms = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };
  FrameReceiver receiver(buffer);
  uint8_t chunk[kReadChunkBytes];
  for (;;) {
    size_t got = 0;
    switch (device.Read(chunk, sizeof chunk, kReadWaitMs, &got)) {
      case IoStatus::kOk:
        break;
      case IoStatus::kTimeout:
        // The limit counts from the start but is checked only after an empty
        // read, so a long reply that keeps arriving is not cut off.
        if (elapsed_ms() >= kReceiveTimeoutMs) return kReceiveTimeout;
        continue;
      case IoStatus::kInterrupted:
        return kExchangeInterrupted;
      default:
        return kCannotReceive;
    }
    const int result = receiver.Feed(std::span<const uint8_t>(chunk, got), length);
    if (result != FrameReceiver::kNeedMore) return result;
    // Noise that never forms DLE STX neither fills the buffer nor leaves the
    // line silent; without this bound such a receive would never end.
    if (receiver.Hunting() && elapsed_ms() >= kReceiveTimeoutMs) return kReceiveTimeout;
  }
}

int FrameReceiver::Feed(std::span<const uint8_t> bytes, int* length) {
  for (const uint8_t b : bytes) {
    if (pos_ >= kMaxKeptBytes) return kBadFormat;
    switch (state_) {
      case State::kHunt:
        if (pos_ == 0) {
          if (b == kDle) pos_ = 1;
        } else {
          pos_ = 0;
          if (b == kStx) state_ = State::kInFrame;
        }
        break;
      case State::kInFrame:
        buffer_[pos_++] = b;
        if (b == kDle) state_ = State::kAfterDle;
        break;
      case State::kAfterDle:
        buffer_[pos_++] = b;
        state_ = b == kEtx ? State::kAwaitChecksum : State::kInFrame;
        break;
      case State::kAwaitChecksum: {
        const int m = UnstuffDle(buffer_, pos_ - 2);
        if (m < 0) return kBadFormat;
        const auto payload = std::span<const uint8_t>(buffer_.data(), static_cast<size_t>(m));
        if ((FrameChecksum(payload) & 0xFF) != b) return kChecksumMismatch;
        *length = m;
        return kExchangeOk;
      }
    }
  }
  return kNeedMore;
}

}  // namespace dravik
