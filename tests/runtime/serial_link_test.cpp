#include "runtime/serial_link.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/wendro_r.h"
#include "platform/dynamic_library.h"
#include "runtime/host_services.h"
#include "runtime/line_exchange.h"
#include "runtime/read_request.h"
#include "tests/platform/pty_pair.h"

namespace dravik {
namespace {

using testing::PtyPair;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The log lines that reach the host's run-time library.
struct LogLine {
  int flags;
  std::string text;
};

class LogCapture {
 public:
  LogCapture() {
    // The stand-ins sit beside this program. Loading them by full path first
    // lets the runtime's load by name find them even where its dlopen does not
    // see this program's RUNPATH (the sanitizers' interceptors call it).
    const std::string folder = ProgramFolder();
    dbm_.Load(folder + kTarselDbmLibrary);
    if (!library_.Load(folder + kWendroRLibrary)) return;
    BindRuntimeLibraries();
    {
      install_ = reinterpret_cast<void (*)(const WendroRHandler*)>(
          library_.Symbol("WendroRInstallHandler"));
    }
    if (install_ != nullptr) {
      WendroRHandler handler;
      handler.context = this;
      handler.on_log = [](void* context, int, int flags, const char* text) {
        auto* self = static_cast<LogCapture*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.push_back({flags, text});
      };
      install_(&handler);
    }
  }
  ~LogCapture() {
    if (install_ != nullptr) install_(nullptr);
  }
  bool ok() const { return install_ != nullptr; }
  const std::string& error() const { return library_.Error(); }
  std::vector<LogLine> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  static std::string ProgramFolder() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string text(path, static_cast<size_t>(n));
    return text.substr(0, text.rfind('/') + 1);
  }

  DynamicLibrary dbm_;
  DynamicLibrary library_;
  void (*install_)(const WendroRHandler*) = nullptr;
  std::mutex mutex_;
  std::vector<LogLine> lines_;
};

Bytes Frame(const Bytes& body) {
  Bytes out = {kDle, kStx};
  for (const uint8_t b : body) {
    out.push_back(b);
    if (b == kDle) out.push_back(kDle);
  }
  out.push_back(kDle);
  out.push_back(kEtx);
  out.push_back(static_cast<uint8_t>(FrameChecksum(body)));
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A line whose far end the test plays, with the device opened through OpenPort.
class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_TRUE(log_.ok()) << log_.error();
    settings_.port = 4;  // COM5
    ASSERT_EQ(OpenPort(settings_, device_), 0);
    ASSERT_NE(device_, nullptr);
    log_.Take();
  }

  int Receive(Bytes* payload) {
    std::array<uint8_t, kReplyBufferBytes> buffer{};
    int length = -7;
    const int result = ReceiveFrame(*device_, buffer, &length);
    if (result == 0) payload->assign(buffer.begin(), buffer.begin() + length);
    return result;
  }

  PtyPair pty_{5};
  LogCapture log_;
  CSerialPort settings_;
  std::unique_ptr<SerialDevice> device_;
};

TEST(PortNameTest, UsesPlainComNamesForEveryIndex) {
  CSerialPort s;
  const std::pair<int, const char*> cases[] = {
      {0, "COM1"}, {8, "COM9"}, {9, "COM10"}, {255, "COM256"}};
  for (const auto& [index, name] : cases) {
    s.port = index;
    EXPECT_EQ(PortName(s), name);
  }
}

