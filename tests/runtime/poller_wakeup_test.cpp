// The data-ready event wakes the event thread only when a poll queued events:
// a quiet poll leaves it unsignalled, any posted event signals it. Driven
// through DispatchChanges with hand-made data images, for both kinds of poller.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "model/comm_block.h"
#include "model/station_info.h"
#include "platform/event.h"
#include "runtime/block_poller.h"
#include "runtime/tag_poller.h"

namespace dravik {
namespace {

using Image = std::array<uint8_t, kDataImageBytes>;

Image WithWord(size_t word, uint16_t value, Image image = {}) {
  image[2 * word] = static_cast<uint8_t>(value & 0xFF);
  image[2 * word + 1] = static_cast<uint8_t>(value >> 8);
  return image;
}

struct WakeCase {
  const char* name;
  std::vector<TagBinding> bindings;  // block poller bindings (area R, 4 words)
  std::vector<Image> images;         // one poll each
  std::vector<bool> wakes;           // expected signal after each poll
  std::vector<size_t> events;        // events queued by each poll
};

class BlockPollerWakeup : public ::testing::TestWithParam<WakeCase> {};

TEST_P(BlockPollerWakeup, SignalsOnlyWhenEventsWereQueued) {
  const WakeCase& c = GetParam();
  Event data_ready(Event::Reset::kAuto);
  ValueEventList events;
  const LineContext line{nullptr, &data_ready, &events};
  CStationInfoDVK station;
  station.number = 1;
  CCommBlockDVK block;
  block.area = 7;
  block.start = 1;
  block.count = 4;
  CBlockPoller poller(line, &station, &block);
  for (const TagBinding& b : c.bindings) poller.AddBinding(b);
  for (size_t i = 0; i < c.images.size(); ++i) {
    const size_t before = events.Size();
    poller.DispatchChanges(c.images[i]);
    EXPECT_EQ(events.Size() - before, c.events[i]) << "poll " << i;
    EXPECT_EQ(data_ready.Wait(0), c.wakes[i]) << "poll " << i;
  }
}

const TagBinding kWord0{1, 4, 2, 0};  // unsigned 16-bit at word 0
const TagBinding kBit3OfWord1{2, kTypeBit, 3, 1};

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockPollerWakeup,
    ::testing::Values(
        WakeCase{
            "NoBindingsNeverWakes", {}, {WithWord(0, 1), WithWord(0, 2)}, {false, false}, {0, 0}},
        WakeCase{"FirstPollThenQuietThenChange",
                 {kWord0},
                 {WithWord(0, 5), WithWord(0, 5), WithWord(0, 6)},
                 {true, false, true},
                 {1, 0, 1}},
        WakeCase{"ChangeOutsideEveryTagIsQuiet",
                 {kWord0},
                 {WithWord(0, 5), WithWord(2, 9, WithWord(0, 5))},
                 {true, false},
                 {1, 0}},
        WakeCase{"OtherBitOfABitTagsWordIsQuiet",
                 {kBit3OfWord1},
                 {WithWord(1, 0x0008), WithWord(1, 0x0009), WithWord(1, 0x0001)},
                 {true, false, true},
                 {1, 0, 1}}),
    [](const ::testing::TestParamInfo<WakeCase>& info) { return std::string(info.param.name); });

TEST(TagPollerWakeup, SignalsOnlyWhenItsValueChanged) {
  Event data_ready(Event::Reset::kAuto);
  ValueEventList events;
  const LineContext line{nullptr, &data_ready, &events};
  CStationInfoDVK station;
  station.number = 1;
  CTagPoller poller(line, &station, 7, 100, kWord0);
  const struct {
    Image image;
    bool wakes;
  } polls[] = {{WithWord(0, 7), true},
               {WithWord(0, 7), false},
               {WithWord(1, 3), true},
               {WithWord(1, 4), false}};
  for (const auto& p : polls) {
    poller.DispatchChanges(p.image);
    EXPECT_EQ(data_ready.Wait(0), p.wakes);
  }
  EXPECT_EQ(events.Size(), 2u);
}

}  // namespace
}  // namespace dravik
