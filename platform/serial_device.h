// SerialDevice: one open serial line (a tty, a USB adapter or a pseudo-terminal)
// in raw mode, with bounded waits for reading and writing. The engine owns one
// per prepared instance and only its scheduler thread reads and writes it;
// Interrupt() and ClearInterrupt() may be called from any other thread to make
// a waiting Read/Write (or Nap) give up at once (so stopping never waits for a
// line's time-outs). The device only says what happened to it (Loss()); what
// to do about a lost line is its owner's business. Copying is deleted; the
// descriptor is closed on destruction.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace dravik {

enum class LineParity { kNone, kEven, kOdd };

struct LineSettings {
  int baud = 9600;    // 300, 600, 1200, 2400, 4800, 9600 or 19200
  int data_bits = 8;  // 7 or 8
  LineParity parity = LineParity::kNone;
  int stop_bits = 1;  // 1 or 2
};

enum class IoStatus {
  kOk,           // something was read / everything was written
  kTimeout,      // nothing arrived / the write did not finish in time
  kHangup,       // the peer went away (hang-up, read end of file, EIO)
  kError,        // any other failure of the descriptor
  kInterrupted,  // Interrupt() was called and not yet cleared
};

// What became of a device that stopped working for good.
enum class DeviceLoss {
  kNone,    // working, or failed in a way that may pass (a time-out, a bad byte)
  kHungUp,  // hang-up, end of file or EIO: the other end or the adapter went away
  kGone,    // the device node was removed while open (an unplugged adapter)
};

class SerialDevice {
 public:
  SerialDevice();
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Opens `path` read/write, non-blocking, without becoming its controlling
  // terminal, exclusively (a second open of the same line fails while this one
  // holds it), and applies `settings` in raw mode without flow control and
  // with DTR and RTS dropped. On failure returns false and keeps the reason.
  bool Open(const std::string& path, const LineSettings& settings);
  // Takes over an already open descriptor (for example a pseudo-terminal
  // master its caller created). The descriptor is made non-blocking.
  bool Adopt(int fd);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // The reason of the last failure of Open/Adopt, as the system words it.
  const std::string& Error() const { return error_; }

  // Discards unsent output and unread input.
  void Purge();
  // Writes all `length` bytes within `timeout_ms`. On time-out the unsent
  // output is discarded, so nothing is left pending on the line.
  IoStatus Write(const uint8_t* data, size_t length, int timeout_ms);
  // Waits up to `timeout_ms` for input and reads what is there, at most
  // `capacity` bytes. kOk with *count > 0, or kTimeout with *count == 0.
  IoStatus Read(uint8_t* buffer, size_t capacity, int timeout_ms, size_t* count);

  // Set when a Read or Write found the device lost (and returned kHangup);
  // cleared by Open. Only the thread that reads and writes asks.
  DeviceLoss Loss() const { return loss_; }
  // Sleeps up to `ms` without using the descriptor; false when interrupted.
  bool Nap(int ms);

  // Any thread: makes a waiting and every later Read/Write return
  // kInterrupted until ClearInterrupt().
  void Interrupt();
  void ClearInterrupt();
  bool IsInterrupted() const { return interrupted_.load(); }

  int fd() const { return fd_; }

 private:
  // Waits for `events` on the descriptor; returns kOk when ready.
  IoStatus WaitFor(short events, int timeout_ms);
  void Fail(const char* what, int error_number);
  IoStatus Lost(DeviceLoss loss);
  bool NodeVanished() const;

  int fd_ = -1;
  DeviceLoss loss_ = DeviceLoss::kNone;
  int wake_fd_ = -1;  // eventfd written by Interrupt(); lives as long as *this
  std::atomic<bool> interrupted_{false};
  std::string error_;
};

// The device path for a port name "COMn" (also "\\.\COMn"): $DRAVIKNET_PORTS/COMn
// when that variable is set (whether or not the entry exists); otherwise
// /etc/draviknet/ports/COMn when that exists, else /dev/ttyS<n-1>. Empty for a
// name that is not COM followed by n >= 1. Besides the line settings' file
// name ($DRAVIKNET_CONFIG), the only place in the project that reads the
// environment.
std::string ResolveComPort(const std::string& com_name);

}  // namespace dravik
