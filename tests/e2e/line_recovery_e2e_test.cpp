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
// (a clean reply, late or after noise), per station and kind.
struct SimCounts {
  int good_reads = 0;
  int good_writes = 0;
};

SimCounts CountGood(const std::vector<RequestRecord>& log, int station) {
  SimCounts counts;
  for (const RequestRecord& r : log) {
    if (r.request.size() < 4 || r.request[2] != station || r.reply.empty()) continue;
    if (r.fault != FaultKind::kNone && r.fault != FaultKind::kNoise &&
        r.fault != FaultKind::kDelay) {
      continue;
    }
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
  ASSERT_TRUE(WaitReads(inst, "PLC2", 6));
  uint16_t value = 0;
  sim_->GetWord(2, kAreaR, 2, &value);
  EXPECT_EQ(value, 0);  // dropped writes never arrive late
  QuietStop(inst, {"PLC1", "PLC2"});
  ExpectIdentity(inst, "PLC1", 1, sim_->Log());
  ExpectIdentity(inst, "PLC2", 2, sim_->Log());
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

}  // namespace
}  // namespace dravik::test
