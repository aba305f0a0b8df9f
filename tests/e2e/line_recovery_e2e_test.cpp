// Keeping a line alive end to end: a pseudo-terminal that goes away and comes
// back under the same COMn name, a station switched off with demotion on, and
// the counters the host reads (sent == good + failed at every read), checked
// against what the simulator actually answered.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/driver_host.h"
#include "tests/e2e/line_fixture.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::test {
namespace {

using plcsim::FaultAction;
using plcsim::FaultKind;
using plcsim::PlcSimulator;
using plcsim::RequestRecord;
using plcsim::SimulatorOptions;

constexpr int kAreaR = 7;
constexpr int kWaitMs = 5000;

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Exchanges the simulator answered so that the driver must take them as good
// (in time, from the right station, without an error), per station and kind.
struct SimCounts {
  int good_reads = 0;
  int good_writes = 0;
};

SimCounts CountGood(const std::vector<RequestRecord>& log, int station) {
  SimCounts counts;
  for (const RequestRecord& r : log) {
    if (r.request.size() < 4 || r.request[2] != station || !plcsim::AnsweredInTime(r)) continue;
    const uint8_t command = r.request[3];
    if (command == 0x01 || command == 0x02) ++counts.good_reads;
    if (command == 0x04 || command == 0x05) ++counts.good_writes;
  }
  return counts;
}

class RecoveryTest : public SimulatedLineTest {
 protected:
  void SetUp() override {
    setenv("DRAVIKNET_PORTS", dir_.path().c_str(), 1);
    setenv("DRAVIKNET_CONFIG", dir_.File("draviknet.conf").c_str(), 1);
  }

  void WriteSettings(const std::string& text) {
    std::ofstream(dir_.File("draviknet.conf")) << text;
  }

  std::vector<int> Counters(int inst, const char* station, int* status = nullptr) {
    int c[4] = {};
    const int s = host.Statistics(inst, station, c);
    if (status) *status = s;
    return {c[0], c[1], c[2], c[3]};
  }

  // Stops with no exchange in flight (the stations are disabled first and
  // the line given time to settle), so the simulator's log and the driver's
  // counters describe the same exchanges.
  void QuietStop(int inst, const std::vector<const char*>& stations) {
    for (const char* s : stations) host.SetRunState(inst, s, 0);
    usleep(400 * 1000);
    host.Stop(inst);
  }

  // sent == good + failed, with good taken from what the simulator answered.
  void ExpectIdentity(int inst, const char* name, int number,
                      const std::vector<RequestRecord>& log) {
    const std::vector<int> c = Counters(inst, name);
    const SimCounts good = CountGood(log, number);
    EXPECT_EQ(c[2], good.good_reads + c[3]) << name << " reads";
    EXPECT_EQ(c[0], good.good_writes + c[1]) << name << " writes";
  }

  bool WaitReads(int inst, const char* station, int more) {
    const int start = Counters(inst, station)[2];
    return host.WaitFor([&] { return Counters(inst, station)[2] >= start + more; }, kWaitMs);
  }
};

CDravikNetDoc* TwoStations(CDravikNetDoc& doc) {
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 0);
  doc.Stations().push_back(MakeStation("PLC2", 2));
  AddBlock(*doc.Stations()[1], "R1", kAreaR, 1, 4, 0);
  return &doc;
}

