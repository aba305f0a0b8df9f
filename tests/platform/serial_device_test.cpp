#include "platform/serial_device.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

#include <chrono>
#include <thread>

#include "platform/posix/line_termios.h"
#include "tests/platform/pty_pair.h"

namespace dravik {
namespace {

using testing::PtyPair;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(ResolveComPortTest, UsesThePortsDirectoryAloneWhenSetElseTheSystemOnes) {
  PtyPair pty(3);
  ASSERT_TRUE(pty.ok());
  EXPECT_EQ(ResolveComPort("COM3"), pty.link());
  EXPECT_EQ(ResolveComPort("\\\\.\\COM3"), pty.link());
  // A dangling entry still names the port: opening it fails rather than
  // reaching a real device.
  const std::string dangling = pty.AddLink("COM4", pty.dir() + "/nothing-here");
  EXPECT_EQ(ResolveComPort("COM4"), dangling);

  // With a ports directory set, a port missing from it stays there: it can
  // never fall through to a system serial port.
  EXPECT_EQ(ResolveComPort("COM12"), pty.dir() + "/COM12");
  // Without one: the system's ports directory, else /dev/ttyS<n-1>.
  const std::string saved = std::getenv("DRAVIKNET_PORTS");
  ::unsetenv("DRAVIKNET_PORTS");
  struct stat st;
  if (::lstat("/etc/draviknet/ports/COM12", &st) != 0) {
    EXPECT_EQ(ResolveComPort("COM12"), "/dev/ttyS11");  // resolved only, never opened
  }
  ::setenv("DRAVIKNET_PORTS", saved.c_str(), 1);
  for (const char* bad : {"COM0", "COM", "LPT1", "COMx", "com3", "COM3a", ""}) {
    EXPECT_EQ(ResolveComPort(bad), "") << bad;
  }
}

struct LineCase {
  int baud;
  speed_t speed;
  int data_bits;
  LineParity parity;
  int stop_bits;
};

const LineCase kLineCases[] = {
    {300, B300, 8, LineParity::kNone, 1},     {600, B600, 7, LineParity::kEven, 2},
    {1200, B1200, 8, LineParity::kOdd, 1},    {2400, B2400, 7, LineParity::kOdd, 2},
    {4800, B4800, 8, LineParity::kEven, 1},   {9600, B9600, 8, LineParity::kNone, 2},
    {19200, B19200, 7, LineParity::kNone, 1},
};

void ExpectRawWithoutFlowControl(const termios& tio, const LineCase& c) {
  EXPECT_EQ(::cfgetospeed(&tio), c.speed);
  EXPECT_EQ(::cfgetispeed(&tio), c.speed);
  EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stop_bits == 2);
  EXPECT_EQ((tio.c_cflag & PARODD) != 0, c.parity == LineParity::kOdd);
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_NE(tio.c_iflag & INPCK, 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ISTRIP | ICRNL | PARMRK | IGNPAR), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST(SerialDeviceTest, LineTermiosCarriesEverySetting) {
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.baud);
    termios tio{};
    tio.c_iflag = IXON | IXOFF | ICRNL | PARMRK;  // left over from a previous user
    tio.c_cflag = CRTSCTS | PARENB | CSTOPB;
    tio.c_lflag = ICANON | ECHO;
    ASSERT_TRUE(MakeLineTermios({c.baud, c.data_bits, c.parity, c.stop_bits}, &tio));
    ExpectRawWithoutFlowControl(tio, c);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(c.data_bits == 7 ? CS7 : CS8));
    EXPECT_EQ((tio.c_cflag & PARENB) != 0, c.parity != LineParity::kNone);
  }
  termios tio{};
  EXPECT_FALSE(MakeLineTermios({14400, 8, LineParity::kNone, 1}, &tio));
}

TEST(SerialDeviceTest, OpenAppliesTheLineSettingsInRawMode) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.baud);
    SerialDevice device;
    ASSERT_TRUE(device.Open(pty.link(), {c.baud, c.data_bits, c.parity, c.stop_bits}))
        << device.Error();
    termios tio;
    ASSERT_EQ(::tcgetattr(device.fd(), &tio), 0);
    // The pty driver forces 8 data bits and no parity enable; everything
    // else reads back as applied.
    ExpectRawWithoutFlowControl(tio, c);
  }
}

TEST(SerialDeviceTest, RefusesUnsupportedSettingsAndMissingDevices) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const LineSettings bad[] = {{110, 8, LineParity::kNone, 1},
                              {38400, 8, LineParity::kNone, 1},
                              {9600, 6, LineParity::kNone, 1},
                              {9600, 8, LineParity::kNone, 3}};
  for (const LineSettings& s : bad) {
    SerialDevice device;
    EXPECT_FALSE(device.Open(pty.link(), s));
    EXPECT_FALSE(device.IsOpen());
    EXPECT_FALSE(device.Error().empty());
  }
  SerialDevice device;
  EXPECT_FALSE(device.Open(pty.dir() + "/COM99", LineSettings{}));
  EXPECT_NE(device.Error().find("No such file"), std::string::npos) << device.Error();
  // Not a terminal at all.
  EXPECT_FALSE(device.Open("/dev/null", LineSettings{}));
  EXPECT_FALSE(device.IsOpen());
}

