#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/frame_codec.h"
#include "runtime/serial_link.h"
#include "tools/plcsim/plc_memory.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::plcsim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// ---- The request handler alone -------------------------------------------

TEST(StationMemoryTest, AnswersReadsAndWritesInWireLayout) {
  StationMemory m;
  ASSERT_TRUE(m.SetBit(0, 1, true));    // I1
  ASSERT_TRUE(m.SetBit(0, 9, true));    // I9
  ASSERT_TRUE(m.SetBit(4, 297, true));  // C297
  ASSERT_TRUE(m.SetWord(7, 10, 0x1234));
  ASSERT_TRUE(m.SetWord(7, 11, 0xABCD));

  // Bit read I1 x9: two data bytes, bit 0 first.
  EXPECT_EQ(m.Handle(Bytes{1, 0x01, 9, 0x00, 0x00}), (Bytes{1, 0x01, 9, 0, 0, 0x01, 0x01}));
  // C297 is page 5, offset 0x28.
  EXPECT_EQ(m.Handle(Bytes{1, 0x01, 8, 0x05, 0x28}), (Bytes{1, 0x01, 8, 5, 0x28, 0x01}));
  // Word read R10 x2 (byte address 1024 + 18), high byte first.
  EXPECT_EQ(m.Handle(Bytes{1, 0x02, 2, 0x04, 0x12}),
            (Bytes{1, 0x02, 2, 0x04, 0x12, 0x12, 0x34, 0xAB, 0xCD}));
  // Writes answer with the header only and change the memory.
  EXPECT_EQ(m.Handle(Bytes{2, 0x05, 1, 0x02, 0x00, 0x04, 0xD2}), (Bytes{2, 0x05, 1, 2, 0}));
  uint16_t w = 0;
  ASSERT_TRUE(m.GetWord(6, 1, &w));
  EXPECT_EQ(w, 0x04D2);
  EXPECT_EQ(m.Handle(Bytes{3, 0x04, 1, 0x01, 0x10, 0x01}), (Bytes{3, 0x04, 1, 1, 0x10}));
  bool b = false;
  ASSERT_TRUE(m.GetBit(1, 17, &b));
  EXPECT_TRUE(b);

  // Accessors refuse the wrong kind of area and addresses out of range.
  EXPECT_FALSE(m.SetWord(0, 1, 1));
  EXPECT_FALSE(m.SetBit(7, 1, true));
  EXPECT_FALSE(m.SetBit(4, 1025, true));
  EXPECT_FALSE(m.SetWord(7, 513, 1));
  EXPECT_FALSE(m.GetWord(5, 0, &w));
}

TEST(StationMemoryTest, BadRequestsGetErrorReplies) {
  struct Case {
    const char* name;
    Bytes request;
    int error;
  };
  const Case cases[] = {
      {"unknown command", {1, 0x07, 1, 0, 0}, kErrBadCommand},
      {"short body", {1, 0x01}, kErrBadCommand},
      {"bit address beyond C", {1, 0x01, 8, 0x08, 0x00}, kErrBadAddress},
      {"odd word address", {1, 0x02, 1, 0x04, 0x01}, kErrBadAddress},
      {"word address beyond R", {1, 0x02, 1, 0x08, 0x00}, kErrBadAddress},
      {"zero count", {1, 0x02, 0, 0x04, 0x00}, kErrBadCount},
      {"bit read past I256", {1, 0x01, 2, 0x00, 0xFF}, kErrBadCount},
      {"word read past R512", {1, 0x02, 2, 0x07, 0xFE}, kErrBadCount},
      {"word read past IR256 into OR", {1, 0x02, 2, 0x01, 0xFE}, kErrBadCount},
      {"bit write of two bits", {1, 0x04, 2, 0, 0, 1}, kErrBadCount},
      {"word write with too little data", {1, 0x05, 2, 0x04, 0x00, 0, 1}, kErrBadCount},
      {"read with trailing data", {1, 0x02, 1, 0x04, 0x00, 9}, kErrBadCount},
  };
  StationMemory m;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes reply = m.Handle(c.request);
    ASSERT_EQ(reply.size(), 5u);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(reply[1], 0x80 | c.error);
  }
  // Nothing was written by the refused writes.
  uint16_t w = 1;
  ASSERT_TRUE(m.GetWord(7, 1, &w));
  EXPECT_EQ(w, 0);
}

