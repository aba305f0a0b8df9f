// LineHealth on its own: published counters leave out exchanges that never
// settled, demotion skips and probes a station, and a lost port's tries count
// as failed reads through the health rule.
#include "runtime/station_health.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/tick_count.h"

namespace dravik {
namespace {

struct Fixture {
  CStationInfoDVK a, b;
  std::unique_ptr<LineHealth> health;
  explicit Fixture(DemotionSettings demotion = {}) {
    a.name = "A";
    b.name = "B";
    health = std::make_unique<LineHealth>(std::vector<CStationInfoDVK*>{&a, &b}, demotion);
  }
  std::vector<int> Published(const CStationInfoDVK& s, int* status = nullptr) {
    int c[4] = {};
    const int r = health->Statistics(s, &c[0], &c[1], &c[2], &c[3]);
    if (status) *status = r;
    return {c[0], c[1], c[2], c[3]};
  }
  // One poll as a poller makes it: counted sent, then settled with `code`.
  void Read(CStationInfoDVK& s, int code) {
    ++s.reads_sent;
    if (code != 0) ++s.reads_failed;
    s.ReportResult(code, nullptr);
  }
};

TEST(LineHealthTest, PublishedCountersLeaveOutUnsettledExchanges) {
  Fixture f;
  const LineHealth::ObserverScope observe(f.health.get());
  f.Read(f.a, 0);
  f.Read(f.a, 10);
  ++f.a.reads_sent;                                             // cut off by a stop: never settled
  ++f.b.writes_sent;                                            // likewise for a write
  EXPECT_EQ(f.Published(f.a), (std::vector<int>{0, 0, 0, 0}));  // nothing before a pass ends
  f.health->Publish();
  EXPECT_EQ(f.Published(f.a), (std::vector<int>{0, 0, 2, 1}));
  EXPECT_EQ(f.Published(f.b), (std::vector<int>{0, 0, 0, 0}));
  f.Read(f.a, 0);
  f.health->Publish();
  EXPECT_EQ(f.Published(f.a), (std::vector<int>{0, 0, 3, 1}));
  f.health->ResetCounters(&f.a);
  EXPECT_EQ(f.Published(f.a), (std::vector<int>{0, 0, 0, 0}));
  f.Read(f.a, 0);
  f.health->Publish();
  EXPECT_EQ(f.Published(f.a), (std::vector<int>{0, 0, 1, 0}));
}

TEST(LineHealthTest, DemotionSkipsThenProbesAndAGoodReplyRestores) {
  Fixture f({2, 5});
  const LineHealth::ObserverScope observe(f.health.get());
  const uint32_t now = TickCount();
  f.Read(f.a, 10);
  EXPECT_TRUE(f.health->MayPoll(&f.a, now));
  f.Read(f.a, 10);
  EXPECT_FALSE(f.health->MayPoll(&f.a, TickCount()));
  EXPECT_TRUE(f.health->SkipsWrites(&f.a, TickCount()));
  EXPECT_TRUE(f.health->MayPoll(&f.b, TickCount()));
  EXPECT_TRUE(f.health->MayPoll(&f.a, TickCount() + 5001));  // time up: probe
  EXPECT_TRUE(f.health->TakeDemotedWriteNote(&f.a));
  EXPECT_FALSE(f.health->TakeDemotedWriteNote(&f.a));
  f.health->CountDroppedWrite(&f.a);
  f.health->Publish();
  int status = 0;
  EXPECT_EQ(f.Published(f.a, &status), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(status, 1);
  f.Read(f.a, 10);  // a failed probe demotes again
  EXPECT_FALSE(f.health->MayPoll(&f.a, TickCount()));
  EXPECT_TRUE(f.health->TakeDemotedWriteNote(&f.a));  // a new demotion, a new note
  f.Read(f.a, 0);
  EXPECT_TRUE(f.health->MayPoll(&f.a, TickCount()));
  EXPECT_FALSE(f.health->IsDemoted(f.a));
  f.health->Publish();
  f.Published(f.a, &status);
  EXPECT_EQ(status, 0);
}

TEST(LineHealthTest, DemotionOffNeverSkips) {
  Fixture f;
  const LineHealth::ObserverScope observe(f.health.get());
  for (int i = 0; i < 8; ++i) f.Read(f.a, 9);
  EXPECT_TRUE(f.health->MayPoll(&f.a, TickCount()));
  EXPECT_FALSE(f.health->IsDemoted(f.a));
}

TEST(LineHealthTest, LostPortTriesCountForEveryEnabledStationWithoutDemoting) {
  Fixture f({1, 60});
  f.b.enabled = 0;
  f.health->BeginLoss(&f.a);
  for (int i = 0; i < 6; ++i) f.health->CountLostTry();
  f.health->Publish();
  EXPECT_EQ(f.Published(f.a), (std::vector<int>{0, 0, 6, 6}));
  EXPECT_EQ(f.a.consecutive_failures, 5);  // capped by the rule; 16 came with the fifth
  EXPECT_EQ(f.Published(f.b), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_TRUE(f.health->MayPoll(&f.a, TickCount()));  // a lost port demotes nobody
}

}  // namespace
}  // namespace dravik
