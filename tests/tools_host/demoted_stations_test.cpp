// dravik-host's demoted state: learnt from the driver's demotion note, shown
// while slot 15 says failing, forgotten once the station is healthy again.
#include "tools/host/demoted_stations.h"

#include <gtest/gtest.h>

namespace dravik::host {
namespace {

TEST(DemotedStationsTest, NoteMarksUntilTheStationIsHealthy) {
  DemotedStations d;
  d.OnLog("[Dravik RS232/422] 스테이션[PLC2]과 통신할 수 없습니다.");
  EXPECT_EQ(d.StateOf("PLC2", 1), "failing");
  d.OnLog("[Dravik RS232/422] 스테이션[PLC2]이 응답하지 않아 10초 동안 통신 대상에서 제외합니다.");
  EXPECT_EQ(d.StateOf("plc2", 1), "demoted");  // slot 15 names match without case
  EXPECT_EQ(d.StateOf("PLC1", 1), "failing");
  EXPECT_EQ(d.StateOf("PLC2", 0), "ok");
  EXPECT_EQ(d.StateOf("PLC2", 1), "failing");  // failing again, but not demoted
  d.OnLog("[Dravik RS232/422] 스테이션[PLC2]이 응답하지 않아 10초 동안 통신 대상에서 제외합니다.");
  EXPECT_EQ(d.StateOf("PLC2", -1), "disabled");
  EXPECT_EQ(d.StateOf("PLC2", 1), "failing");
}

}  // namespace
}  // namespace dravik::host
