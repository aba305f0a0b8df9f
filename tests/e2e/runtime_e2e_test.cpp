// A real line end to end: the driver loaded through its function table, its
// scheduler and event threads, the simulator on a pseudo-terminal found
// through DRAVIKNET_PORTS, and the stand-in host libraries recording what
// reaches the host.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "tests/e2e/driver_host.h"
#include "tests/e2e/line_fixture.h"
#include "tests/model/cp949_project.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::test {
namespace {

using plcsim::FaultAction;
using plcsim::FaultKind;
using plcsim::PlcSimulator;
using plcsim::SimulatorOptions;

constexpr int kAreaC = 4;
constexpr int kAreaR = 7;
constexpr int kWaitMs = 5000;

// One test's line: a simulator on its own pseudo-terminal and an instance of
// the driver prepared on it.
class LineTest : public SimulatedLineTest {
 protected:
  bool WaitValue(int tag_id, double value) {
    return host.WaitFor(
        [&] {
          for (const auto& v : host.ValuesFor(tag_id)) {
            if (v.has_value && v.value == value) return true;
          }
          return false;
        },
        kWaitMs);
  }

  bool WaitCycles(int inst, const char* station, int reads) {
    int start[4] = {};
    host.Statistics(inst, station, start);
    return host.WaitFor(
        [&] {
          int now[4] = {};
          host.Statistics(inst, station, now);
          return now[2] >= start[2] + reads;
        },
        kWaitMs);
  }
};

TEST_F(LineTest, EveryTagOnceAfterTheFirstPollThenOnlyChanges) {
  StartSimulator({1, 2});
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 1, 1234));
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 2, 0x1234));  // BCD 1234
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 3, 0x4241));  // "AB"
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 4, 0x4443));  // "CD"
  ASSERT_TRUE(sim_->SetBit(1, kAreaC, 5, true));
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 100, 0xFFFF));
  ASSERT_TRUE(sim_->SetWord(2, kAreaR, 2, 77));

  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 10, 0);
  AddBlock(*doc.Stations()[0], "C1", kAreaC, 1, 16, 0);
  doc.Stations().push_back(MakeStation("PLC2", 2));
  AddBlock(*doc.Stations()[1], "R1", kAreaR, 1, 4, 0);
  const int inst = Prepare(doc);
  host.ClearRecords();

  struct Tag {
    int id;
    const char* device;
    const char* address;
    int type;
    int length;
    int expected_handle;
  };
  const Tag tags[] = {
      {1, "DEV.PLC1", "R1", 1, 2, 0x00000},       // int16 in block 0
      {2, "DEV.PLC1", "R2", 10, 2, 0x00001},      // BCD
      {3, "DEV.PLC1", "R3", 14, 4, 0x00002},      // string
      {4, "DEV.PLC1", "R1.3", 13, 0, 0x00003},    // bit of a register
      {5, "DEV.PLC1", "C5", 13, 0, 0x10000},      // coil bit in block 1
      {6, "DEV.PLC1", "R100", 4, 2, 0x30000},     // single-tag poller (3 blocks)
      {7, "DEV.PLC2", "R2", 4, 2, 0x20000},       // PLC2's block
      {8, "DEV.PLC1", "R100.2", 13, 0, 0x40000},  // single-tag bit of a register
  };
  for (const Tag& t : tags) {
    EXPECT_EQ(host.Bind(inst, t.device, t.address, t.type, t.length, t.id), t.expected_handle)
        << t.address;
  }
  EXPECT_EQ(host.CountLogs("태그[TAG6]의 어드레스가 통신블록에 등록되지 않아 개별 통신합니다."), 1);
  EXPECT_EQ(host.BuildRequests(inst), 0);
  host.SetRunState(inst, nullptr, 1);

  const std::map<int, double> first = {{1, 1234},  {2, 1234}, {4, 0}, {5, 1},
                                       {6, 65535}, {7, 77},   {8, 1}};
  for (const auto& [id, value] : first) EXPECT_TRUE(WaitValue(id, value)) << "tag " << id;
  ASSERT_TRUE(host.WaitFor([&] { return !host.ValuesFor(3).empty(); }, kWaitMs));
  EXPECT_EQ(host.ValuesFor(3)[0].text, "ABCD");
  EXPECT_EQ(host.CountLogs("통신시작"), 1);

  // A few more cycles change nothing: no event is repeated.
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 8));
  for (int id = 1; id <= 8; ++id) EXPECT_EQ(host.ValuesFor(id).size(), 1u) << "tag " << id;

  // 999 keeps bit 3 of R1 clear: only the word tag changes. 8 then sets it.
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 1, 999));
  EXPECT_TRUE(WaitValue(1, 999));
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 4));
  EXPECT_EQ(host.ValuesFor(4).size(), 1u);
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 1, 8));
  EXPECT_TRUE(WaitValue(4, 1));
  // Bit 2 of R100 clears while the rest of the word stays: only tag 8 reports.
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 100, 0xFFFB));
  EXPECT_TRUE(WaitValue(8, 0));
  EXPECT_TRUE(WaitValue(6, 0xFFFB));
  EXPECT_EQ(host.ValuesFor(2).size(), 1u);
  EXPECT_EQ(host.ValuesFor(5).size(), 1u);

  // A restart reports every tag once more.
  host.SetRunState(inst, nullptr, 0);
  EXPECT_EQ(host.CountLogs("통신종료"), 1);
  host.ClearRecords();
  host.SetRunState(inst, nullptr, 1);
  for (int id = 1; id <= 8; ++id) {
    EXPECT_TRUE(host.WaitFor([&] { return !host.ValuesFor(id).empty(); }, kWaitMs)) << id;
  }
  // A second start while running is ignored.
  host.SetRunState(inst, nullptr, 1);
  EXPECT_EQ(host.CountLogs("통신시작"), 1);
}