TEST(LineSettingsTest, IndexesMapToTheLine) {
  struct Case {
    int baud, parity, data, stop;
    int want_baud;
    LineParity want_parity;
    int want_data, want_stop;
  };
  const Case cases[] = {
      {0, 0, 1, 0, 300, LineParity::kNone, 8, 1},  {1, 1, 0, 1, 600, LineParity::kEven, 7, 2},
      {2, 2, 1, 0, 1200, LineParity::kOdd, 8, 1},  {3, 0, 5, 7, 2400, LineParity::kNone, 8, 2},
      {4, 1, 1, 0, 4800, LineParity::kEven, 8, 1}, {5, 0, 1, 0, 9600, LineParity::kNone, 8, 1},
      {6, 2, 0, 1, 19200, LineParity::kOdd, 7, 2},
  };
  for (const Case& c : cases) {
    CSerialPort s;
    s.baud = c.baud;
    s.parity = c.parity;
    s.data_bits = c.data;
    s.stop_bits = c.stop;
    LineSettings line;
    ASSERT_TRUE(LineSettingsFor(s, &line));
    EXPECT_EQ(line.baud, c.want_baud);
    EXPECT_EQ(line.parity, c.want_parity);
    EXPECT_EQ(line.data_bits, c.want_data);
    EXPECT_EQ(line.stop_bits, c.want_stop);
  }
  for (const auto& [baud, parity] : {std::pair{7, 0}, {-1, 0}, {0, 3}, {0, -1}}) {
    CSerialPort s;
    s.baud = baud;
    s.parity = parity;
    LineSettings line;
    EXPECT_FALSE(LineSettingsFor(s, &line)) << baud << " " << parity;
  }
}

TEST_F(LinkTest, OpenPortAppliesTheSettingsAndReportsIt) {
  device_.reset();
  settings_.baud = 0;
  settings_.parity = 2;
  settings_.data_bits = 0;
  settings_.stop_bits = 1;
  ASSERT_EQ(OpenPort(settings_, device_), 0);
  ASSERT_NE(device_, nullptr);
  termios tio;
  ASSERT_EQ(::tcgetattr(device_->fd(), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B300));
  EXPECT_NE(tio.c_cflag & PARODD, 0u);  // a pty keeps PARODD but forces CS8 and clears PARENB
  EXPECT_NE(tio.c_iflag & INPCK, 0u);
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  const auto lines = log_.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].flags, 2 | 0x100);
  EXPECT_EQ(lines[0].text, "[Dravik RS232/422] 통신포트 초기화 완료");
}

TEST_F(LinkTest, OpenPortOfABusyOrMissingPortReportsMessage4) {
  // The fixture holds COM5; a second open must fail and name the resolved path.
  std::unique_ptr<SerialDevice> second;
  EXPECT_EQ(OpenPort(settings_, second), -4);
  EXPECT_EQ(second, nullptr);
  // A dangling link in the ports directory: the port is named but absent.
  pty_.AddLink("COM6", pty_.dir() + "/gone");
  CSerialPort missing;
  missing.port = 5;
  EXPECT_EQ(OpenPort(missing, second), -4);
  EXPECT_EQ(second, nullptr);
  // Bad list indexes from a damaged file cannot set up the line.
  CSerialPort damaged = settings_;
  damaged.baud = 9;
  device_.reset();
  EXPECT_EQ(OpenPort(damaged, second), -4);

  // Each message 4 is followed by a note that says why.
  const auto lines = log_.Take();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].flags, 0x100);
  EXPECT_EQ(lines[0].text,
            "[Dravik RS232/422] 통신포트[COM5 (" + pty_.link() + ")]를 열 수 없습니다.");
  EXPECT_NE(lines[1].text.find("COM5 (" + pty_.link() + "): lock: Device or resource busy"),
            std::string::npos)
      << lines[1].text;
  EXPECT_EQ(lines[2].text,
            "[Dravik RS232/422] 통신포트[COM6 (" + pty_.dir() + "/COM6)]를 열 수 없습니다.");
  EXPECT_NE(lines[3].text.find("No such file or directory"), std::string::npos) << lines[3].text;
  EXPECT_EQ(lines[4].text, lines[0].text);
  EXPECT_NE(lines[5].text.find("an index outside its list"), std::string::npos) << lines[5].text;
}