// The pseudo-terminal goes away (link deleted, master closed) and a new one
// is published under the same COM1 name: the engine notices, idles, counts
// its tries, drops the writes made meanwhile and resumes on its own.
TEST_F(RecoveryTest, LostPortIsReopenedUnderTheSameNameWithoutARestart) {
  StartSimulator({1, 2});
  CDravikNetDoc doc;
  const int inst = Prepare(*TwoStations(doc));
  const int tag = host.Bind(inst, "PLC1", "R2", 1, 2, 71);
  host.BuildRequests(inst);
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitReads(inst, "PLC1", 3));

  host.ClearRecords();
  sim_->Stop();
  std::vector<RequestRecord> log = sim_->Log();
  sim_.reset();  // closes the master and deletes the COM1 link
  ASSERT_TRUE(host.WaitFor([&] { return host.CountLogs("연결이 끊어졌습니다") == 1; }, kWaitMs));
  EXPECT_EQ(host.Write(inst, tag, 9), 0);  // made while lost: counted failed, never sent

  // While lost the process idles: one open attempt a second.
  const double cpu_before = ProcessCpuSeconds();
  const auto wall_before = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.WaitFor([&] { return host.CountLogs("통신할 수 없습니다.") == 2; }, 8000));
  const double cpu = ProcessCpuSeconds() - cpu_before;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
  EXPECT_GT(wall, 2.0);
  EXPECT_LT(cpu, 0.05 * wall) << cpu << " s of CPU in " << wall << " s";
  // Counted when the try has ended, just after its messages.
  int status = 0;
  EXPECT_TRUE(host.WaitFor([&] { return Counters(inst, "PLC2", &status)[3] >= 5; }, kWaitMs));
  EXPECT_EQ(status, 1);

  StartSimulator({1, 2});  // a new pty behind the same name
  ASSERT_TRUE(host.WaitFor([&] { return host.CountLogs("정상적으로 복구") == 2; }, kWaitMs));
  EXPECT_EQ(host.CountLogs("통신포트 초기화 완료"), 1);
  EXPECT_EQ(host.CountLogs("통신시작"), 0);
  ASSERT_TRUE(WaitReads(inst, "PLC1", 2));
  uint16_t value = 0;
  sim_->GetWord(1, kAreaR, 2, &value);
  EXPECT_EQ(value, 0);

  // One failure message per station for the whole loss (8 or 9, whichever
  // the exchange met), then 16 and 17 once each; one note for the write.
  for (const char* name : {"PLC1", "PLC2"}) {
    const std::string station = std::string("스테이션[") + name + "]";
    EXPECT_EQ(host.CountLogs(station + "으로부터 데이터를 수신할 수 없습니다.") +
                  host.CountLogs(station + "에 데이터를 송신할 수 없습니다."),
              1)
        << name;
    EXPECT_EQ(host.CountLogs(station + "과 통신할 수 없습니다."), 1) << name;
  }
  EXPECT_EQ(host.CountLogs("쓰기를 보내지 않고 실패로 처리합니다."), 1);
  for (const auto& line : host.Logs()) {
    if (line.text.find("연결이 끊어졌습니다") != std::string::npos) {
      EXPECT_EQ(line.flags, 0x102);
    }
  }

  QuietStop(inst, {"PLC1", "PLC2"});
  const std::vector<RequestRecord> after = sim_->Log();
  log.insert(log.end(), after.begin(), after.end());
  ExpectIdentity(inst, "PLC1", 1, log);
  ExpectIdentity(inst, "PLC2", 2, log);
  EXPECT_EQ(Counters(inst, "PLC1")[1], 1);  // the write made while lost
}

// Stop while the port is lost returns at once; a new start keeps trying.
TEST_F(RecoveryTest, StopDuringReopenIsPromptAndAStartResumesTheTries) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 0);
  const int inst = Prepare(doc);
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitReads(inst, "PLC1", 2));
  sim_->Stop();
  sim_.reset();
  ASSERT_TRUE(host.WaitFor([&] { return host.CountLogs("연결이 끊어졌습니다") >= 1; }, kWaitMs));
  usleep(1500 * 1000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.Stop(inst), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  host.ClearRecords();
  host.SetRunState(inst, nullptr, 1);
  StartSimulator({1});
  EXPECT_TRUE(host.WaitFor([&] { return host.CountLogs("통신포트 초기화 완료") == 1; }, kWaitMs));
  EXPECT_TRUE(WaitReads(inst, "PLC1", 2));
}

// An exchange cut off by a stop counts as neither sent nor failed.
TEST_F(RecoveryTest, ExchangeCutOffByStopIsNotCounted) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 0);
  const int inst = Prepare(doc);
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(WaitReads(inst, "PLC1", 3));
  sim_->ScriptFaults(std::vector<FaultAction>(3, FaultAction{FaultKind::kNoReply, 0}));
  ASSERT_TRUE(host.WaitFor(
      [&] {
        for (const auto& r : sim_->Log()) {
          if (r.fault == FaultKind::kNoReply) return true;
        }
        return false;
      },
      kWaitMs));
  // Sampled while the driver waits for the reply that never comes.
  const std::vector<int> waiting = Counters(inst, "PLC1");
  EXPECT_EQ(waiting[2], CountGood(sim_->Log(), 1).good_reads + waiting[3]);
  host.Stop(inst);
  ExpectIdentity(inst, "PLC1", 1, sim_->Log());
  EXPECT_EQ(Counters(inst, "PLC1")[3], 0);
}

