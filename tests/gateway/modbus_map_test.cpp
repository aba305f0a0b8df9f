// The Modbus face's rules on their own: which points a line serves, what a
// request frame asks, when a station's data counts as fresh, and what the
// image answers. Each rule one table.
#include "gateway/modbus/modbus_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/line/station_freshness.h"
#include "gateway/modbus/modbus_image.h"
#include "gateway/modbus/modbus_request.h"
#include "tests/gateway/modbus_test_line.h"

namespace dravik::host {
namespace {

constexpr int kI = 0, kO = 1, kFO = 3, kC = 4, kIR = 5, kOR = 6, kR = 7;

TEST(ModbusMapTest, FlatAddressesFollowTheAreaOrigins) {
  const struct {
    int area, address, word, bit;
  } cases[] = {{kIR, 1, 0, -1},     {kIR, 256, 255, -1},  {kOR, 1, 256, -1}, {kR, 1, 512, -1},
               {kR, 512, 1023, -1}, {kR, 513, -1, -1},    {kR, 0, -1, -1},   {kI, 1, -1, 0},
               {kO, 1, -1, 256},    {kFO, 256, -1, 1023}, {kC, 1, -1, 1024}, {kC, 1024, -1, 2047},
               {kC, 1025, -1, -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(FlatWord(c.area, c.address), c.word) << c.area << ":" << c.address;
    EXPECT_EQ(FlatBit(c.area, c.address), c.bit) << c.area << ":" << c.address;
  }
}

TEST(ModbusMapTest, OnlyWhatTheLinePollsIsServed) {
  const ModbusMap map = BuildModbusMap(test::ModbusTestLine());
  EXPECT_EQ(map.unit_station[1], 0);
  EXPECT_EQ(map.unit_station[7], 3);
  EXPECT_EQ(map.unit_station[0], -1);
  ASSERT_EQ(map.warnings.size(), 2u);
  EXPECT_NE(map.warnings[0].find("PLC1 and PLC2 both have number 1"), std::string::npos);
  EXPECT_NE(map.warnings[1].find("PLC3 has number 0"), std::string::npos);
  // R1..R14 (the overlap once), C1..C16 and IR3..IR4: 32 image tags.
  ASSERT_EQ(map.image_tags.size(), 32u);
  EXPECT_EQ(map.image_tags[0].name, "modbus:PLC1.R1");
  EXPECT_EQ(map.image_tags[0].device, "modbus.PLC1");

  const struct {
    size_t station;
    bool bit;
    int flat;
    bool covered, writable, is_signed;
    const char* why;
  } points[] = {
      {0, false, 512, true, true, false, "R1, in a block"},
      {0, false, 525, true, true, false, "R14, in the overlapping block"},
      {0, false, 526, false, false, false, "R15, past both blocks"},
      {0, false, 514, true, false, false, "R3, under a read-only tag"},
      {0, false, 518, true, false, false, "R7, a read-only tag holds one of its bits"},
      {0, false, 611, true, true, true, "R100, an int16 tag on its own"},
      {0, false, 711, false, false, false, "R200, a 32-bit tag is not one register"},
      {0, true, 1024 + 499, true, true, false, "C500, a bit tag on its own"},
      {0, true, 1024 + 15, true, true, false, "C16, in the bit block"},
      {0, true, 1024 + 16, false, false, false, "C17"},
      {3, false, 2, true, true, false, "IR3 of PLC4"},
      {1, false, 512, false, false, false, "PLC2 has no blocks"},
  };
  for (const auto& p : points) {
    SCOPED_TRACE(p.why);
    const ModbusPoint* point = p.bit ? map.Bit(p.station, p.flat) : map.Word(p.station, p.flat);
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->tag_id != 0, p.covered);
    EXPECT_EQ(point->is_signed, p.is_signed);
    if (p.covered) {
      EXPECT_EQ(point->writable, p.writable);
      const ImageRef ref = map.Ref(point->tag_id);
      EXPECT_EQ(ref.station, static_cast<int>(p.station));
      EXPECT_EQ(ref.flat, p.flat);
      EXPECT_EQ(ref.bit, p.bit);
    }
  }
  EXPECT_EQ(map.Word(0, 1024), nullptr);
  EXPECT_EQ(map.Bit(4, 0), nullptr);
}

std::vector<uint8_t> Frame(std::vector<uint8_t> pdu, int protocol = 0, int length_fix = 0) {
  const int length = static_cast<int>(pdu.size()) + 1 + length_fix;
  pdu.insert(pdu.begin(),
             {0x12, 0x34, static_cast<uint8_t>(protocol >> 8), static_cast<uint8_t>(protocol),
              static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 5});
  return pdu;
}

TEST(ModbusRequestTest, FramesAreCheckedAndDecoded) {
  const struct {
    std::vector<uint8_t> adu;
    int check;  // CheckAdu: 0 whole, n more bytes to come, -1 refused
    int exception;
    int address, count;
    std::vector<uint16_t> values;
    const char* why;
  } cases[] = {
      {Frame({3, 0x02, 0x00, 0, 10}), 0, 0, 512, 10, {}, "read holding"},
      {Frame({3, 0x02, 0x00, 0, 10}, 1), -1, 0, 0, 0, {}, "protocol id 1"},
      {Frame({3, 0x02, 0x00, 0, 10}, 0, 0xFF00), -1, 0, 0, 0, {}, "a 64 KB length field"},
      {Frame({3, 0x02, 0x00, 0, 10}, 0, -1), -1, 0, 0, 0, {}, "a length one short"},
      {Frame({3, 0x02, 0x00, 0, 10}, 0, 4), -1, 0, 0, 0, {}, "a length past a read"},
      {Frame({8}, 0, 4), 4, kIllegalFunction, 0, 0, {}, "diagnostics, its data still to come"},
      {Frame({43}, 0, 260), -1, 0, 0, 0, {}, "a length past 254"},
      {Frame({3, 0, 0, 0, 0}), 0, kIllegalDataValue, 0, 0, {}, "no registers"},
      {Frame({3, 0, 0, 0, 126}), 0, kIllegalDataValue, 0, 126, {}, "126 registers"},
      {Frame({1, 0, 0, 0x07, 0xD0}), 0, 0, 0, 2000, {}, "2000 coils"},
      {Frame({2, 0, 0, 0x07, 0xD1}), 0, kIllegalDataValue, 0, 2001, {}, "2001 inputs"},
      {Frame({5, 0x04, 0x01, 0xFF, 0}), 0, 0, 1025, 1, {1}, "coil on"},
      {Frame({5, 0x04, 0x01, 0x12, 0x34}), 0, kIllegalDataValue, 1025, 0, {}, "coil 1234"},
      {Frame({6, 0x02, 0x06, 0xFF, 0xFB}), 0, 0, 518, 1, {65531}, "one register"},
      {Frame({16, 0x02, 0x02, 0, 2, 4, 0, 5, 0, 6}), 0, 0, 514, 2, {5, 6}, "two registers"},
      {Frame({16, 0x02, 0x02, 0, 2, 3, 0, 5, 0}), 0, kIllegalDataValue, 514, 2, {}, "byte count 3"},
      {Frame({15, 0x04, 0x04, 0, 3, 1, 0x05}), 0, 0, 1028, 3, {1, 0, 1}, "three coils"},
      {Frame({15, 0x04, 0x04, 0x07, 0xB1, 1, 0}),
       0,
       kIllegalDataValue,
       1028,
       1969,
       {},
       "1969 coils"},
      {Frame({8, 0, 0, 0, 0}), 0, kIllegalFunction, 0, 0, {}, "diagnostics"},
      {Frame({23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 0}), 0, kIllegalFunction, 0, 0, {}, "read/write"},
      {Frame({3, 0}), 0, kIllegalDataValue, 0, 0, {}, "a PDU cut short"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const int length = static_cast<int>(c.adu.size());
    ASSERT_EQ(CheckAdu(c.adu.data(), length), c.check);
    if (c.check < 0) continue;
    ModbusRequest r;
    EXPECT_EQ(DecodeRequest(c.adu.data(), length, &r), c.exception);
    EXPECT_EQ(r.unit, 5);
    EXPECT_EQ(r.transaction, 0x1234);
    if (c.exception == kIllegalFunction) continue;
    EXPECT_EQ(r.address, c.address);
    if (c.exception == 0) {
      EXPECT_EQ(r.count, c.count);
      EXPECT_EQ(r.values, c.values);
    }
  }
  EXPECT_EQ(CheckAdu(nullptr, 0), -1);
}

StationReport Report(const char* state, int sent, int failed) {
  StationReport r;
  r.state = state;
  r.reads_sent = sent;
  r.reads_failed = failed;
  return r;
}

TEST(StationFreshnessTest, FreshWhileOkAndReadWithinTheLearntLimit) {
  const struct {
    int64_t ms;
    StationReport report;
    bool fresh;
    int64_t limit;
    const char* why;
  } steps[] = {
      {100, Report("ok", 5, 0), true, 5000, "the first sample's reads are of this run"},
      {200, Report("ok", 6, 0), true, 5000, "a good read"},
      {4200, Report("ok", 7, 0), true, 12000, "4 s between good reads: three times that"},
      {16000, Report("ok", 7, 0), true, 12000, "11.8 s since: still within"},
      {16300, Report("ok", 7, 0), false, 12000, "past the limit"},
      {16500, Report("ok", 9, 2), false, 12000, "two failed reads prove nothing"},
      {16700, Report("ok", 10, 2), true, 12000, "a gap with failures in it is not learnt"},
      {16900, Report("failing", 11, 2), false, 12000, "not ok"},
      {17100, Report("ok", 1, 0), true, 12000, "a reset keeps the last good read"},
      {29200, Report("ok", 1, 0), false, 12000, "a reset proves no read"},
      {29400, Report("ok", 2, 0), true, 12000, "counted again"},
  };
  StationFreshness f(1);
  for (const auto& s : steps) {
    SCOPED_TRACE(s.why);
    f.Observe({s.report}, s.ms);
    EXPECT_EQ(f.Fresh(0, s.ms), s.fresh);
    EXPECT_EQ(f.LimitMs(0), s.limit);
  }
  EXPECT_FALSE(f.Fresh(1, 17300));
  StationFreshness configured(1, 2000);  // stale_after_ms in draviknet.conf
  configured.Observe({Report("ok", 0, 0)}, 0);
  configured.Observe({Report("ok", 2, 0)}, 100);
  EXPECT_TRUE(configured.Fresh(0, 2100));
  EXPECT_FALSE(configured.Fresh(0, 2200));
}

// What the end-to-end suite cannot reach: a point with no value yet, an int16
// tag's register, a sample that stopped coming.
TEST(ModbusImageTest, ServesOnlyPointsWithAValueWhileTheSamplesSayGood) {
  const ModbusMap map = BuildModbusMap(test::ModbusTestLine());
  ModbusImage image(&map);
  TagValue v;
  v.kind = TagValue::Kind::kNumber;
  v.number = -5;
  image.Update(1, v);     // Single, an int16 at R100
  image.Update(9999, v);  // no such tag: ignored
  uint16_t words[2] = {};
  std::vector<StationReport> sample(4, Report("ok", 1, 0));
  EXPECT_EQ(image.ReadWords(0, 611, 1, words, 0), kGatewayTargetFailed) << "no sample yet";
  image.Observe(sample, 200);
  EXPECT_EQ(image.ReadWords(0, 611, 1, words, 300), 0);
  EXPECT_EQ(words[0], 0xFFFB) << "an int16's two's complement";
  EXPECT_EQ(image.ReadWords(0, 512, 1, words, 300), kGatewayTargetFailed) << "R1 had no value";
  EXPECT_EQ(image.ReadWords(0, 611, 1, words, 1300), kGatewayTargetFailed) << "no sample since";
}

}  // namespace
}  // namespace dravik::host