TEST_F(LinkTest, SendFramePurgesStaleInputAndWritesTheFrame) {
  // A late reply from an earlier exchange is waiting on the line.
  ASSERT_TRUE(pty_.Send(Frame({1, 2, 4, 0, 0, 0xAA, 0xAA})));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const Bytes request = {0x10, 0x02, 0x01, 0x02, 0x04, 0x04, 0x12, 0x10, 0x03, 0xE3};
  ASSERT_EQ(SendFrame(*device_, request), 0);
  EXPECT_EQ(pty_.Receive(request.size(), 2000), request);

  const Bytes reply = {1, 2, 1, 4, 0x12, 0x12, 0x34};
  ASSERT_TRUE(pty_.Send(Frame(reply)));
  Bytes payload;
  ASSERT_EQ(Receive(&payload), 0);
  EXPECT_EQ(payload, reply);
}

TEST_F(LinkTest, ReceiveFrameHandlesTheFramingCases) {
  const Bytes body = {0x01, 0x02, 0x02, 0x04, 0x12, 0xAB, 0xCD, 0x00, 0x07};
  const Bytes with_dle = {0x01, 0x01, 0x10, 0x00, 0x00, 0x10, 0x10};
  // 1 + 2 + 0xED = 0xF0: the checksum byte is 0x10 and is sent once.
  const Bytes checksum_dle = {0x01, 0x02, 0x00, 0x00, 0xED};
  Bytes bad_checksum = Frame(body);
  bad_checksum.back() ^= 0x01;

  struct Case {
    const char* name;
    Bytes wire;
    int result;
    Bytes payload;
  };
  const std::vector<Case> cases = {
      {"plain", Frame(body), 0, body},
      {"noise before the frame", Concat({{0x55, 0x03, 0x02, 0xFF, 0x10, 0x10, 0x00}, Frame(body)}),
       0, body},
      {"doubled DLE returned once", Frame(with_dle), 0, with_dle},
      // If DLE DLE STX had started a frame, the junk and the real frame would
      // be one body with a wrong checksum.
      {"DLE DLE STX does not start a frame", Concat({{0x10, 0x10, 0x02, 0x31, 0x32}, Frame(body)}),
       0, body},
      {"checksum byte 0x10", Frame(checksum_dle), 0, checksum_dle},
      {"DLE before another byte keeps the DLE and drops that byte",
       {0x10, 0x02, 0x01, 0x10, 0x05, 0x06, 0x10, 0x03,
        static_cast<uint8_t>(FrameChecksum(Bytes{0x01, 0x10, 0x06}))},
       0,
       {0x01, 0x10, 0x06}},
      {"wrong checksum", bad_checksum, 13, {}},
      {"bytes after the checksum are left", Concat({Frame(body), {0x10, 0x02, 0x09}}), 0, body},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device_->Purge();
    ASSERT_TRUE(pty_.Send(c.wire));
    Bytes payload;
    const auto start = Clock::now();
    EXPECT_EQ(Receive(&payload), c.result);
    EXPECT_LT(ElapsedMs(start), 900);  // ends on the checksum byte, not on a time-out
    if (c.result == 0) {
      EXPECT_EQ(payload, c.payload);
    }
  }
}

TEST_F(LinkTest, ReceiveFrameFollowsASlowReplyByteByByte) {
  const Bytes body = {0x03, 0x02, 0x01, 0x00, 0x10, 0x10, 0x03};
  const Bytes wire = Frame(body);
  std::thread writer([&] {
    for (const uint8_t b : wire) {
      pty_.Send({b});
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
  });
  Bytes payload;
  EXPECT_EQ(Receive(&payload), 0);
  writer.join();
  EXPECT_EQ(payload, body);
}

// A reply that begins before the limit and is still arriving when it passes
// (a slow line, a probe's short limit) is read whole, not cut off.
TEST_F(LinkTest, AReplyStillArrivingAtTheLimitIsReadWhole) {
  Bytes body(40, 0x21);
  const Bytes wire = Frame(body);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (const uint8_t b : wire) {
      pty_.Send({b});
      std::this_thread::sleep_for(std::chrono::milliseconds(9));
    }
  });
  ReplyReader reader(*device_, 200);  // the frame starts at 150 ms and ends near 550 ms
  std::array<uint8_t, kReplyBufferBytes> buffer{};
  int length = -7;
  EXPECT_EQ(reader.Next(buffer, &length), 0);
  writer.join();
  ASSERT_EQ(length, static_cast<int>(body.size()));
  EXPECT_TRUE(std::equal(body.begin(), body.end(), buffer.begin()));
}