TEST(FrameParserTest, FindsFramesInNoiseAndChecksThem) {
  const Bytes body = {0x10, 0x02, 0x01, 0x10, 0x03};
  Bytes wire = {0x55, 0x10, 0x10, 0x02, 0x99};  // noise, and DLE DLE STX is no start
  const Bytes frame = EncodeFrame(body);
  wire.insert(wire.end(), frame.begin(), frame.end());
  Bytes corrupt = frame;
  corrupt.back() ^= 0xFF;
  wire.insert(wire.end(), corrupt.begin(), corrupt.end());

  FrameParser parser;
  std::vector<FrameParser::Frame> frames;
  for (const uint8_t b : wire) {
    if (auto f = parser.Feed(b)) frames.push_back(std::move(*f));
  }
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].body, body);
  EXPECT_EQ(frames[0].raw, frame);
  EXPECT_TRUE(frames[0].checksum_ok);
  EXPECT_EQ(frames[1].body, body);
  EXPECT_FALSE(frames[1].checksum_ok);
}

TEST(FrameParserTest, DescribesRequests) {
  EXPECT_EQ(DecodeBody(Bytes{1, 0x02, 4, 0x04, 0x12}, false), "st 1 word read R10 x4");
  EXPECT_EQ(DecodeBody(Bytes{0x1F, 0x01, 8, 0x05, 0x28}, false), "st 31 bit read C297 x8");
  EXPECT_EQ(DecodeBody(Bytes{2, 0x05, 1, 0x02, 0x00, 4, 0xD2}, false), "st 2 word write OR1 x1");
  EXPECT_EQ(DecodeBody(Bytes{1, 0x85, 1, 0, 0}, true), "st 1 error 5");
}

// ---- The simulator on a pseudo-terminal, spoken to through the link -------