// Change detection looks at exactly the tag's own data: a word tag at its L
// bytes (its second word too, but not the byte after an 8-bit tag), a bit tag
// at its own bit only, even when the rest of its byte changes.
TEST_F(LineTest, ChangesAreJudgedOnTheTagsOwnBytesAndBits) {
  StartSimulator({1});
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 5, 0));
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 6, 1));       // 32-bit R5..R6 = 65536
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 9, 0x0105));  // 8-bit tag sees the low byte 5
  ASSERT_TRUE(sim_->SetBit(1, kAreaC, 3, true));

  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 10, 0);
  AddBlock(*doc.Stations()[0], "C1", kAreaC, 1, 16, 0);
  const int inst = Prepare(doc);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R5", 5, 4, 41), 0x00000);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R7", 4, 2, 42), 0x00001);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R9", 0, 1, 43), 0x00002);
  EXPECT_EQ(host.Bind(inst, "PLC1", "C3", 13, 0, 44), 0x10000);   // byte 0, bit 2
  EXPECT_EQ(host.Bind(inst, "PLC1", "C12", 13, 0, 45), 0x10001);  // byte 1, bit 3
  host.BuildRequests(inst);
  host.SetRunState(inst, nullptr, 1);
  const std::map<int, double> first = {{41, 65536}, {42, 0}, {43, 5}, {44, 1}, {45, 0}};
  for (const auto& [id, value] : first) EXPECT_TRUE(WaitValue(id, value)) << "tag " << id;

  // Only the second word of the 32-bit tag changes: it reports, R7 does not.
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 6, 2));
  EXPECT_TRUE(WaitValue(41, 131072));
  // The high byte of R9 lies outside the 8-bit tag; every other bit of C3's
  // byte and of C12's byte changes.
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 9, 0xFF05));
  for (int c = 1; c <= 16; ++c) {
    if (c != 3 && c != 12) {
      ASSERT_TRUE(sim_->SetBit(1, kAreaC, c, true));
    }
  }
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 6));
  // A change after those polls: once it arrives, anything they posted has too.
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 7, 7));
  EXPECT_TRUE(WaitValue(42, 7));
  EXPECT_EQ(host.ValuesFor(41).size(), 2u);
  EXPECT_EQ(host.ValuesFor(42).size(), 2u);
  EXPECT_EQ(host.ValuesFor(43).size(), 1u);
  EXPECT_EQ(host.ValuesFor(44).size(), 1u);
  EXPECT_EQ(host.ValuesFor(45).size(), 1u);

  // Their own bits do report.
  ASSERT_TRUE(sim_->SetBit(1, kAreaC, 3, false));
  ASSERT_TRUE(sim_->SetBit(1, kAreaC, 12, true));
  EXPECT_TRUE(WaitValue(44, 0));
  EXPECT_TRUE(WaitValue(45, 1));
}