TEST_F(LinkTest, ReceiveFrameBoundsTheFrameAt511KeptBytes) {
  // 508 body bytes + DLE ETX = 510 kept: the checksum still fits.
  Bytes longest(508, 0x41);
  longest[0] = 1;
  ASSERT_TRUE(pty_.Send(Frame(longest)));
  Bytes payload;
  ASSERT_EQ(Receive(&payload), 0);
  EXPECT_EQ(payload, longest);

  // One byte more: the checksum byte arrives when 511 are held.
  device_->Purge();
  ASSERT_TRUE(pty_.Send(Frame(Bytes(509, 0x41))));
  EXPECT_EQ(Receive(&payload), 11);

  // A frame that never closes: the 512th byte gives 11, and the caller's
  // buffer is never written past its 512 bytes.
  device_->Purge();
  ASSERT_TRUE(pty_.Send(Concat({{kDle, kStx}, Bytes(700, 0x42)})));
  std::array<uint8_t, kReplyBufferBytes + 16> guarded;
  guarded.fill(0xEE);
  int length = 0;
  EXPECT_EQ(ReceiveFrame(*device_,
                         std::span<uint8_t, kReplyBufferBytes>(guarded.data(), kReplyBufferBytes),
                         &length),
            11);
  for (size_t i = kReplyBufferBytes; i < guarded.size(); ++i) EXPECT_EQ(guarded[i], 0xEE) << i;
}