// A private ports directory that DRAVIKNET_PORTS points at.
class PortsDir {
 public:
  PortsDir() {
    char pattern[] = "/tmp/dravik-plcsim-test-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
    ::setenv("DRAVIKNET_PORTS", path_.c_str(), 1);
  }
  ~PortsDir() { ::rmdir(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A simulator on COM<com> and the driver's side of the line.
struct Rig {
  Rig(const std::string& dir, int com, SimulatorOptions options = {}) : sim(std::move(options)) {
    std::string error;
    ok = sim.CreatePty(dir, com, &error);
    EXPECT_TRUE(ok) << error;
    if (!ok) return;
    CSerialPort settings;
    settings.port = com - 1;
    ok = OpenPort(settings, device) == 0 && sim.Start();
    EXPECT_TRUE(ok);
  }

  // One exchange: the receive result and the payload.
  int Exchange(std::span<const uint8_t> request, Bytes* payload) {
    const int sent = SendFrame(*device, request);
    if (sent != 0) return sent;
    std::array<uint8_t, kReplyBufferBytes> buffer{};
    int length = 0;
    const int result = ReceiveFrame(*device, buffer, &length);
    if (result == 0) payload->assign(buffer.begin(), buffer.begin() + length);
    return result;
  }

  // A read through the codec: the CheckReadReply result (and detail).
  int Read(int station, int area, uint32_t address, int count, Bytes* payload,
           std::string* detail = nullptr) {
    std::array<uint8_t, kReadRequestBytes> frame{};
    int expected = 0;
    const int length = BuildReadRequest(frame, station, area, address, count, &expected);
    EXPECT_GT(length, 0);
    const int received = Exchange(std::span<const uint8_t>(frame.data(), length), payload);
    std::string ignored;
    return CheckReadReply(received, *payload, expected, detail ? detail : &ignored);
  }

  int Write(int station, int area, uint32_t address, const Bytes& data, Bytes* payload) {
    auto request = BuildWriteRequest(station, area, address, data);
    EXPECT_NE(request, nullptr);
    if (!request) return -99;
    return Exchange(std::span<const uint8_t>(request->frame, request->length), payload);
  }

  PlcSimulator sim;
  std::unique_ptr<SerialDevice> device;
  bool ok = false;
};

TEST(PlcSimulatorTest, AnswersReadsBuiltByTheCodec) {
  PortsDir dir;
  SimulatorOptions options;
  options.stations = {1, 0x10, 0x1F};
  Rig rig(dir.path(), 3, options);
  ASSERT_TRUE(rig.ok);
  for (int a = 1; a <= 16; ++a) rig.sim.SetBit(0x10, 0, a, a % 3 == 0);
  rig.sim.SetBit(0x1F, 4, 297, true);
  rig.sim.SetBit(0x1F, 4, 304, true);
  rig.sim.SetBit(1, 4, 1024, true);
  for (int a = 1; a <= 60; ++a) rig.sim.SetWord(1, 7, a, static_cast<uint16_t>(0x1000 + a));
  rig.sim.SetWord(1, 7, 512, 0x1010);
  rig.sim.SetWord(1, 5, 1, 0x0102);
  rig.sim.SetWord(1, 6, 256, 0xFFFE);

  struct Case {
    const char* name;
    int station, area;
    uint32_t address;
    int count;
    Bytes data;  // expected data after the 5 header bytes
  };
  const Case cases[] = {
      // Station 16 and the count 16 are doubled on the wire both ways.
      {"I1 x16 at station 16", 0x10, 0, 1, 16, {0x24, 0x49}},
      {"C297 x8", 0x1F, 4, 297, 8, {0x81}},
      {"C1024 x1", 1, 4, 1024, 1, {0x01}},
      {"I1 x9", 1, 0, 1, 9, {0x00, 0x00}},
      {"R10 x4", 1, 7, 10, 4, {0x10, 0x0A, 0x10, 0x0B, 0x10, 0x0C, 0x10, 0x0D}},
      {"R512 x1", 1, 7, 512, 1, {0x10, 0x10}},
      {"IR1 x1", 1, 5, 1, 1, {0x01, 0x02}},
      {"OR256 x1", 1, 6, 256, 1, {0xFF, 0xFE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes payload;
    ASSERT_EQ(rig.Read(c.station, c.area, c.address, c.count, &payload), 0);
    ASSERT_EQ(payload.size(), 5 + c.data.size());
    EXPECT_EQ(payload[0], c.station);
    EXPECT_EQ(Bytes(payload.begin() + 5, payload.end()), c.data);
  }
  // A word read of 60 words: payload 125 bytes.
  Bytes payload;
  ASSERT_EQ(rig.Read(1, 7, 1, 60, &payload), 0);
  EXPECT_EQ(payload.size(), 125u);
  EXPECT_EQ(payload[5 + 2 * 59], 0x10);
  EXPECT_EQ(payload[5 + 2 * 59 + 1], 60);
  EXPECT_EQ(rig.sim.RequestCount(), std::size(cases) + 1);
}

TEST(PlcSimulatorTest, WritesChangeTheMemory) {
  PortsDir dir;
  SimulatorOptions options;
  options.stations = {2, 3};
  Rig rig(dir.path(), 4, options);
  ASSERT_TRUE(rig.ok);
  Bytes payload;
  // 1234 encoded in host order (D2 04) goes to OR1 as 04 D2.
  ASSERT_EQ(rig.Write(2, 6, 1, {0xD2, 0x04}, &payload), 0);
  EXPECT_EQ(payload.size(), 5u);
  uint16_t w = 0;
  ASSERT_TRUE(rig.sim.GetWord(2, 6, 1, &w));
  EXPECT_EQ(w, 1234);
  // A 32-bit value: low word first, each word high byte first.
  ASSERT_EQ(rig.Write(3, 7, 100, {0x78, 0x56, 0x34, 0x12}, &payload), 0);
  ASSERT_TRUE(rig.sim.GetWord(3, 7, 100, &w));
  EXPECT_EQ(w, 0x5678);
  ASSERT_TRUE(rig.sim.GetWord(3, 7, 101, &w));
  EXPECT_EQ(w, 0x1234);
  // Bit write O17 on (address low byte 0x10 doubled), then off.
  ASSERT_EQ(rig.Write(3, 1, 17, {1}, &payload), 0);
  bool b = false;
  ASSERT_TRUE(rig.sim.GetBit(3, 1, 17, &b));
  EXPECT_TRUE(b);
  ASSERT_EQ(rig.Write(3, 1, 17, {0}, &payload), 0);
  ASSERT_TRUE(rig.sim.GetBit(3, 1, 17, &b));
  EXPECT_FALSE(b);
  // What was written reads back through the link.
  ASSERT_EQ(rig.Read(2, 6, 1, 1, &payload), 0);
  EXPECT_EQ(payload, (Bytes{2, 0x02, 1, 0x02, 0x00, 0x04, 0xD2}));

  const auto log = rig.sim.Log();
  ASSERT_EQ(log.size(), 5u);
  auto first = BuildWriteRequest(2, 6, 1, Bytes{0xD2, 0x04});
  EXPECT_EQ(log[0].request, Bytes(first->frame, first->frame + first->length));
  EXPECT_TRUE(log[0].checksum_ok);
  EXPECT_EQ(log[0].reply, EncodeFrame(Bytes{2, 0x05, 1, 0x02, 0x00}));
}

TEST(PlcSimulatorTest, BadRequestsOnTheWire) {
  PortsDir dir;
  Rig rig(dir.path(), 5);
  ASSERT_TRUE(rig.ok);
  // Out of range: an error reply, which the poller's check turns into 12.
  Bytes payload;
  std::string detail;
  EXPECT_EQ(rig.Read(1, 7, 512, 2, &payload, &detail), 12);
  EXPECT_EQ(detail, "3");

  // A request with a bad checksum and one for a station nobody emulates go
  // unanswered: the simulator logs them, and nothing comes back.
  Bytes bad = EncodeFrame(Bytes{1, 0x02, 1, 0x04, 0x00});
  bad.back() ^= 0x01;
  const Bytes other = EncodeFrame(Bytes{9, 0x02, 1, 0x04, 0x00});
  for (const Bytes& request : {bad, other}) {
    const uint64_t before = rig.sim.RequestCount();
    ASSERT_EQ(SendFrame(*rig.device, request), 0);
    const auto start = Clock::now();
    while (rig.sim.RequestCount() == before && ElapsedMs(start) < 3000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(rig.sim.RequestCount(), before + 1);
    uint8_t buf[16];
    size_t n = 0;
    EXPECT_EQ(rig.device->Read(buf, sizeof buf, 200, &n), IoStatus::kTimeout);
    EXPECT_TRUE(rig.sim.Log().back().reply.empty());
  }
  EXPECT_FALSE(rig.sim.Log()[1].checksum_ok);
  EXPECT_TRUE(rig.sim.Log()[2].checksum_ok);
}

TEST(PlcSimulatorTest, InjectedFaultsGiveTheirReceiveResults) {
  PortsDir dir;
  Rig rig(dir.path(), 6);
  ASSERT_TRUE(rig.ok);
  rig.sim.SetWord(1, 7, 1, 0x2A);
  rig.sim.ScriptFaults({{FaultKind::kBadChecksum, 0},
                        {FaultKind::kErrorReply, 7},
                        {FaultKind::kNoise, 40},
                        {FaultKind::kDelay, 300},
                        {FaultKind::kWrongStation, 0},
                        {FaultKind::kNone, 0}});
  Bytes payload;
  std::string detail;
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload, &detail), 13);
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload, &detail), 12);
  EXPECT_EQ(detail, "7");
  payload.clear();
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload), 0);  // noise before DLE STX is skipped
  EXPECT_EQ(payload, (Bytes{1, 0x02, 1, 0x04, 0x00, 0x00, 0x2A}));
  const auto start = Clock::now();
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload), 0);
  EXPECT_GE(ElapsedMs(start), 290);
  // The link does not look at the station byte of a reply.
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload), 0);
  EXPECT_EQ(payload[0], 2);
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload), 0);
  EXPECT_EQ(payload[0], 1);

  // By rate: always, then never.
  rig.sim.SetFaultRate(FaultKind::kBadChecksum, 1.0);
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload), 13);
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload), 13);
  rig.sim.SetFaultRate(FaultKind::kBadChecksum, 0.0);
  EXPECT_EQ(rig.Read(1, 7, 1, 1, &payload), 0);

  const auto log = rig.sim.Log();
  ASSERT_EQ(log.size(), 9u);
  EXPECT_EQ(log[0].fault, FaultKind::kBadChecksum);
  EXPECT_EQ(log[2].fault, FaultKind::kNoise);
  EXPECT_EQ(log[8].fault, FaultKind::kNone);
}