TEST_F(LineTest, WritesReachThePlcWithTheirExactFrames) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 10, 1000);
  AddBlock(*doc.Stations()[0], "C1", kAreaC, 1, 16, 1000);
  const int inst = Prepare(doc);
  const int word = host.Bind(inst, "PLC1", "R5", 1, 2, 11);
  const int coil = host.Bind(inst, "PLC1", "C14", 13, 0, 12);
  const int bit_of_word = host.Bind(inst, "PLC1", "R2.4", 13, 0, 13);
  const int text = host.Bind(inst, "PLC1", "R7", 14, 4, 14);
  const int single = host.Bind(inst, "PLC1", "R300", 5, 4, 15);
  host.BuildRequests(inst);

  // Written while stopped: dropped.
  EXPECT_EQ(host.Write(inst, word, 55), 0);
  host.SetRunState(inst, nullptr, 1);
  host.ClearRecords();
  EXPECT_EQ(host.Write(inst, word, 1234), 0);
  EXPECT_EQ(host.Write(inst, coil, 1), 0);
  EXPECT_EQ(host.WriteText(inst, text, "ABC"), 0);
  EXPECT_EQ(host.Write(inst, single, 4000000000.0), 0);
  EXPECT_EQ(host.Write(inst, bit_of_word, 1), -15);
  EXPECT_EQ(host.CountLogs("지정된 태그[TAG13]의 어드레스는 읽기만 가능합니다."), 1);
  EXPECT_EQ(host.Write(inst, 0x7FFF0000, 1), 0);  // names no binding

  ASSERT_TRUE(host.WaitFor(
      [&] {
        uint16_t w = 0;
        bool b = false;
        return sim_->GetWord(1, kAreaR, 5, &w) && w == 1234 && sim_->GetBit(1, kAreaC, 14, &b) && b;
      },
      kWaitMs));
  uint16_t w7 = 0, w8 = 0, lo = 0, hi = 0;
  ASSERT_TRUE(host.WaitFor([&] { return sim_->GetWord(1, kAreaR, 301, &hi) && hi != 0; }, kWaitMs));
  sim_->GetWord(1, kAreaR, 7, &w7);
  sim_->GetWord(1, kAreaR, 8, &w8);
  sim_->GetWord(1, kAreaR, 300, &lo);
  EXPECT_EQ(w7, 0x4241);  // "AB"
  EXPECT_EQ(w8, 0x2043);  // "C "
  EXPECT_EQ((static_cast<uint32_t>(hi) << 16) | lo, 4000000000u);

  // The frames on the wire, byte for byte.
  const std::vector<uint8_t> word_frame = {0x10, 0x02, 0x01, 0x05, 0x01, 0x04,
                                           0x08, 0x04, 0xD2, 0x10, 0x03, 0x17};
  // C14: address 1024 + 13 -> 04 0D; body 01 04 01 04 0D 01, sum 0x18.
  const std::vector<uint8_t> coil_frame = {0x10, 0x02, 0x01, 0x04, 0x01, 0x04,
                                           0x0D, 0x01, 0x10, 0x03, 0xE8};
  int seen = 0;
  for (const auto& record : sim_->Log()) {
    seen += record.request == word_frame;
    seen += record.request == coil_frame;
  }
  EXPECT_EQ(seen, 2);
  // Counters hold exchanges once they have ended: the last reply may still
  // be on its way back when the simulator's memory shows the value.
  int counters[4] = {};
  EXPECT_TRUE(host.WaitFor(
      [&] { return host.Statistics(inst, "PLC1", counters) == 0 && counters[0] == 4; }, kWaitMs));
  EXPECT_EQ(counters[0], 4);  // writes sent
  EXPECT_EQ(counters[1], 0);
}

TEST_F(LineTest, FiveFailuresThenLostThenRestored) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 2, 0);
  const int inst = Prepare(doc);
  host.Bind(inst, "PLC1", "R1", 1, 2, 21);
  host.BuildRequests(inst);
  // Six bad checksums, one PLC error, then good replies.
  std::vector<FaultAction> script(6, FaultAction{FaultKind::kBadChecksum, 0});
  sim_->ScriptFaults(script);
  host.ClearRecords();
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(host.WaitFor([&] { return host.CountLogs("정상적으로 복구") == 1; }, kWaitMs));
  host.SetRunState(inst, nullptr, 0);

  std::vector<std::string> texts;
  std::vector<int> flags;
  for (const auto& l : host.Logs()) {
    if (l.text.find("스테이션[PLC1]") != std::string::npos) {
      texts.push_back(l.text);
      flags.push_back(l.flags);
    }
  }
  const std::string checksum =
      "[Dravik RS232/422] 스테이션[PLC1]로부터 수신받은 데이터의 Check Sum이 일치하지 않습니다.";
  ASSERT_EQ(texts.size(), 7u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(texts[static_cast<size_t>(i)], checksum);
    EXPECT_EQ(flags[static_cast<size_t>(i)], 0x101);
  }
  EXPECT_EQ(texts[5], "[Dravik RS232/422] 스테이션[PLC1]과 통신할 수 없습니다.");
  EXPECT_EQ(flags[5], 0x102);
  EXPECT_EQ(texts[6], "[Dravik RS232/422] 스테이션[PLC1]과의 통신이 정상적으로 복구되었습니다.");
  EXPECT_EQ(flags[6], 0x102);
  int counters[4] = {};
  host.Statistics(inst, "PLC1", counters);
  EXPECT_EQ(counters[3], 6);  // reads failed
  EXPECT_TRUE(WaitValue(21, 0) || !host.ValuesFor(21).empty());
}