// The two cases that have to wait for the receive time-out, grouped.
TEST_F(LinkTest, SilenceAndEndlessNoiseBothEndWithTimeout) {
  Bytes payload;
  auto start = Clock::now();
  EXPECT_EQ(Receive(&payload), 10);  // 10, not 9: an empty read is not a failure
  long ms = ElapsedMs(start);
  EXPECT_GE(ms, 2900);
  EXPECT_LT(ms, 6000);

  // Bytes keep coming but never form DLE STX.
  std::atomic<bool> stop{false};
  std::thread noise([&] {
    const auto give_up =
        Clock::now() + std::chrono::seconds(8);  // a receive that never ends fails, not hangs
    while (!stop && Clock::now() < give_up) {
      pty_.Send({0x55, 0x10, 0x10, 0x03, 0xAA});
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  start = Clock::now();
  EXPECT_EQ(Receive(&payload), 10);
  ms = ElapsedMs(start);
  stop = true;
  noise.join();
  EXPECT_GE(ms, 2900);
  EXPECT_LT(ms, 6000);
}

TEST_F(LinkTest, ClosedPeerGivesCannotReceiveAtOnceWithoutSpinning) {
  pty_.CloseMaster();
  const std::clock_t cpu_start = std::clock();
  const auto start = Clock::now();
  Bytes payload;
  EXPECT_EQ(Receive(&payload), 9);
  EXPECT_LT(ElapsedMs(start), 1000);
  const double cpu_seconds = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu_seconds, 0.5);
  const Bytes frame = {0x10, 0x02, 0x01, 0x02, 0x01, 0x04, 0x00, 0x10, 0x03, 0xF8};
  EXPECT_EQ(SendFrame(*device_, frame), 8);
}

TEST_F(LinkTest, InterruptEndsAnExchangeWithoutAResult) {
  int result = 0;
  long waited = 0;
  std::thread receiver([&] {
    Bytes payload;
    const auto start = Clock::now();
    result = Receive(&payload);
    waited = ElapsedMs(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  device_->Interrupt();
  receiver.join();
  EXPECT_EQ(result, kExchangeInterrupted);
  EXPECT_LT(waited, 2000);
  const Bytes frame = {0x10, 0x02, 0x01, 0x02, 0x01, 0x04, 0x00, 0x10, 0x03, 0xF8};
  EXPECT_EQ(SendFrame(*device_, frame), kExchangeInterrupted);
  EXPECT_TRUE(pty_.Receive(1, 100).empty());  // nothing was sent

  device_->ClearInterrupt();
  EXPECT_EQ(SendFrame(*device_, frame), 0);
  EXPECT_EQ(pty_.Receive(frame.size(), 1000), frame);
}

// LineExchange: the test plays a PLC that answers late, or not its own
// request. Each step is one exchange: the request (A = R1 x2 or B = R11 x2 of
// station 1, C = R1 x2 of station 2, W = a write of R1 of station 1), what the
// far end sends before the request arrives (while the line gets back in step),
// whether it then hears the request back (a 2-wire adapter), what it sends
// once the request arrived (after a pause, in one write each), and the result
// and first data byte the exchange must give.
Bytes ReplyTo(int station, int address_low, int data, bool echo = true) {
  return Frame({static_cast<uint8_t>(station), 0x02, static_cast<uint8_t>(echo ? 2 : 0),
                static_cast<uint8_t>(echo ? 0x04 : 0), static_cast<uint8_t>(echo ? address_low : 0),
                0, static_cast<uint8_t>(data), 0, 0});
}

struct Chunk {
  int pause_ms;
  Bytes bytes;
};

struct Step {
  char request;  // 'A', 'B', 'C' or 'W'
  std::vector<Chunk> chunks;
  int result;
  int data = 0;  // the first data word's low byte when a read's result is 0
  std::vector<Chunk> before = {};
  bool own_echo = false;
};

struct ExchangeCase {
  const char* name;
  std::vector<Step> steps;
};

const Bytes kA1 = ReplyTo(1, 0x00, 0xA1), kA2 = ReplyTo(1, 0x00, 0xA2),
            kB1 = ReplyTo(1, 0x14, 0xB1);
const Bytes kWriteAck = Frame({1, 0x05, 0, 0, 0}), kWriteRefused = Frame({1, 0x82, 0, 0, 0});
// Three echoing answers teach station 1 that it echoes.
const std::vector<Step> kLearn = {
    {'A', {{0, kA1}}, 0, 0xA1}, {'B', {{0, kB1}}, 0, 0xB1}, {'A', {{0, kA1}}, 0, 0xA1}};

std::vector<Step> Then(std::vector<Step> first, const std::vector<Step>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

// A late reply comes while the line waits to be back in step; the answer
// comes 250 ms after its request, later than the settling after a first answer.
const ExchangeCase kExchangeCases[] = {
    {"LateReplyAndTheAnswerInOneRead",
     Then(kLearn, {{'A', {}, kReceiveTimeout}, {'B', {{0, Concat({kA1, kB1})}}, 0, 0xB1}})},
    {"LateReplyFromAnotherStationIsPassedOver",
     {{'C', {}, kReceiveTimeout}, {'A', {{0, Concat({ReplyTo(2, 0, 0xC1), kA1})}}, 0, 0xA1}}},
    {"AnotherStationWithNothingOutstandingIsABadReply",
     {{'A', {{0, ReplyTo(2, 0, 0xC1)}}, kBadFormat}}},
    {"EchoingStationAnsweringAnotherAddressIsABadReply",
     Then(kLearn, {{'B', {{0, kA1}}, kBadFormat}})},
    {"RepeatedRequestTakesTheAnswerAfterTheLateOne",
     Then(kLearn, {{'A', {}, kReceiveTimeout}, {'A', {{0, kA1}, {60, kA2}}, 0, 0xA2}})},
    {"PlcWithoutEchoIsJudgedByStationAndCommand",
     {{'A', {{0, ReplyTo(1, 0, 0xA1, false)}}, 0, 0xA1},
      {'B', {{0, ReplyTo(1, 0, 0xB1, false)}}, 0, 0xB1},
      {'A', {{0, ReplyTo(1, 0, 0xA1, false)}}, 0, 0xA1},
      {'B', {{0, ReplyTo(1, 0, 0xB2, false)}}, 0, 0xB2}}},
    {"LateReplyOfAPlcWithoutEchoIsNeverTheOtherBlocksAnswer",
     {{'A', {}, kReceiveTimeout},
      {'B', {{250, ReplyTo(1, 0, 0xB1, false)}}, 0, 0xB1, {{100, ReplyTo(1, 0, 0xA1, false)}}}}},
    {"LateReplyOfTheSameBlockIsNeverTheFreshAnswer",
     Then(kLearn, {{'A', {}, kReceiveTimeout}, {'A', {{250, kA2}}, 0, 0xA2, {{100, kA1}}}})},
    {"LateAcknowledgementIsNeverTheNextWritesAnswer",
     {{'W', {}, kReceiveTimeout}, {'W', {{250, kWriteRefused}}, kPlcError, 0, {{100, kWriteAck}}}}},
    {"WrongReplyWhileGettingBackInStepIsABadReply",
     {{'A', {}, kReceiveTimeout}, {'B', {}, kBadFormat, 0, {{100, Frame({1, 0x01, 0, 0, 0, 0})}}}}},
    {"OwnEchoIsSkipped", {{'A', {{20, kA1}}, 0, 0xA1, {}, true}}},
    {"WriteHeardOnlyAsOwnEchoTimesOut", {{'W', {}, kReceiveTimeout, 0, {}, true}}},
    {"EchoIsLearntFromReadsOnly", Then(kLearn, {{'W', {{0, kWriteAck}}, 0, 0}})},
};

class ExchangeTest : public LinkTest, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeTest, AReplyCountsOnlyForTheRequestItAnswers) {
  LineExchange exchange;
  exchange.SetPort(device_.get());
  exchange.SetReceiveTimeout(500);
  exchange.SetResyncWindow(400);
  ReadRequest a, b, c;
  ASSERT_TRUE(a.Build(1, 7, 1, 2) && b.Build(1, 7, 11, 2) && c.Build(2, 7, 1, 2));
  const uint8_t word[2] = {0x34, 0x12};
  const std::unique_ptr<RequestFrame> w = BuildWriteRequest(1, 7, 1, word);
  ASSERT_NE(w, nullptr);
  const auto frame_of = [&](char r) {
    if (r == 'W') return Bytes(w->frame, w->frame + w->length);
    const ReadRequest& read = r == 'A' ? a : r == 'B' ? b : c;
    return Bytes(read.frame.begin(), read.frame.begin() + read.length);
  };
  int k = 0;
  for (const Step& step : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(k++));
    const Bytes request = frame_of(step.request);
    std::thread plc([&] {
      for (const Chunk& chunk : step.before) {
        std::this_thread::sleep_for(std::chrono::milliseconds(chunk.pause_ms));
        pty_.Send(chunk.bytes);
      }
      if (pty_.Receive(request.size(), 1000).empty()) return;  // not sent: out of step
      if (step.own_echo) pty_.Send(request);
      for (const Chunk& chunk : step.chunks) {
        std::this_thread::sleep_for(std::chrono::milliseconds(chunk.pause_ms));
        pty_.Send(chunk.bytes);
      }
    });
    std::array<uint8_t, kReplyBufferBytes> reply{};
    int length = 0;
    std::string detail;
    const int result = exchange.Exchange(request, reply, &length, &detail);
    plc.join();
    EXPECT_EQ(result, step.result);
    EXPECT_EQ(result == 0 && step.request != 'W' ? reply[6] : 0, step.data);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ExchangeTest, ::testing::ValuesIn(kExchangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dravik