// With demotion on, a switched-off station is skipped after two failures,
// its writes are dropped and counted, slot 15 shows it failing; switched on
// again, the next probe restores it.
TEST_F(RecoveryTest, SilentStationIsDemotedProbedAndRestored) {
  WriteSettings("; test line\n[COM1]\ndemote_after = 2   ; in a row\ndemote_seconds = 2\n");
  StartSimulator({1, 2});
  sim_->SetStationOff(2, true);
  CDravikNetDoc doc;
  TwoStations(doc);
  AddBlock(*doc.Stations()[1], "R10", kAreaR, 10, 4, 0);
  AddBlock(*doc.Stations()[1], "R20", kAreaR, 20, 4, 0);
  const int inst = Prepare(doc);
  const int tag = host.Bind(inst, "PLC2", "R2", 1, 2, 81);
  host.SetRunState(inst, nullptr, 1);
  const std::string note = "스테이션[PLC2]이 응답하지 않아 2초 동안 통신 대상에서 제외합니다.";
  ASSERT_TRUE(host.WaitFor([&] { return host.CountLogs(note) == 1; }, 10000));
  int status = 0;
  Counters(inst, "PLC2", &status);
  EXPECT_EQ(status, 1);

  // Demoted: no request reaches station 2 for a while, station 1 goes on.
  auto requests_to_2 = [&] {
    int n = 0;
    for (const auto& r : sim_->Log()) n += r.request.size() > 2 && r.request[2] == 2;
    return n;
  };
  const int before = requests_to_2();
  EXPECT_EQ(host.Write(inst, tag, 5), 0);
  EXPECT_EQ(host.Write(inst, tag, 6), 0);
  ASSERT_TRUE(WaitReads(inst, "PLC1", 8));
  EXPECT_EQ(requests_to_2(), before);
  EXPECT_EQ(host.CountLogs("스테이션[PLC2]이 통신 대상에서 제외되어 있어 쓰기를"), 1);
  EXPECT_EQ(Counters(inst, "PLC2")[1], 2);

  // Probes keep failing: the note is not repeated. Switched on: restored.
  ASSERT_TRUE(host.WaitFor([&] { return requests_to_2() > before; }, kWaitMs));
  sim_->SetStationOff(2, false);
  ASSERT_TRUE(host.WaitFor(
      [&] {
        Counters(inst, "PLC2", &status);
        return status == 0;
      },
      10000));
  EXPECT_EQ(host.CountLogs(note), 1);
  // Restored below five failures: message 17 does not come, the note does.
  EXPECT_EQ(host.CountLogs("스테이션[PLC2]이 다시 응답하여 통신 대상에 복귀합니다."), 1);
  ASSERT_TRUE(WaitReads(inst, "PLC2", 6));
  uint16_t value = 0;
  sim_->GetWord(2, kAreaR, 2, &value);
  EXPECT_EQ(value, 0);  // dropped writes never arrive late
  QuietStop(inst, {"PLC1", "PLC2"});
  ExpectIdentity(inst, "PLC1", 1, sim_->Log());
  ExpectIdentity(inst, "PLC2", 2, sim_->Log());
}

// Enabling a demoted station lifts its demotion at once: it is polled in the
// next cycle, long before its 60 s are up, and the host is told.
TEST_F(RecoveryTest, EnablingADemotedStationPollsItAtOnce) {
  WriteSettings("[COM1]\ndemote_after = 1\ndemote_seconds = 60\nprobe_timeout_ms = 200\n");
  StartSimulator({1, 2});
  sim_->SetStationOff(2, true);
  CDravikNetDoc doc;
  const int inst = Prepare(*TwoStations(doc));
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(
      host.WaitFor([&] { return host.CountLogs("60초 동안 통신 대상에서 제외") == 1; }, kWaitMs));
  ASSERT_TRUE(host.WaitFor([&] { return Counters(inst, "PLC2")[3] == 1; }, kWaitMs));
  sim_->SetStationOff(2, false);
  const int reads = Counters(inst, "PLC2")[2];
  usleep(500 * 1000);
  EXPECT_EQ(Counters(inst, "PLC2")[2], reads);  // skipped while demoted
  host.SetRunState(inst, "PLC2", 1);
  EXPECT_EQ(host.CountLogs("스테이션[PLC2]을 다시 사용하여 통신 대상에 복귀합니다."), 1);
  ASSERT_TRUE(WaitReads(inst, "PLC2", 2));
  int status = 0;
  Counters(inst, "PLC2", &status);
  EXPECT_EQ(status, 0);
}