// The faults that end in the receive time-out, on two lines at once so the
// test waits for one time-out only.
TEST(PlcSimulatorTest, SilenceAndTruncatedFramesTimeOut) {
  PortsDir dir;
  Rig silent(dir.path(), 7);
  Rig truncated(dir.path(), 8);
  ASSERT_TRUE(silent.ok);
  ASSERT_TRUE(truncated.ok);
  silent.sim.ScriptFaults({{FaultKind::kNoReply, 0}});
  truncated.sim.ScriptFaults({{FaultKind::kTruncated, 0}});
  int silent_result = 0;
  int truncated_result = 0;
  const auto start = Clock::now();
  std::thread other([&] {
    Bytes payload;
    truncated_result = truncated.Read(1, 7, 1, 1, &payload);
  });
  Bytes payload;
  silent_result = silent.Read(1, 7, 1, 1, &payload);
  other.join();
  EXPECT_EQ(silent_result, 10);
  EXPECT_EQ(truncated_result, 10);
  EXPECT_LT(ElapsedMs(start), 8000);
  EXPECT_FALSE(truncated.sim.Log().at(0).reply.empty());  // something was sent
  // The line is usable again afterwards.
  EXPECT_EQ(silent.Read(1, 7, 1, 1, &payload), 0);
}