TEST_F(LineTest, ErrorReplyIsReportedWithItsNumber) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 2, 0);
  const int inst = Prepare(doc);
  sim_->ScriptFaults({FaultAction{FaultKind::kErrorReply, 5}});
  host.ClearRecords();
  host.SetRunState(inst, nullptr, 1);
  EXPECT_TRUE(host.WaitFor(
      [&] {
        return host.CountLogs(
                   "[Dravik RS232/422] 스테이션[PLC1]로부터 에러번호[5]를 수신받았습니다.") == 1;
      },
      kWaitMs));
}

// Each block is polled once (long period), so scripted faults meet the
// exchanges in a known order: the first read, then each write.
TEST_F(LineTest, RepliesFromAnotherStationOrWithAnErrorFailTheExchange) {
  StartSimulator({1});
  sim_->SetWord(1, kAreaR, 1, 77);
  sim_->SetWord(1, kAreaR, 3, 88);
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 2, 600000);
  AddBlock(*doc.Stations()[0], "R3", kAreaR, 3, 2, 600000);
  const int inst = Prepare(doc);
  const int first = host.Bind(inst, "PLC1", "R1", 1, 2, 61);
  host.Bind(inst, "PLC1", "R3", 1, 2, 62);
  host.BuildRequests(inst);
  sim_->ScriptFaults({FaultAction{FaultKind::kWrongStation, 0}});
  host.ClearRecords();
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitValue(62, 88));
  int counters[4] = {};
  ASSERT_TRUE(host.WaitFor(
      [&] { return host.Statistics(inst, "PLC1", counters) >= 0 && counters[2] == 2; }, kWaitMs));
  EXPECT_EQ(counters[3], 1);  // the other station's reply was not taken
  EXPECT_TRUE(host.ValuesFor(61).empty());
  const std::string format =
      "[Dravik RS232/422] 스테이션[PLC1]로부터 수신한 데이터가 지정된 형식과 일치하지 않습니다.";
  EXPECT_EQ(host.CountLogs(format), 1);

  struct WriteCase {
    FaultKind fault;
    int param;
    double value;
    int failed_after;
  };
  const WriteCase writes[] = {
      {FaultKind::kErrorReply, 7, 5, 1},
      {FaultKind::kWrongStation, 0, 6, 2},
      {FaultKind::kNone, 0, 9, 2},
  };
  int sent = 0;
  for (const WriteCase& w : writes) {
    sim_->ScriptFaults({FaultAction{w.fault, w.param}});
    ASSERT_EQ(host.Write(inst, first, w.value), 0);
    ++sent;
    // Writes sent counts before the exchange; the failure after its reply.
    EXPECT_TRUE(host.WaitFor(
        [&] {
          return host.Statistics(inst, "PLC1", counters) >= 0 && counters[0] == sent &&
                 counters[1] == w.failed_after &&
                 sim_->Log().size() == static_cast<size_t>(sent + 2);
        },
        kWaitMs))
        << "write of " << w.value << ": " << counters[0] << " sent, " << counters[1] << " failed";
  }
  EXPECT_TRUE(host.WaitFor(
      [&] {
        uint16_t word = 0;
        return sim_->GetWord(1, kAreaR, 1, &word) && word == 9 &&
               host.CountLogs(
                   "[Dravik RS232/422] 스테이션[PLC1]로부터 에러번호[7]를 수신받았습니다.") == 1 &&
               host.CountLogs(format) == 2;
      },
      kWaitMs));
  EXPECT_EQ(host.CountLogs("통신할 수 없습니다"), 0);
  host.Statistics(inst, "PLC1", counters);
  EXPECT_EQ(counters[0], 3);
  EXPECT_EQ(counters[1], 2);
  EXPECT_EQ(counters[3], 1);
}

