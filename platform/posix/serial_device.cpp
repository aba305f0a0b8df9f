#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/deadline.h"
#include "platform/posix/line_termios.h"

namespace dravik {

namespace {

bool BaudConstant(int baud, speed_t* speed) {
  switch (baud) {
    case 300:
      *speed = B300;
      return true;
    case 600:
      *speed = B600;
      return true;
    case 1200:
      *speed = B1200;
      return true;
    case 2400:
      *speed = B2400;
      return true;
    case 4800:
      *speed = B4800;
      return true;
    case 9600:
      *speed = B9600;
      return true;
    case 19200:
      *speed = B19200;
      return true;
    default:
      return false;
  }
}

bool EntryExists(const std::string& path) {
  // lstat: a dangling link still names the port; opening it then fails instead
  // of quietly falling through to a real ttyS device.
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

bool MakeLineTermios(const LineSettings& settings, termios* tio) {
  speed_t speed;
  if (!BaudConstant(settings.baud, &speed) ||
      (settings.data_bits != 7 && settings.data_bits != 8) ||
      (settings.stop_bits != 1 && settings.stop_bits != 2)) {
    return false;
  }
  ::cfmakeraw(tio);
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio->c_cflag |= CLOCAL | CREAD | (settings.data_bits == 7 ? CS7 : CS8);
  if (settings.parity != LineParity::kNone) tio->c_cflag |= PARENB;
  if (settings.parity == LineParity::kOdd) tio->c_cflag |= PARODD;
  if (settings.stop_bits == 2) tio->c_cflag |= CSTOPB;
  tio->c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR | PARMRK);
  tio->c_iflag |= INPCK;  // parity checking on, also when parity is none
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;
  ::cfsetispeed(tio, speed);
  ::cfsetospeed(tio, speed);
  return true;
}

SerialDevice::SerialDevice() { wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

SerialDevice::~SerialDevice() {
  Close();
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void SerialDevice::Fail(const char* what, int error_number) {
  error_ = std::string(what) + ": " + std::strerror(error_number);
}

bool SerialDevice::Open(const std::string& path, const LineSettings& settings) {
  Close();
  error_.clear();
  loss_ = DeviceLoss::kNone;
  termios tio{};
  if (!MakeLineTermios(settings, &tio)) {
    error_ = "unsupported line settings";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail("open", errno);
    return false;
  }
  auto give_up = [&](const char* what, int error_number) {
    Fail(what, error_number);
    ::close(fd);
    return false;
  };
  if (::tcgetattr(fd, &tio) != 0) return give_up("tcgetattr", errno);
  // TIOCEXCL keeps other processes out, but not one with CAP_SYS_ADMIN; the
  // lock also covers them (and a second open inside this process).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return give_up("lock", errno == EWOULDBLOCK ? EBUSY : errno);
  }
  if (::ioctl(fd, TIOCEXCL) != 0) return give_up("TIOCEXCL", errno);

  MakeLineTermios(settings, &tio);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    const int e = errno;
    ::ioctl(fd, TIOCNXCL);
    return give_up("tcsetattr", e);
  }
  // Pseudo-terminals have no modem lines; they answer ENOTTY or EINVAL.
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
    const int e = errno;
    ::ioctl(fd, TIOCNXCL);
    return give_up("TIOCMBIC", e);
  }
  fd_ = fd;
  return true;
}

bool SerialDevice::Adopt(int fd) {
  Close();
  error_.clear();
  loss_ = DeviceLoss::kNone;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    Fail("fcntl", errno);
    return false;
  }
  fd_ = fd;
  return true;
}

void SerialDevice::Close() {
  if (fd_ < 0) return;
  // Clear exclusive mode: another holder of the line (a simulator keeping the
  // slave side open) would otherwise keep it and refuse our next open.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
}

IoStatus SerialDevice::Lost(DeviceLoss loss) {
  loss_ = loss;
  return IoStatus::kHangup;
}

bool SerialDevice::NodeVanished() const {
  // An unplugged USB adapter's node is removed while we hold it open; a
  // descriptor whose node has no links left will never carry data again.
  struct stat st;
  return fd_ >= 0 && ::fstat(fd_, &st) == 0 && st.st_nlink == 0;
}

bool SerialDevice::Nap(int ms) {
  if (interrupted_.load()) return false;
  const Deadline deadline(static_cast<uint32_t>(ms < 0 ? 0 : ms));
  while (!deadline.Expired()) {
    pollfd wake = {wake_fd_, POLLIN, 0};
    const int r = ::poll(&wake, wake_fd_ >= 0 ? 1 : 0, deadline.RemainingMs());
    if (interrupted_.load()) return false;
    if (r > 0 && (wake.revents & POLLIN)) {
      // A wake-up left over from an interrupt that was cleared since.
      uint64_t stale;
      [[maybe_unused]] ssize_t n = ::read(wake_fd_, &stale, sizeof stale);
    }
  }
  return !interrupted_.load();
}