TEST(SerialDeviceTest, SecondOpenOfTheSameLineFailsUntilTheFirstCloses) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice first;
  ASSERT_TRUE(first.Open(pty.link(), LineSettings{})) << first.Error();
  SerialDevice second;
  EXPECT_FALSE(second.Open(pty.link(), LineSettings{}));
  EXPECT_NE(second.Error().find("busy"), std::string::npos) << second.Error();
  first.Close();
  EXPECT_TRUE(second.Open(pty.link(), LineSettings{})) << second.Error();
}

TEST(SerialDeviceTest, ReadsAndWritesBothWays) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.link(), LineSettings{}));
  const std::vector<uint8_t> out = {0x10, 0x02, 0x00, 0x0D, 0x0A, 0xFF, 0x11, 0x13};
  ASSERT_EQ(device.Write(out.data(), out.size(), 1000), IoStatus::kOk);
  EXPECT_EQ(pty.Receive(out.size(), 2000), out);  // raw: no CR/LF mapping, no XON/XOFF

  ASSERT_TRUE(pty.Send(out));
  std::vector<uint8_t> in;
  while (in.size() < out.size()) {
    uint8_t buf[4];  // smaller than what is waiting: a read takes at most its capacity
    size_t n = 0;
    ASSERT_EQ(device.Read(buf, sizeof buf, 2000, &n), IoStatus::kOk);
    ASSERT_GT(n, 0u);
    ASSERT_LE(n, sizeof buf);
    in.insert(in.end(), buf, buf + n);
  }
  EXPECT_EQ(in, out);
}

TEST(SerialDeviceTest, ReadTimesOutWithNothingAndPurgeDropsUnreadInput) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.link(), LineSettings{}));
  uint8_t buf[16];
  size_t n = 99;
  const auto start = Clock::now();
  EXPECT_EQ(device.Read(buf, sizeof buf, 150, &n), IoStatus::kTimeout);
  EXPECT_EQ(n, 0u);
  EXPECT_GE(ElapsedMs(start), 140);

  ASSERT_TRUE(pty.Send({1, 2, 3}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  device.Purge();
  EXPECT_EQ(device.Read(buf, sizeof buf, 100, &n), IoStatus::kTimeout);
}

TEST(SerialDeviceTest, HangupOfThePeerEndsAReadAtOnce) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.link(), LineSettings{}));
  pty.CloseMaster();
  uint8_t buf[16];
  size_t n = 0;
  const auto start = Clock::now();
  for (int i = 0; i < 3; ++i) {  // and again: never waits, never blocks
    EXPECT_EQ(device.Read(buf, sizeof buf, 5000, &n), IoStatus::kHangup);
  }
  EXPECT_LT(ElapsedMs(start), 1000);
}

TEST(SerialDeviceTest, WriteThatCannotFinishTimesOut) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.link(), LineSettings{}));
  // Nobody reads the master, so its buffer fills and the write stalls.
  std::vector<uint8_t> big(1 << 20, 0x55);
  const auto start = Clock::now();
  EXPECT_EQ(device.Write(big.data(), big.size(), 200), IoStatus::kTimeout);
  const long ms = ElapsedMs(start);
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 5000);
}

TEST(SerialDeviceTest, InterruptEndsAWaitingReadAndHoldsUntilCleared) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.link(), LineSettings{}));
  IoStatus status = IoStatus::kOk;
  long waited = 0;
  std::thread reader([&] {
    uint8_t buf[8];
    size_t n = 0;
    const auto start = Clock::now();
    status = device.Read(buf, sizeof buf, 10000, &n);
    waited = ElapsedMs(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  device.Interrupt();
  reader.join();
  EXPECT_EQ(status, IoStatus::kInterrupted);
  EXPECT_LT(waited, 5000);

  uint8_t buf[8];
  size_t n = 0;
  ASSERT_TRUE(pty.Send({7}));
  EXPECT_EQ(device.Read(buf, sizeof buf, 1000, &n), IoStatus::kInterrupted);
  const uint8_t byte = 1;
  EXPECT_EQ(device.Write(&byte, 1, 1000), IoStatus::kInterrupted);
  EXPECT_TRUE(device.IsInterrupted());

  device.ClearInterrupt();
  EXPECT_FALSE(device.IsInterrupted());
  ASSERT_EQ(device.Read(buf, sizeof buf, 1000, &n), IoStatus::kOk);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(device.Read(buf, sizeof buf, 50, &n), IoStatus::kTimeout);
}

TEST(SerialDeviceTest, ClosedDeviceReportsErrors) {
  SerialDevice device;
  uint8_t buf[4] = {};
  size_t n = 0;
  EXPECT_EQ(device.Read(buf, sizeof buf, 10, &n), IoStatus::kError);
  EXPECT_EQ(device.Write(buf, sizeof buf, 10), IoStatus::kError);
  device.Purge();  // harmless
  device.Close();
}

}  // namespace
}  // namespace dravik