TEST_F(LineTest, TagRunningPastItsAreaIsRefused) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  const int inst = Prepare(doc);
  struct BindCase {
    const char* address;
    int type, length;
    bool bound;
  };
  const BindCase cases[] = {
      {"R512", 2, 4, false},   {"R512", 14, 120, false}, {"IR256", 5, 4, false},
      {"R453", 14, 120, true}, {"R454", 14, 120, false}, {"R511", 2, 4, true},
      {"R512", 1, 2, true},    {"R512", 0, 1, true},     {"R512.15", 13, 0, true},
      {"C1024", 13, 0, true},
  };
  int id = 70;
  for (const BindCase& c : cases) {
    host.ClearRecords();
    const int handle = host.Bind(inst, "PLC1", c.address, c.type, c.length, ++id);
    EXPECT_EQ(handle != -1, c.bound) << c.address << " length " << c.length;
    const std::string refused = "태그[TAG" + std::to_string(id) + "]의 I/O 어드레스[" + c.address +
                                "]가 잘못 설정되었습니다.";
    EXPECT_EQ(host.CountLogs(refused), c.bound ? 0 : 1) << c.address;
  }
}

TEST_F(LineTest, DisabledStationIsNeitherPolledNorWritten) {
  StartSimulator({1, 2});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 0);
  doc.Stations().push_back(MakeStation("PLC2", 2));
  AddBlock(*doc.Stations()[1], "R1", kAreaR, 1, 4, 0);
  const int inst = Prepare(doc);
  const int tag = host.Bind(inst, "PLC1", "R1", 1, 2, 31);
  host.BuildRequests(inst);
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 2));

  host.SetRunState(inst, "plc1", 0);
  // A poll of PLC1 that was under way is counted once it has ended.
  ASSERT_TRUE(WaitCycles(inst, "PLC2", 2));
  int before[4] = {};
  EXPECT_EQ(host.Statistics(inst, "PLC1", before), -1);
  EXPECT_EQ(host.Write(inst, tag, 42), 0);
  ASSERT_TRUE(WaitCycles(inst, "PLC2", 5));  // the other station goes on
  int after[4] = {};
  EXPECT_EQ(host.Statistics(inst, "PLC1", after), -1);
  EXPECT_EQ(std::vector<int>(after, after + 4), std::vector<int>(before, before + 4));
  uint16_t w = 0;
  sim_->GetWord(1, kAreaR, 1, &w);
  EXPECT_EQ(w, 0);

  // Null name while running: the sums, and 0 since one station is healthy.
  int all[4] = {100, 100, 100, 100};
  EXPECT_EQ(host.Statistics(inst, nullptr, all), 0);
  int plc2[4] = {};
  host.Statistics(inst, "PLC2", plc2);
  EXPECT_GE(all[2], 100 + after[2] + plc2[2]);

  host.SetRunState(inst, "PLC1", 1);
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 2));
  host.ResetCounters(inst, "Plc1");
  int reset[4] = {9, 9, 9, 9};
  EXPECT_EQ(host.Statistics(inst, "PLC1", reset), 0);
  EXPECT_LE(reset[2], 3);

  // Stopped: null name gives -1 after adding the counters.
  host.SetRunState(inst, nullptr, 0);
  int stopped[4] = {0, 0, 0, 0};
  EXPECT_EQ(host.Statistics(inst, nullptr, stopped), -1);
  EXPECT_GT(stopped[2], 0);
  EXPECT_EQ(host.Statistics(inst, "NOPE", stopped), -1);
}

TEST_F(LineTest, StopOnASilentLineReturnsPromptlyAndReportsNothingForIt) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 2, 0);
  const int inst = Prepare(doc);
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 2));
  sim_->SetFaultRate(FaultKind::kNoReply, 1.0);
  usleep(1200 * 1000);  // inside a waiting receive
  host.ClearRecords();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.Stop(inst), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(host.CountLogs("Time Out"), 0);
  EXPECT_EQ(host.CountLogs("통신종료"), 1);
  EXPECT_EQ(host.Stop(inst), 0);  // a second stop does nothing
  EXPECT_EQ(host.CountLogs("통신종료"), 1);
}