// Bad line settings: one line naming file, line and problem; defaults apply.
TEST_F(RecoveryTest, BadSettingsFileIsLoggedOnceAndIgnored) {
  WriteSettings("[COM1]\ndemote_after = 1\ndemote_sekonds = 3\n");
  StartSimulator({1});
  sim_->SetStationOff(1, true);
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 0);
  host.ClearRecords();
  const int inst = Prepare(doc);
  EXPECT_EQ(host.CountLogs(dir_.File("draviknet.conf") + ":3: unknown key 'demote_sekonds'"), 1);
  EXPECT_EQ(host.CountLogs("기본 설정으로 통신합니다."), 1);
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(host.WaitFor([&] { return host.CountLogs("Time Out") == 1; }, kWaitMs));
  usleep(200 * 1000);
  EXPECT_EQ(host.CountLogs("통신 대상에서 제외"), 0);  // demotion stayed off
}

// Slot 4 while running waits for the poll in progress instead of rebuilding
// a request under it: no spurious format errors.
TEST_F(RecoveryTest, RebuildingRequestsWhileRunningIsSafe) {
  StartSimulator({1});
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  const int inst = Prepare(doc);
  for (int i = 0; i < 4; ++i) {
    host.Bind(inst, "PLC1", ("R" + std::to_string(100 + i)).c_str(), 1, 2, 90 + i);
  }
  host.BuildRequests(inst);
  host.SetRunState(inst, nullptr, 1);
  host.ClearRecords();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < until) host.BuildRequests(inst);
  ASSERT_TRUE(WaitReads(inst, "PLC1", 4));
  EXPECT_EQ(host.CountLogs("스테이션[PLC1]"), 0);
  QuietStop(inst, {"PLC1"});
  ExpectIdentity(inst, "PLC1", 1, sim_->Log());
}

// Late replies: every fourth reply comes 3.4 s late, after the driver gave up
// on it, into the next exchange. Two blocks of the same size hold values that
// name their block, and every write goes to an address the PLC refuses. No
// value of one request may be delivered for another, every refused write is
// counted failed, and good reads never exceed the replies sent in time; for
// a PLC that echoes its requests and for one that does not.
TEST_F(RecoveryTest, LateRepliesNeverAnswerAnotherRequest) {
  for (const bool echo : {true, false}) {
    SCOPED_TRACE(echo ? "echoing PLC" : "PLC without echo");
    StartSimulator({1}, echo);
    for (int a = 1; a <= 4; ++a) {
      sim_->SetWord(1, kAreaR, a, static_cast<uint16_t>(100 + a));
      sim_->SetWord(1, kAreaR, 10 + a, static_cast<uint16_t>(210 + a));
    }
    ASSERT_TRUE(sim_->RefuseWrites(1, kAreaR, 3));
    std::vector<FaultAction> every_fourth;
    for (int k = 0; k < 40; ++k) {
      every_fourth.push_back(k % 4 == 3 ? FaultAction{FaultKind::kDelay, 3400} : FaultAction{});
    }
    sim_->ScriptFaults(every_fourth);
    CDravikNetDoc doc;
    doc.Stations().push_back(MakeStation("PLC1", 1));
    AddBlock(*doc.Stations()[0], "A", kAreaR, 1, 4, 0);
    AddBlock(*doc.Stations()[0], "B", kAreaR, 11, 4, 0);
    const int inst = Prepare(doc);
    host.ClearRecords();
    const int tag_a = host.Bind(inst, "PLC1", "R1", 4, 2, 31);
    host.Bind(inst, "PLC1", "R11", 4, 2, 32);
    const int refused = host.Bind(inst, "PLC1", "R3", 4, 2, 33);
    ASSERT_GE(tag_a, 0);
    host.SetRunState(inst, nullptr, 1);
    for (int k = 0; k < 10; ++k) {
      EXPECT_EQ(host.Write(inst, refused, k), 0);
      usleep(900 * 1000);
      for (int a = 1; a <= 4; ++a) {  // the values change, so a stale image shows too
        sim_->SetWord(1, kAreaR, a, static_cast<uint16_t>(100 * k + 1000 + a));
        sim_->SetWord(1, kAreaR, 10 + a, static_cast<uint16_t>(100 * k + 5010 + a));
      }
    }
    ASSERT_TRUE(host.WaitFor([&] { return Counters(inst, "PLC1")[0] == 10; }, 8000));
    QuietStop(inst, {"PLC1"});
    for (const ValueEvent& v : host.Values()) {
      // A's values end in 01 and lie below 5000, B's end in 11 and lie above.
      const int value = static_cast<int>(v.value);
      const bool a = value % 100 == 1 && (value == 101 || (value >= 1000 && value < 5000));
      const bool b = value % 100 == 11 && (value == 211 || value >= 5000);
      EXPECT_TRUE(v.tag_id != 31 || a) << value;
      EXPECT_TRUE(v.tag_id != 32 || b) << value;
    }
    ExpectIdentity(inst, "PLC1", 1, sim_->Log());
    const std::vector<int> c = Counters(inst, "PLC1");
    EXPECT_EQ(c[0], 10);
    EXPECT_EQ(c[1], 10);  // refused or timed out, never done
    EXPECT_GE(c[2] - c[3], 3);  // each late reply costs the 3 s time-out
    EXPECT_EQ(host.CountLogs("국번과 명령으로만"), echo ? 0 : 1);
    host.Stop(inst);
    sim_->Stop();
  }
}