TEST(PlcSimulatorTest, PacingTakesTheLineTime) {
  PortsDir dir;
  SimulatorOptions options;
  options.pace = true;
  options.line.baud = 2400;
  options.line.parity = LineParity::kEven;
  options.line.stop_bits = 2;  // 12 bits a byte: 5 ms
  Rig rig(dir.path(), 9, options);
  ASSERT_TRUE(rig.ok);
  Bytes payload;
  const auto start = Clock::now();
  ASSERT_EQ(rig.Read(1, 7, 1, 10, &payload), 0);  // 30 bytes on the wire
  EXPECT_GE(ElapsedMs(start), 140);
  EXPECT_EQ(payload.size(), 25u);
}

TEST(PlcSimulatorTest, AnimationTraceAndPromptStop) {
  PortsDir dir;
  std::FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  SimulatorOptions options;
  options.trace = trace;
  auto rig = std::make_unique<Rig>(dir.path(), 10, options);
  ASSERT_TRUE(rig->ok);

  rig->sim.AnimateStep();
  rig->sim.AnimateStep();
  uint16_t counter = 0, seconds = 0xFFFF;
  bool coil = true;
  ASSERT_TRUE(rig->sim.GetWord(1, 7, 1, &counter));
  ASSERT_TRUE(rig->sim.GetBit(1, 4, 1, &coil));
  ASSERT_TRUE(rig->sim.GetWord(1, 7, 4, &seconds));
  EXPECT_EQ(counter, 2);
  EXPECT_FALSE(coil);  // toggled twice
  EXPECT_LE(seconds >> 4, 6);
  EXPECT_LE(seconds & 0xF, 9);

  Bytes payload;
  ASSERT_EQ(rig->Read(1, 7, 10, 4, &payload), 0);
  std::fflush(trace);
  std::rewind(trace);
  std::string text;
  char line[256];
  while (std::fgets(line, sizeof line, trace)) text += line;
  EXPECT_NE(text.find("rx 10 02 01 02 04 04 12 10 03 E3"), std::string::npos) << text;
  EXPECT_NE(text.find("st 1 word read R10 x4"), std::string::npos) << text;
  EXPECT_NE(text.find("tx 10 02 01 02 04 04 12"), std::string::npos) << text;

  // A reply held back for 10 s does not hold up stopping.
  rig->sim.ScriptFaults({{FaultKind::kDelay, 10000}});
  ASSERT_EQ(SendFrame(*rig->device, EncodeFrame(Bytes{1, 0x02, 1, 0x04, 0x00})), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  const std::string link = rig->sim.port_path();
  rig.reset();
  EXPECT_LT(ElapsedMs(start), 3000);
  EXPECT_NE(::access(link.c_str(), F_OK), 0);  // the published link is gone
  std::fclose(trace);
}

}  // namespace
}  // namespace dravik::plcsim