TEST_F(LineTest, LargeBitBlocksOversizedBlocksAndLateBindings) {
  StartSimulator({1});
  ASSERT_TRUE(sim_->SetBit(1, kAreaC, 300, true));
  ASSERT_TRUE(sim_->SetBit(1, kAreaC, 3, true));
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 65, 4321));
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "C1", kAreaC, 1, 400, 0);  // two requests per poll
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 70, 0);   // larger than a data image
  host.ClearRecords();
  const int inst = Prepare(doc);
  EXPECT_EQ(host.CountLogs("R1, 70 Word"), 1);
  EXPECT_EQ(host.Bind(inst, "PLC1", "C300", 13, 0, 41), 0);
  EXPECT_EQ(host.Bind(inst, "PLC1", "C3", 13, 0, 42), 1);
  // The refused block takes no tags: R65 gets a single-tag poller.
  EXPECT_EQ(host.Bind(inst, "PLC1", "R65", 1, 2, 43), 0x20000);
  // Too long for any data image: refused.
  EXPECT_EQ(host.Bind(inst, "PLC1", "R10", 14, 200, 44), -1);
  host.BuildRequests(inst);
  // Bound after slot 4: still polled from the start.
  EXPECT_EQ(host.Bind(inst, "PLC1", "R66", 1, 2, 45), 0x30000);
  host.SetRunState(inst, nullptr, 1);
  EXPECT_TRUE(WaitValue(41, 1));
  EXPECT_TRUE(WaitValue(42, 1));
  EXPECT_TRUE(WaitValue(43, 4321));
  EXPECT_TRUE(WaitValue(45, 0));
  // Bound while running: safe, and polled from the next start.
  EXPECT_EQ(host.Bind(inst, "PLC1", "R67", 1, 2, 46), 0x40000);
  host.SetRunState(inst, nullptr, 0);
  host.SetRunState(inst, nullptr, 1);
  EXPECT_TRUE(WaitValue(46, 0));
  int counters[4] = {};
  EXPECT_EQ(host.Statistics(inst, "PLC1", counters), 0);
  EXPECT_EQ(counters[3], 0);
}

TEST_F(LineTest, BindingErrorsAndASecondPreparation) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 0);
  const int inst = Prepare(doc);
  host.ClearRecords();
  EXPECT_EQ(host.Bind(inst, "DEV.plc1", "R1", 1, 2, 51), -1);
  EXPECT_EQ(
      host.CountLogs(
          "태그[TAG51]에 설정된 I/O 디바이스[DEV.plc1]가 통신드라이버에 등록되지 않았습니다."),
      1);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R0", 1, 2, 52), -1);
  EXPECT_EQ(host.CountLogs("태그[TAG52]의 I/O 어드레스[R0]가 잘못 설정되었습니다."), 1);
  EXPECT_EQ(host.Bind(inst, "PLC1", "I5", 1, 2, 53), -1);

  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 2));
  // Preparing again replaces the running engine: its threads stop, its port
  // closes, and the new engine opens the port again.
  host.ClearRecords();
  EXPECT_EQ(host.Prepare(inst), 0);
  EXPECT_EQ(host.CountLogs("통신종료"), 1);
  EXPECT_EQ(host.CountLogs("통신포트 초기화 완료"), 1);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R2", 1, 2, 54), 0);
  host.SetRunState(inst, nullptr, 1);
  EXPECT_TRUE(WaitValue(54, 0));
}

