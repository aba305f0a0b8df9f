// Freshness per block and its faces' view of it: the exchange results that
// make a block's data fresh or stale, and the status page's share of failed
// time and tag qualities.
#include <gtest/gtest.h>

#include <vector>

#include "gateway/http/http_status.h"
#include "gateway/line/exchange_freshness.h"

namespace dravik::host {
namespace {

// One block: exchanges (ms, result), then whether it is fresh at `at`.
TEST(ExchangeFreshnessTest, ABlockIsFreshOnlyAfterAGoodExchangeWithinItsLimit) {
  struct Case {
    const char* what;
    int64_t floor_ms, fixed_ms;
    std::vector<std::pair<int64_t, int>> exchanges;
    int64_t at;
    bool fresh;
  };
  const Case cases[] = {
      {"never asked", 0, 0, {}, 1000, false},
      {"a good read just now", 0, 0, {{1000, 0}}, 1100, true},
      {"a failure after it: stale at once", 0, 0, {{1000, 0}, {1100, 10}}, 1150, false},
      {"good again", 0, 0, {{1000, 0}, {1100, 10}, {1200, 0}}, 1250, true},
      {"older than the 5 s least limit", 0, 0, {{1000, 0}}, 6001, false},
      {"a slow block's period raises the limit", 4000, 0, {{1000, 0}}, 12000, true},
      {"the learnt gap raises it", 0, 0, {{1000, 0}, {4000, 0}}, 12000, true},
      {"a gap across a failure is not learnt",
       0,
       0,
       {{1000, 0}, {2000, 10}, {5000, 0}},
       10001,
       false},
      {"a fixed limit rules", 4000, 1500, {{1000, 0}}, 2501, false},
  };
  for (const Case& c : cases) {
    ExchangeFreshness f({c.floor_ms}, c.fixed_ms);
    for (const auto& [ms, result] : c.exchanges) f.Record(0, result, ms);
    EXPECT_EQ(f.Fresh(0, c.at), c.fresh) << c.what;
  }
  // A block yet to learn its gap takes the line's longest learnt one (3 x 7 s).
  ExchangeFreshness line({0, 0}, 0);
  for (const auto& [poller, ms] : {std::pair{0, 1000}, {0, 8000}, {1, 2000}}) {
    line.Record(static_cast<size_t>(poller), 0, ms);
  }
  EXPECT_TRUE(line.Fresh(1, 23000));
  EXPECT_FALSE(line.Fresh(1, 23001));
}

StationReport Report(int status, std::vector<size_t> stale_tags = {}) {
  StationReport r;
  r.state = "ok";
  r.port = "open";
  r.status = status;
  r.last_good_ms = 1;
  r.stale_tags = std::move(stale_tags);
  return r;
}

TEST(StatusPageTest, FailedShareIsOfTimeAndEachTagHasItsOwnQuality) {
  StatusPageSetup setup;
  setup.stations = {"PLC1"};
  setup.tags = {"Counter", "Lamp", "Pulse"};
  setup.tag_stations = {"PLC1", "PLC1", "PLC1"};
  setup.write_only = {false, false, true};
  HttpStatus page(setup);
  LineSample first;
  first.stations = {Report(0)};
  first.port = PortState::kOpen;
  page.OnSample(first);
  // 10 s good, then 30 s during which the last exchange had failed (a
  // silent station is asked seldom: its counters would say little).
  for (int64_t ms = 0; ms <= 10000; ms += 200) page.OfferLine({Report(0)}, 0, "", ms);
  const auto rate = [&page] { return page.StationsJson()["stations"][0]["failure_rate_1m"]; };
  page.OfferLine({Report(1, {1})}, 0, "", 10200);
  EXPECT_NEAR(rate().get<double>(), 200.0 / 10200, 1e-9) << "a station failing shows it at once";
  for (int64_t ms = 10400; ms <= 40000; ms += 200) page.OfferLine({Report(1, {1})}, 0, "", ms);
  EXPECT_NEAR(rate().get<double>(), 0.75, 1e-9);
  // A minute later only the failed time is left in the window.
  for (int64_t ms = 40200; ms <= 70000; ms += 200) page.OfferLine({Report(1, {1})}, 0, "", ms);
  EXPECT_NEAR(rate().get<double>(), 1.0, 1e-9);

  const Json tags = page.TagsJson()["tags"];
  ASSERT_EQ(tags.size(), 3u) << tags;
  EXPECT_EQ(tags[0]["quality"], "good");        // its block answers
  EXPECT_EQ(tags[1]["quality"], "stale");       // its block does not
  EXPECT_EQ(tags[2]["quality"], "write_only");  // never read
}

}  // namespace
}  // namespace dravik::host