// A port missing at start (an adapter that enumerates later): slot 3 says
// message 4, the start seeks it once a second, counting the tries, and opens
// it when it appears, with no restart.
TEST_F(RecoveryTest, PortMissingAtStartIsOpenedWhenItAppears) {
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  AddBlock(*doc.Stations()[0], "R1", kAreaR, 1, 4, 0);
  SaveProject(doc, dir_.File("line.dat"));
  const int inst = host.Create(dir_.File("line.dat"));
  instances_.push_back(inst);
  host.ClearRecords();
  EXPECT_EQ(host.Prepare(inst), -4);
  host.SetRunState(inst, nullptr, 1);
  EXPECT_EQ(host.CountLogs("통신시작"), 1);
  EXPECT_EQ(host.CountLogs("통신포트[COM1]가 열려 있지 않습니다. 1초마다 다시 엽니다."), 1);
  int status = 0;
  Counters(inst, "PLC1", &status);
  EXPECT_EQ(status, 1);  // failing at once, before any try has been counted
  ASSERT_TRUE(host.WaitFor([&] { return Counters(inst, "PLC1")[3] >= 2; }, kWaitMs));
  EXPECT_EQ(host.CountLogs("스테이션[PLC1]으로부터 데이터를 수신할 수 없습니다."), 1);
  StartSimulator({1});
  ASSERT_TRUE(host.WaitFor([&] { return host.CountLogs("통신포트 초기화 완료") == 1; }, kWaitMs));
  ASSERT_TRUE(WaitReads(inst, "PLC1", 3));
  Counters(inst, "PLC1", &status);
  EXPECT_EQ(status, 0);
  QuietStop(inst, {"PLC1"});
  ExpectIdentity(inst, "PLC1", 1, sim_->Log());
}

// A write still queued when communication stops was never sent: it is
// counted failed, with a note, not lost from the counters.
TEST_F(RecoveryTest, WritesQueuedAtStopAreCountedFailed) {
  StartSimulator({1});
  sim_->SetStationOff(1, true);  // the first write waits for a reply that never comes
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  const int inst = Prepare(doc);
  const int tag = host.Bind(inst, "PLC1", "R5", 4, 2, 41);
  host.BuildRequests(inst);
  host.SetRunState(inst, nullptr, 1);
  ASSERT_TRUE(host.WaitFor([&] { return sim_->RequestCount() >= 1; }, kWaitMs));
  host.Write(inst, tag, 1);
  // The write goes out after the read's 3 s time-out and the 2 s the line
  // then waits for the silent station to fall back in step: 5 s at best.
  ASSERT_TRUE(host.WaitFor([&] { return sim_->RequestCount() >= 2; }, 3 * kWaitMs));
  host.Write(inst, tag, 2);
  host.Write(inst, tag, 3);
  host.Stop(inst);
  EXPECT_EQ(host.CountLogs("통신이 종료되어 쓰기 2건을 보내지 않고 실패로 처리합니다."), 1);
  const std::vector<int> c = Counters(inst, "PLC1");
  EXPECT_EQ(c[0], 2);  // the write cut off by the stop never ended: in neither
  EXPECT_EQ(c[1], 2);
}

}  // namespace
}  // namespace dravik::test