TEST_F(LineTest, TagHandlesFollowBlocksAndBindingOrder) {
  StartSimulator({1, 2});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  doc.Stations().push_back(MakeStation("B.C", 2));
  auto& plc1 = *doc.Stations()[0];
  AddBlock(plc1, "R1", kAreaR, 1, 10, 1000);               // poller 0
  AddBlock(plc1, "R5", kAreaR, 5, 10, 1000);               // poller 1, overlaps poller 0
  AddBlock(plc1, "C1", kAreaC, 1, 32, 1000);               // poller 2
  AddBlock(plc1, "OR1", 6, 1, 4, 1000);                    // poller 3
  AddBlock(*doc.Stations()[1], "R1", kAreaR, 1, 4, 1000);  // poller 4
  const int inst = Prepare(doc);
  host.ClearRecords();
  struct Case {
    const char* device;
    const char* address;
    int type;
    int length;
    int handle;
  };
  const Case cases[] = {
      {"DEV.PLC1", "R6", 1, 2, 0x00000},  // both blocks hold R6: the first wins
      {"PLC1", "R12", 1, 2, 0x10000},     // only the second block reaches R12
      {"X.PLC1", "R10", 2, 4, 0x10001},   // R10..R11 runs past block 0, fits block 1
      {"PLC1", "R11", 0, 1, 0x10002},     // one byte inside R5..R14
      {"PLC1", "R15", 0, 1, 0x50000},     // one past block 1's end: on its own
      {"PLC1", "R14", 2, 4, 0x60000},     // R14..R15: its second word is outside
      {"PLC1", "OR2", 4, 2, 0x30000},
      {"PLC1", "OR3", 4, 2, 0x30001},   // second tag in poller 3: 3 * 65536 + 1
      {"PLC1", "C14", 13, 0, 0x20000},  // start + 13: byte 1, bit 5
      {"A.B.C", "R2", 4, 2, 0x40000},   // station B.C
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host.Bind(inst, c.device, c.address, c.type, c.length, 60), c.handle)
        << c.device << " " << c.address;
  }
  EXPECT_EQ(host.CountLogs("개별 통신합니다."), 2);

  // Writes go out in the order made, back to back, before the next poll.
  // Hold the scheduler in a slow exchange while three writes are queued.
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 4));
  // The next reply comes 700 ms late; a cycle lasts about 100 ms here, so
  // 300 ms from now the scheduler is waiting for it.
  sim_->ScriptFaults({FaultAction{FaultKind::kDelay, 700}});
  usleep(300 * 1000);
  EXPECT_EQ(host.Write(inst, 0x20000, 1), 0);  // C14
  EXPECT_EQ(host.Write(inst, 0x00000, 6), 0);  // R6
  EXPECT_EQ(host.Write(inst, 0x40000, 2), 0);  // B.C's R2
  std::vector<std::vector<uint8_t>> after_delay;
  // The simulator logs an exchange once its reply has gone out.
  ASSERT_TRUE(host.WaitFor(
      [&] {
        after_delay.clear();
        bool seen = false;
        for (const auto& r : sim_->Log()) {
          if (r.fault == FaultKind::kDelay) {
            seen = true;
            after_delay.clear();
          }
          after_delay.push_back(r.request);
        }
        return seen && after_delay.size() >= 5;
      },
      kWaitMs));
  ASSERT_GE(after_delay.size(), 4u);
  // C14 is wire address 1024 + 13 = 04 0D; R6 is 1024 + 10 = 04 0A.
  EXPECT_EQ(after_delay[1][3], 0x04);  // bit write
  EXPECT_EQ(after_delay[1][6], 0x0D);
  EXPECT_EQ(after_delay[2][3], 0x05);  // word write
  EXPECT_EQ(after_delay[2][6], 0x0A);
  EXPECT_EQ(after_delay[3][2], 0x02);  // to station 2
  EXPECT_EQ(after_delay[3][3], 0x05);
  EXPECT_EQ(after_delay[4][3], 0x02);  // then the polls go on
  bool coil = false;
  ASSERT_TRUE(host.WaitFor([&] { return sim_->GetBit(1, kAreaC, 14, &coil) && coil; }, kWaitMs));
}

// A project file from the Windows original names its stations in code page
// 949; a Linux host names them in UTF-8. The tag binds and gets its value,
// and the log speaks UTF-8.
TEST_F(LineTest, Cp949StationBindsByItsUtf8Name) {
  StartSimulator({1, 2});
  ASSERT_TRUE(sim_->SetWord(1, kAreaR, 2, 4321));
  const std::string path = dir_.File("original.dat");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const std::string bytes = fixture::Cp949Project().str();
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  fclose(f);
  const int inst = host.Create(path);
  ASSERT_GE(inst, 0);
  instances_.push_back(inst);
  ASSERT_EQ(host.Prepare(inst), 0);
  host.ClearRecords();

  EXPECT_EQ(host.Bind(inst, "DEV.펌프", "R2", 4, 2, 1), 0);  // the block of 펌프
  EXPECT_EQ(host.Bind(inst, "DEV.펌프실", "R2", 4, 2, 2), -1);
  EXPECT_EQ(host.CountLogs("태그[TAG2]에 설정된 I/O 디바이스[DEV.펌프실]가"), 1);
  CString number, description;
  host.Slot<DrvGetStationTextsFn>(DRV_SLOT_STATION_TEXTS)(inst, "펌프", &number, &description);
  EXPECT_EQ(description, "제1 펌프실");

  EXPECT_EQ(host.BuildRequests(inst), 0);
  host.SetRunState(inst, nullptr, 1);
  EXPECT_TRUE(WaitValue(1, 4321));
  host.SetRunState(inst, "라인A", 0);  // a station named in UTF-8 is found
  int counters[4] = {};
  EXPECT_EQ(host.Statistics(inst, "라인A", counters), -1);
}