void SerialDevice::Purge() {
  if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
}

void SerialDevice::Interrupt() {
  interrupted_.store(true);
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
  }
}

void SerialDevice::ClearInterrupt() {
  interrupted_.store(false);
  if (wake_fd_ >= 0) {
    uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(wake_fd_, &count, sizeof count);
  }
}

IoStatus SerialDevice::WaitFor(short events, int timeout_ms) {
  const Deadline deadline(static_cast<uint32_t>(timeout_ms < 0 ? 0 : timeout_ms));
  for (;;) {
    if (interrupted_.load()) return IoStatus::kInterrupted;
    pollfd fds[2] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}};
    const nfds_t count = wake_fd_ >= 0 ? 2 : 1;
    const int r = ::poll(fds, count, deadline.RemainingMs());
    if (r < 0) {
      if (errno == EINTR) continue;
      return IoStatus::kError;
    }
    if (count == 2 && (fds[1].revents & POLLIN)) {
      if (interrupted_.load()) return IoStatus::kInterrupted;
      // A wake-up left over from an interrupt that was cleared since.
      uint64_t stale;
      [[maybe_unused]] ssize_t n = ::read(wake_fd_, &stale, sizeof stale);
    }
    const short got = fds[0].revents;
    if (got & events) return IoStatus::kOk;  // read it even when a hang-up follows
    if (got & POLLNVAL) return IoStatus::kError;
    if (got & (POLLHUP | POLLERR)) return IoStatus::kHangup;
    if (r == 0 || deadline.Expired()) return IoStatus::kTimeout;
  }
}

IoStatus SerialDevice::Write(const uint8_t* data, size_t length, int timeout_ms) {
  if (fd_ < 0) return IoStatus::kError;
  if (interrupted_.load()) return IoStatus::kInterrupted;
  const Deadline deadline(static_cast<uint32_t>(timeout_ms < 0 ? 0 : timeout_ms));
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd_, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return errno == EIO ? Lost(DeviceLoss::kHungUp) : IoStatus::kError;
    }
    if (deadline.Expired()) {
      ::tcflush(fd_, TCOFLUSH);
      return IoStatus::kTimeout;
    }
    const IoStatus ready = WaitFor(POLLOUT, deadline.RemainingMs());
    if (ready != IoStatus::kOk) {
      ::tcflush(fd_, TCOFLUSH);  // leave no half frame behind
      if (ready == IoStatus::kHangup) return Lost(DeviceLoss::kHungUp);
      return ready;
    }
  }
  return IoStatus::kOk;
}

IoStatus SerialDevice::Read(uint8_t* buffer, size_t capacity, int timeout_ms, size_t* count) {
  *count = 0;
  if (fd_ < 0) return IoStatus::kError;
  const Deadline deadline(static_cast<uint32_t>(timeout_ms < 0 ? 0 : timeout_ms));
  for (;;) {
    const IoStatus ready = WaitFor(POLLIN, deadline.RemainingMs());
    if (ready == IoStatus::kHangup) return Lost(DeviceLoss::kHungUp);
    // A silent line is the usual reason for a time-out; a removed node is the
    // other, and the only one that never ends.
    if (ready == IoStatus::kTimeout && NodeVanished()) return Lost(DeviceLoss::kGone);
    if (ready != IoStatus::kOk) return ready;
    const ssize_t n = ::read(fd_, buffer, capacity);
    if (n > 0) {
      *count = static_cast<size_t>(n);
      return IoStatus::kOk;
    }
    if (n == 0) return Lost(DeviceLoss::kHungUp);  // end of file: the peer closed
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Readiness without data (another reader was faster): wait again.
      if (deadline.Expired()) return IoStatus::kTimeout;
      continue;
    }
    return errno == EIO ? Lost(DeviceLoss::kHungUp) : IoStatus::kError;
  }
}

std::string ResolveComPort(const std::string& com_name) {
  std::string name = com_name;
  const std::string device_namespace = "\\\\.\\";
  if (name.compare(0, device_namespace.size(), device_namespace) == 0) {
    name.erase(0, device_namespace.size());
  }
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return {};
  int number = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || number > 100000) return {};
    number = number * 10 + (name[i] - '0');
  }
  if (number < 1) return {};
  const std::string entry = "COM" + std::to_string(number);
  // A private ports directory (tests, demos, a user's own setup) is the whole
  // truth: a port missing from it fails to open rather than falling through to
  // a system serial port, which on many machines is the console.
  if (const char* dir = std::getenv("DRAVIKNET_PORTS"); dir != nullptr && *dir != '\0') {
    return std::string(dir) + "/" + entry;
  }
  const std::string system_path = "/etc/draviknet/ports/" + entry;
  if (EntryExists(system_path)) return system_path;
  return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace dravik
