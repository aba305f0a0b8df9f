// dravik-host's station and port states as learnt from the driver's log, and
// the write results as learnt from slot 15's counters: each rule as a table
// of steps and the state or result expected after each.
#include "gateway/line/station_states.h"

#include <gtest/gtest.h>

#include "gateway/line/write_results.h"

namespace dravik::host {
namespace {

constexpr const char* kP = "[Dravik RS232/422] ";

TEST(StationStatesTest, StatesFollowTheHealthRuleDemotionAndThePort) {
  const struct {
    const char* log;  // a driver line (flags 2 unless isolated), or null
    const char* station;
    int status;  // slot 15
    const char* state;
  } steps[] = {
      {"스테이션[PLC2]로부터 수신받은 데이터의 Check Sum이 일치하지 않습니다.", "PLC2", 1, "ok"},
      {"스테이션[PLC2]과 통신할 수 없습니다.", "PLC2", 1, "failing"},
      {nullptr, "plc2", 0, "failing"},  // slot 15 alone does not end it: message 17 does
      {"스테이션[PLC2]과 통신할 수 없습니다.", "PLC1", 0, "ok"},
      {"스테이션[PLC2]과의 통신이 정상적으로 복구되었습니다.", "PLC2", 0, "ok"},
      {"스테이션[PLC2]이 응답하지 않아 10초 동안 통신 대상에서 제외합니다.", "PLC2", 1, "demoted"},
      {nullptr, "PLC2", -1, "disabled"},
      {"스테이션[PLC2]을 다시 사용하여 통신 대상에 복귀합니다.", "PLC2", 1, "ok"},
      {"스테이션[PLC2]이 응답하지 않아 10초 동안 통신 대상에서 제외합니다.", "PLC2", 1, "demoted"},
      {"스테이션[PLC2]이 다시 응답하여 통신 대상에 복귀합니다.", "PLC2", 0, "ok"},
      {"통신포트[COM1]의 장치가 사라졌습니다. 1초마다 다시 엽니다.", "PLC1", 1, "no_port"},
      {"통신포트[COM1 (/dev/x)]를 열 수 없습니다.", "PLC1", 1, "no_port"},  // still lost
      {"통신포트 초기화 완료", "PLC1", 0, "ok"},
      {"스테이션[PLC]과 통신할 수 없습니다.", "PLC1", 0, "ok"},  // another name's prefix
  };
  StationStates s;
  s.Reset({"PLC1", "PLC2", "PLC"});
  for (const auto& step : steps) {
    SCOPED_TRACE(step.log ? step.log : step.station);
    if (step.log) s.OnLog(2, std::string(kP) + step.log);
    EXPECT_EQ(s.StateOf(step.station, step.status), step.state);
  }
  s.OnLog(2, std::string(kP) + "통신포트[COM1]의 연결이 끊어졌습니다. 1초마다 다시 엽니다.");
  s.OnRunState("PLC2", false);  // with the port closed only the runner knows
  EXPECT_EQ(s.StateOf("PLC2", 1), "disabled");
  EXPECT_EQ(s.Port(), PortState::kLost);
}

TEST(WriteResultsTest, AResultIsClaimedOnlyFromTheCounters) {
  using Clock = WriteResults::Clock;
  const Clock::time_point t0 = Clock::now();
  const struct {
    const char* name;
    int writes;          // issued at t0 to station 0, counters 10/2
    int sent, failed;    // the next reading
    const char* event;   // "disable", "reset", "expire" or ""
    int oks;             // results ok:true
    const char* reason;  // a part of every result's reason
  } cases[] = {
      {"two answered", 2, 12, 2, "", 2, "acknowledged"},
      {"one of two answered so far", 2, 11, 2, "", 1, "acknowledged"},
      {"failed, with the log line", 1, 11, 3, "", 0, "에러번호[5]"},
      {"mixed: which is unknown", 2, 12, 3, "", 0, "unconfirmed"},
      {"more ended than waited", 1, 12, 2, "", 0, "unconfirmed"},
      {"counters went back", 1, 0, 0, "", 0, "reset"},
      {"disabled while waiting", 1, 10, 2, "disable", 0, "disabled"},
      {"reset while waiting", 1, 10, 2, "reset", 0, "reset"},
      {"no end seen", 1, 10, 2, "expire", 0, "within"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteResults w(1);
    for (int i = 0; i < c.writes; ++i) w.Issued(0, TrackedWrite{"T", i, "id", WriteOrigin::kMqtt, t0}, 10, 2);
    const std::string event = c.event;
    if (event == "disable") w.Disabled(0, t0);
    if (event == "reset") w.CountersReset(0, t0);
    if (event == "expire") w.Expire(t0 + WriteResults::kResultTimeout);
    w.Observe(0, c.sent, c.failed, "스테이션[PLC1]로부터 에러번호[5]를 수신받았습니다.", t0);
    const std::vector<WriteResult> results = w.Take();
    ASSERT_FALSE(results.empty());
    int oks = 0;
    for (const auto& r : results) {
      oks += r.ok ? 1 : 0;
      EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
      EXPECT_EQ(r.write.id, "id");
    }
    EXPECT_EQ(oks, c.oks);
  }
  // After a disable, an exchange still under way may end late: a write made
  // meanwhile is not called acknowledged on that count.
  WriteResults w(1);
  w.Disabled(0, t0);
  w.Issued(0, TrackedWrite{"T", 1, nullptr, WriteOrigin::kTerminal, t0 + std::chrono::seconds(1)}, 10, 2);
  w.Observe(0, 11, 2, "", t0 + std::chrono::seconds(2));
  const std::vector<WriteResult> late = w.Take();
  ASSERT_EQ(late.size(), 1u);
  EXPECT_FALSE(late[0].ok);
  EXPECT_NE(late[0].reason.find("unconfirmed"), std::string::npos);

  // A write given up is still in the driver's queue: its station stays busy
  // until its end is seen, that end is credited to no one, and the next write
  // is judged by its own end alone.
  WriteResults g(1);
  g.Issued(0, TrackedWrite{"T", 1, nullptr, WriteOrigin::kTerminal, t0}, 10, 2);
  g.Expire(t0 + WriteResults::kResultTimeout);
  const std::vector<WriteResult> given_up = g.Take();
  ASSERT_EQ(given_up.size(), 1u);
  EXPECT_NE(given_up[0].reason.find("may be sent later"), std::string::npos);
  g.Observe(0, 10, 2, "", t0 + std::chrono::seconds(11));
  EXPECT_TRUE(g.Busy(0));
  g.Observe(0, 11, 2, "", t0 + std::chrono::seconds(12));
  EXPECT_FALSE(g.Busy(0));
  EXPECT_TRUE(g.Take().empty());
  g.Issued(0, TrackedWrite{"T", 2, nullptr, WriteOrigin::kTerminal, t0 + std::chrono::seconds(13)},
           11, 2);
  g.Observe(0, 12, 2, "", t0 + std::chrono::seconds(14));
  const std::vector<WriteResult> next = g.Take();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_TRUE(next[0].ok) << next[0].reason;
}

}  // namespace
}  // namespace dravik::host