// The binding's index has 16 bits of the handle, the last value kept for
// the block's exchange status tags: the 65536th tag of a block is refused,
// where a cut index would alias the block's first tag.
TEST_F(LineTest, ABindingPastSixteenBitsIsRefusedNotWrapped) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 1000);
  const int inst = Prepare(doc);
  host.ClearRecords();
  int last = -1;
  for (int j = 0; j < 0xFFFF; ++j) last = host.Bind(inst, "PLC1", "R1", 1, 2, 70);
  EXPECT_EQ(last, 0xFFFE);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R2", 1, 2, 71), -1);
  EXPECT_EQ(host.CountLogs("태그[TAG71]의 핸들 번호가 16비트(65535)를 넘어 연결하지 않습니다."), 1);
}

// An exchange status tag rides on the poller that reads its address and is
// told each exchange's result; it never makes a poll of its own nor a write.
TEST_F(LineTest, ExchangeStatusTagsFollowTheirPollerAndAreNeverWritten) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 2, 0);
  const int inst = Prepare(doc);
  host.ClearRecords();
  constexpr int kStatus = 0x100;
  EXPECT_EQ(host.Bind(inst, "PLC1", "R1", 1, 2, 61), 0x00000);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R50", 1, 2, 62), 0x10000);  // on its own
  EXPECT_EQ(host.Bind(inst, "PLC1", "R2", kStatus, 0, 90), 0x0FFFF);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R50", kStatus, 0, 91), 0x1FFFF);
  EXPECT_EQ(host.Bind(inst, "PLC1", "R80", kStatus, 0, 92), -1);  // nothing reads R80
  EXPECT_EQ(host.Bind(inst, "PLC1", "R1", kStatus + 1, 0, 93), 0x0FFFF);  // the exchange's time
  EXPECT_EQ(host.CountLogs("통신 상태를 연결하지 않습니다."), 1);
  EXPECT_EQ(host.CountLogs("개별 통신합니다."), 1);  // R50's tag only
  host.BuildRequests(inst);
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitValue(90, 0));
  ASSERT_TRUE(WaitValue(91, 0));
  const auto times = host.ValuesFor(93);
  ASSERT_FALSE(times.empty());
  EXPECT_TRUE(times.back().has_value && times.back().value >= 0 && times.back().value < 3000)
      << times.back().value;

  sim_->ScriptFaults({FaultAction{FaultKind::kErrorReply, 5}});
  EXPECT_TRUE(host.WaitFor(
      [&] {
        for (int id : {90, 91}) {
          for (const auto& v : host.ValuesFor(id)) {
            if (v.has_value && v.value == 12) return true;
          }
        }
        return false;
      },
      kWaitMs));
  EXPECT_EQ(host.Write(inst, 0x0FFFF, 5), 0);
  EXPECT_EQ(host.Write(inst, 0x1FFFF, 5), 0);
  ASSERT_TRUE(WaitCycles(inst, "PLC1", 4));
  int counters[4] = {};
  host.Statistics(inst, "PLC1", counters);
  EXPECT_EQ(counters[0], 0) << "a status handle wrote";
}

TEST_F(LineTest, PortThatCannotOpenIsSoughtOnceStarted) {
  TempDir ports;
  // COM1 names a device that does not exist.
  ASSERT_EQ(symlink((ports.path() + "/absent").c_str(), (ports.path() + "/COM1").c_str()), 0);
  setenv("DRAVIKNET_PORTS", ports.path().c_str(), 1);
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 0);
  SaveProject(doc, dir_.File("p.dat"));
  const int inst = host.Create(dir_.File("p.dat"));
  host.ClearRecords();
  EXPECT_EQ(host.Prepare(inst), -4);
  const auto logs = host.Logs();
  ASSERT_EQ(logs.size(), 2u);  // message 4, then the note saying why
  EXPECT_NE(logs[1].text.find("No such file or directory"), std::string::npos) << logs[1].text;
  EXPECT_EQ(logs[0].flags, 0x100);
  EXPECT_NE(logs[0].text.find("통신포트[COM1 (" + ports.path() + "/COM1)]를 열 수 없습니다."),
            std::string::npos)
      << logs[0].text;
  host.SetRunState(inst, nullptr, 1);
  int out[4] = {};
  EXPECT_EQ(host.Statistics(inst, nullptr, out), 1);
  EXPECT_EQ(host.CountLogs("통신시작"), 1);  // started: the port is sought (recovery suite)
  host.Stop(inst);
}

}  // namespace
}  // namespace dravik::test
