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
    const int result = ReportDriverMessage(kMessagePortNotOpened, kFlagsConfiguration, text.c_str());
    // Message 4 names the port; the note says why, so the user knows what
    // to fix (a missing device, the service user's permission, a damaged
    // setting).
    const std::string why = path.empty()                         ? "no device is known by this name"
                            : !LineSettingsFor(settings, &line) ? "the port settings hold an index outside its list"
                                                                : device->Error();
    ReportDriverNote(kFlagsConfiguration, text + ": " + why);
    return result;
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
  ReplyReader reader(device, kReceiveTimeoutMs);
  return reader.Next(buffer, length);
}

ReplyReader::ReplyReader(SerialDevice& device, int timeout_ms)
    : device_(device), start_(std::chrono::steady_clock::now()), timeout_ms_(timeout_ms) {}

void ReplyReader::Restart(int timeout_ms) {
  start_ = std::chrono::steady_clock::now();
  timeout_ms_ = timeout_ms;
}

long ReplyReader::ElapsedMs() const {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start_)
                               .count());
}

int ReplyReader::Next(std::span<uint8_t, kReplyBufferBytes> buffer, int* length) {
  FrameReceiver receiver(buffer);
  for (;;) {
    if (chunk_begin_ == chunk_end_) {
      // While hunting for the frame's start each read waits no longer than
      // the limit leaves, so a short limit (a probe's) is kept to within a
      // few ms. Once a frame has begun each read waits the full kReadWaitMs:
      // the limit is then checked only after an empty read of that length,
      // so a slow reply still arriving at the limit is read whole.
      const long left = timeout_ms_ - ElapsedMs();
      const int wait =
          !receiver.Hunting()
              ? kReadWaitMs
              : static_cast<int>(left < 1 ? 1 : (left > kReadWaitMs ? kReadWaitMs : left));
      size_t got = 0;
      switch (device_.Read(chunk_, sizeof chunk_, wait, &got)) {
        case IoStatus::kOk:
          break;
        case IoStatus::kTimeout:
          // The limit counts from the start but is checked only after an
          // empty read, so a long reply that keeps arriving is not cut off.
          if (ElapsedMs() >= timeout_ms_) return kReceiveTimeout;
          continue;
        case IoStatus::kInterrupted:
          return kExchangeInterrupted;
        default:
          return kCannotReceive;
      }
      chunk_begin_ = 0;
      chunk_end_ = got;
    }
    size_t taken = 0;
    const int result = receiver.Feed(
        std::span<const uint8_t>(chunk_ + chunk_begin_, chunk_end_ - chunk_begin_), length, &taken);
    chunk_begin_ += taken;
    if (result != FrameReceiver::kNeedMore) return result;
    // Noise that never forms DLE STX neither fills the buffer nor leaves the
    // line silent; without this bound such a receive would never end.
    if (receiver.Hunting() && ElapsedMs() >= timeout_ms_) return kReceiveTimeout;
  }
}

int FrameReceiver::Feed(std::span<const uint8_t> bytes, int* length, size_t* consumed) {
  size_t dummy = 0;
  size_t& taken = consumed != nullptr ? *consumed : dummy;
  taken = 0;
  for (const uint8_t b : bytes) {
    if (pos_ >= kMaxKeptBytes) return kBadFormat;
    ++taken;
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
