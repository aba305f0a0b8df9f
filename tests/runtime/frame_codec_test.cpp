// Frame codec: every request layout byte for byte, the address encoding, the
// reply check, and the DLE/checksum helpers (bounds and round trips).
#include "runtime/frame_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

namespace dravik {
namespace {

using Bytes = std::vector<uint8_t>;

struct ReadCase {
  const char* name;
  int station, area;
  uint32_t address;
  int count;
  Bytes frame;
  int expected_length;
};

Bytes BuildRead(int station, int area, uint32_t address, int count, int* expected) {
  std::array<uint8_t, kReadRequestBytes> frame;
  frame.fill(0xCC);
  const int n = BuildReadRequest(frame, station, area, address, count, expected);
  return Bytes(frame.begin(), frame.begin() + (n > 0 ? n : 0));
}

Bytes FrameOf(const RequestFrame& request) {
  return Bytes(request.frame, request.frame + request.length);
}

class ReadRequestTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadRequestTest, BuildsTheFrameByteForByte) {
  const ReadCase& c = GetParam();
  int expected = -1;
  EXPECT_EQ(BuildRead(c.station, c.area, c.address, c.count, &expected), c.frame) << c.name;
  EXPECT_EQ(expected, c.expected_length) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReadRequestTest,
    ::testing::Values(
        // Bit read of 16 bits: the count byte 0x10 is doubled.
        ReadCase{"I1x16",
                 1,
                 0,
                 1,
                 16,
                 {0x10, 0x02, 0x01, 0x01, 0x10, 0x10, 0x00, 0x00, 0x10, 0x03, 0xEE},
                 7},
        ReadCase{"C297x8",
                 0x1F,
                 4,
                 297,
                 8,
                 {0x10, 0x02, 0x1F, 0x01, 0x08, 0x05, 0x28, 0x10, 0x03, 0xAB},
                 6},
        ReadCase{
            "R10x4", 1, 7, 10, 4, {0x10, 0x02, 0x01, 0x02, 0x04, 0x04, 0x12, 0x10, 0x03, 0xE3}, 13},
        // Station 16 is doubled; the checksum is over the single byte.
        ReadCase{"station16",
                 16,
                 0,
                 1,
                 8,
                 {0x10, 0x02, 0x10, 0x10, 0x01, 0x08, 0x00, 0x00, 0x10, 0x03, 0xE7},
                 6},
        // A checksum of 0x10 goes out as one byte.
        ReadCase{"checksum10",
                 0xE7,
                 0,
                 1,
                 8,
                 {0x10, 0x02, 0xE7, 0x01, 0x08, 0x00, 0x00, 0x10, 0x03, 0x10},
                 6},
        // Address byte 0x10 (O17) doubled.
        ReadCase{"O17x8",
                 1,
                 1,
                 17,
                 8,
                 {0x10, 0x02, 0x01, 0x01, 0x08, 0x01, 0x10, 0x10, 0x10, 0x03, 0xE5},
                 6},
        ReadCase{"IR1x60",
                 1,
                 5,
                 1,
                 60,
                 {0x10, 0x02, 0x01, 0x02, 0x3C, 0x00, 0x00, 0x10, 0x03, 0xC1},
                 125},
        ReadCase{
            "bits9", 1, 0, 1, 9, {0x10, 0x02, 0x01, 0x01, 0x09, 0x00, 0x00, 0x10, 0x03, 0xF5}, 7},
        ReadCase{"bits248",
                 1,
                 0,
                 1,
                 248,
                 {0x10, 0x02, 0x01, 0x01, 0xF8, 0x00, 0x00, 0x10, 0x03, 0x06},
                 36},
        ReadCase{"words255",
                 1,
                 7,
                 1,
                 255,
                 {0x10, 0x02, 0x01, 0x02, 0xFF, 0x04, 0x00, 0x10, 0x03, 0xFA},
                 515},
        // Station number 0x110 keeps its low byte, 0x10, doubled.
        ReadCase{"stationLowByte",
                 0x110,
                 7,
                 1,
                 1,
                 {0x10, 0x02, 0x10, 0x10, 0x02, 0x01, 0x04, 0x00, 0x10, 0x03, 0xE9},
                 7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadRequest, RefusesCountsTheCountByteCannotCarry) {
  int expected = 99;
  EXPECT_TRUE(BuildRead(1, 0, 1, kMaxBitsPerRequest + 1, &expected).empty());
  EXPECT_EQ(expected, 0);
  EXPECT_TRUE(BuildRead(1, 4, 1, 480, &expected).empty());
  EXPECT_TRUE(BuildRead(1, 7, 1, kMaxWordsPerRequest + 1, &expected).empty());
  EXPECT_TRUE(BuildRead(1, 7, 1, 0, &expected).empty());
  EXPECT_TRUE(BuildRead(1, 0, 1, -1, &expected).empty());
  EXPECT_TRUE(BuildRead(1, 8, 1, 1, &expected).empty());
  EXPECT_TRUE(BuildRead(1, -1, 1, 1, &expected).empty());
  // A refused request leaves the caller's frame untouched.
  std::array<uint8_t, kReadRequestBytes> frame;
  frame.fill(0xCC);
  EXPECT_EQ(BuildReadRequest(frame, 1, 0, 1, 249, &expected), 0);
  for (uint8_t b : frame) EXPECT_EQ(b, 0xCC);
  // The limits themselves are accepted.
  EXPECT_FALSE(BuildRead(1, 0, 1, kMaxBitsPerRequest, &expected).empty());
  EXPECT_FALSE(BuildRead(1, 7, 1, kMaxWordsPerRequest, &expected).empty());
  EXPECT_EQ(kMaxBitsPerRequest % 8, 0);
}

TEST(ReadRequest, LongestFrameFitsItsArea) {
  // Station, count and both address bytes 0x10 (R1545 wraps to byte address
  // 0x1010): four doubled body bytes.
  int expected = 0;
  const Bytes frame = BuildRead(0x10, 7, 1545, 0x10, &expected);
  const Bytes want = {0x10, 0x02, 0x10, 0x10, 0x02, 0x10, 0x10,
                      0x10, 0x10, 0x10, 0x10, 0x10, 0x03, 0xBE};
  EXPECT_EQ(frame, want);
  EXPECT_LE(frame.size(), kReadRequestBytes);
}

// Every read request, taken apart the way the link does, gives back its body
// and a checksum that sums with it to zero.
TEST(ReadRequest, RoundTripsThroughTheEnvelope) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 5000; ++i) {
    const int station = static_cast<int>(rng() % 256);
    const int area = static_cast<int>(rng() % 8);
    const uint32_t address = 1 + rng() % 1024;
    const int count = 1 + static_cast<int>(rng() % (area <= 4 ? kMaxBitsPerRequest : 255));
    int expected = 0;
    Bytes frame = BuildRead(station, area, address, count, &expected);
    ASSERT_GE(frame.size(), 10u);
    ASSERT_LE(frame.size(), 15u);
    ASSERT_EQ(frame[0], kDle);
    ASSERT_EQ(frame[1], kStx);
    ASSERT_EQ(frame[frame.size() - 3], kDle);
    ASSERT_EQ(frame[frame.size() - 2], kEtx);
    Bytes body(frame.begin() + 2, frame.end() - 3);
    const int n = UnstuffDle(body, body.size());
    ASSERT_EQ(n, 5);
    body.resize(5);
    EXPECT_EQ(body[0], station);
    EXPECT_EQ(body[1], area <= 4 ? kCmdBitRead : kCmdWordRead);
    EXPECT_EQ(body[2], count & 0xFF);
    EXPECT_EQ((body[3] << 8) | body[4], WireAddress(area, address));
    body.push_back(frame.back());
    EXPECT_EQ(FrameChecksum(body), 0u);
    EXPECT_EQ(expected, area <= 4 ? 5 + (count - 1) / 8 + 1 : 5 + 2 * count);
  }
}

TEST(WireAddress, EncodesEveryArea) {
  struct Case {
    int area;
    uint32_t address;
    uint16_t wire;
  };
  const Case cases[] = {
      {0, 1, 0x0000},
      {0, 256, 0x00FF},
      {1, 1, 0x0100},
      {1, 17, 0x0110},
      {2, 1, 0x0200},
      {3, 256, 0x03FF},
      {4, 1, 0x0400},
      {4, 257, 0x0500},
      {4, 297, 0x0528},
      {4, 1024, 0x07FF},
      {5, 1, 0x0000},
      {5, 256, 0x01FE},
      {6, 1, 0x0200},
      {7, 10, 0x0412},
      {7, 512, 0x07FE},
      {8, 1, 0x0000},
      // Outside the ranges the byte rule holds: the area code stays, the bit
      // offset wraps within the byte; word values wrap to 16 bits.
      {0, 257, 0x0000},
      {1, 300, 0x012B},
      {7, 32257, 0x0000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WireAddress(c.area, c.address), c.wire)
        << "area " << c.area << " address " << c.address;
  }
}

TEST(WriteRequest, WordWriteOfOneWord) {
  const uint8_t data[] = {0xD2, 0x04};  // 1234 in host order
  auto request = BuildWriteRequest(2, 6, 1, data);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(FrameOf(*request),
            (Bytes{0x10, 0x02, 0x02, 0x05, 0x01, 0x02, 0x00, 0x04, 0xD2, 0x10, 0x03, 0x20}));
  EXPECT_EQ(request->length, 12);
  // The caller's data is not swapped in place.
  EXPECT_EQ(data[0], 0xD2);
}

TEST(WriteRequest, BitWriteDoublesTheAddressByte) {
  const uint8_t on[] = {1};
  auto request = BuildWriteRequest(3, 1, 17, on);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(FrameOf(*request),
            (Bytes{0x10, 0x02, 0x03, 0x04, 0x01, 0x01, 0x10, 0x10, 0x01, 0x10, 0x03, 0xE6}));
  const uint8_t off[] = {0};
  request = BuildWriteRequest(3, 4, 1024, off);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(FrameOf(*request),
            (Bytes{0x10, 0x02, 0x03, 0x04, 0x01, 0x07, 0xFF, 0x00, 0x10, 0x03, 0xF2}));
}

TEST(WriteRequest, LongValueSendsTheLowWordFirst) {
  const uint8_t data[] = {0x87, 0xD6, 0x12, 0x00};  // 0x0012D687 in host order
  auto request = BuildWriteRequest(1, 7, 1, data);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(FrameOf(*request), (Bytes{0x10, 0x02, 0x01, 0x05, 0x02, 0x04, 0x00, 0xD6, 0x87, 0x00,
                                      0x12, 0x10, 0x03, 0x85}));
}

TEST(WriteRequest, OddLengthKeepsTheLastByteUnswapped) {
  const uint8_t data[] = {0x01, 0x02, 0x03};
  auto request = BuildWriteRequest(1, 7, 1, data);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(FrameOf(*request),
            (Bytes{0x10, 0x02, 0x01, 0x05, 0x01, 0x04, 0x00, 0x02, 0x01, 0x03, 0x10, 0x03, 0xEF}));
}

TEST(WriteRequest, DataBytes0x10AreDoubledAndChecksummedOnce) {
  const uint8_t data[] = {0x10, 0x10};
  auto request = BuildWriteRequest(1, 7, 1, data);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(FrameOf(*request), (Bytes{0x10, 0x02, 0x01, 0x05, 0x01, 0x04, 0x00, 0x10, 0x10, 0x10,
                                      0x10, 0x10, 0x03, 0xD5}));
}

TEST(WriteRequest, BoundsTheFrameArea) {
  // 120 bytes all 0x10 always fit, doubled.
  const std::vector<uint8_t> dles(120, 0x10);
  auto request = BuildWriteRequest(1, 7, 1, dles);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->length, 2 + 5 + 240 + 3);
  // The largest plain data fills the area exactly.
  std::vector<uint8_t> plain(kMaxWriteDataBytes, 0x41);
  request = BuildWriteRequest(1, 7, 1, plain);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->length, static_cast<int32_t>(kWriteFrameBytes));
  EXPECT_EQ(request->frame[kWriteFrameBytes - 3], kDle);
  EXPECT_EQ(request->frame[kWriteFrameBytes - 2], kEtx);
  // One doubled byte more, or one byte more of data, does not fit.
  plain[10] = 0x10;
  EXPECT_EQ(BuildWriteRequest(1, 7, 1, plain), nullptr);
  const std::vector<uint8_t> too_long(kMaxWriteDataBytes + 1, 0x41);
  EXPECT_EQ(BuildWriteRequest(1, 7, 1, too_long), nullptr);
  // No data, or no such area.
  EXPECT_EQ(BuildWriteRequest(1, 7, 1, std::span<const uint8_t>()), nullptr);
  const uint8_t one[] = {1};
  EXPECT_EQ(BuildWriteRequest(1, 8, 1, one), nullptr);
}

TEST(CheckReadReply, JudgesReplies) {
  std::string detail = "stale";
  const Bytes good = {0x01, 0x02, 0x04, 0x04, 0x12, 0xAA, 0xBB};
  EXPECT_EQ(CheckReadReply(0, good, 7, &detail), kExchangeOk);
  EXPECT_EQ(detail, "");
  // The receive failure wins, whatever the payload.
  detail = "stale";
  EXPECT_EQ(CheckReadReply(kReceiveTimeout, good, 7, &detail), kReceiveTimeout);
  EXPECT_EQ(detail, "");
  EXPECT_EQ(CheckReadReply(kChecksumMismatch, {}, 7, &detail), kChecksumMismatch);
  // Wrong length.
  EXPECT_EQ(CheckReadReply(0, good, 8, &detail), kBadFormat);
  EXPECT_EQ(CheckReadReply(0, std::span(good).first(6), 7, &detail), kBadFormat);
  EXPECT_EQ(CheckReadReply(0, {}, 7, &detail), kBadFormat);
  EXPECT_EQ(CheckReadReply(0, std::span(good).first(1), 7, &detail), kBadFormat);
  EXPECT_EQ(detail, "");
}

TEST(CheckReadReply, ErrorReplyCarriesThePlcNumber) {
  std::string detail;
  const Bytes error = {0x01, 0x85, 0x00, 0x00, 0x00};
  EXPECT_EQ(CheckReadReply(0, error, 5, &detail), kPlcError);
  EXPECT_EQ(detail, "5");
  // The error flag wins even over a wrong length.
  EXPECT_EQ(CheckReadReply(0, error, 13, &detail), kPlcError);
  EXPECT_EQ(detail, "5");
  const Bytes max_error = {0x01, 0xFF};
  EXPECT_EQ(CheckReadReply(0, max_error, 7, &detail), kPlcError);
  EXPECT_EQ(detail, "127");
  const Bytes zero_error = {0x01, 0x80};
  EXPECT_EQ(CheckReadReply(0, zero_error, 7, &detail), kPlcError);
  EXPECT_EQ(detail, "0");
  // No detail text wanted.
  EXPECT_EQ(CheckReadReply(0, error, 5, nullptr), kPlcError);
}

// Station and command come from the built frame, past a doubled station 0x10.
TEST(CheckReplyHeader, ReadsTheRequestPastADoubledStation) {
  int expected = 0;
  const Bytes read16 = BuildRead(16, 7, 1, 2, &expected);
  EXPECT_EQ(RequestHeaderOf(read16).station, 16);
  EXPECT_EQ(RequestHeaderOf(read16).command, kCmdWordRead);
  const uint8_t on = 1;
  const auto bit_write = BuildWriteRequest(3, 4, 1, std::span<const uint8_t>(&on, 1));
  ASSERT_NE(bit_write, nullptr);
  EXPECT_EQ(RequestHeaderOf(FrameOf(*bit_write)).station, 3);
  EXPECT_EQ(RequestHeaderOf(FrameOf(*bit_write)).command, kCmdBitWrite);
  const Bytes cut = {kDle, kStx, kDle, kDle};
  EXPECT_EQ(RequestHeaderOf(cut).command, 0);
}

struct HeaderCase {
  const char* name;
  Bytes payload;
  int result;
  const char* detail;
};

TEST(CheckReplyHeader, JudgesStationErrorFlagAndCommand) {
  const RequestHeader word_read{0x05, kCmdWordRead};
  const HeaderCase cases[] = {
      {"answer", {0x05, 0x02, 0x01, 0x04, 0x00, 0x12, 0x34}, kExchangeOk, ""},
      {"another station", {0x06, 0x02, 0x01, 0x04, 0x00, 0x12, 0x34}, kBadFormat, ""},
      {"error from another station", {0x06, 0x85}, kBadFormat, ""},
      {"error reply", {0x05, 0x87, 0x00, 0x00, 0x00}, kPlcError, "7"},
      {"another command", {0x05, 0x01, 0x01, 0x04, 0x00, 0x12}, kBadFormat, ""},
      {"no command byte", {0x05}, kBadFormat, ""},
      {"empty", {}, kBadFormat, ""},
  };
  for (const HeaderCase& c : cases) {
    std::string detail = "stale";
    EXPECT_EQ(CheckReplyHeader(c.payload, word_read, &detail), c.result) << c.name;
    EXPECT_EQ(detail, c.detail) << c.name;
  }
}

TEST(StuffDle, DoublesEvery0x10) {
  Bytes buffer = {0x10, 0x01, 0x10, 0x10, 0x02, 0, 0, 0, 0, 0};
  EXPECT_EQ(StuffDle(buffer, 5), 8);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8),
            (Bytes{0x10, 0x10, 0x01, 0x10, 0x10, 0x10, 0x10, 0x02}));
  EXPECT_EQ(StuffDle(buffer, 0), 0);
}

TEST(StuffDle, RefusesWhatWouldNotFit) {
  // The caller's buffer is the bound.
  Bytes buffer = {0x10, 0x10, 0x10, 0x01, 0x02, 0x03};
  const Bytes before = buffer;
  EXPECT_EQ(StuffDle(buffer, 4), -1);
  EXPECT_EQ(buffer, before);
  EXPECT_EQ(StuffDle(buffer, 7), -1);
  EXPECT_EQ(buffer, before);
  // So is the 512-byte work area.
  Bytes big(1024, 0x10);
  EXPECT_EQ(StuffDle(big, 257), -1);
  EXPECT_EQ(big, Bytes(1024, 0x10));
  EXPECT_EQ(StuffDle(big, 256), 512);
  Bytes plain(1024, 0x41);
  EXPECT_EQ(StuffDle(plain, 513), -1);
  EXPECT_EQ(StuffDle(plain, 512), 512);
}

TEST(UnstuffDle, SkipsTheByteAfterEvery0x10) {
  Bytes buffer = {0x10, 0x10, 0x01, 0x10, 0x99, 0x02, 0x10};
  // The byte after a 0x10 is dropped whatever it is; a final lone 0x10 stays.
  EXPECT_EQ(UnstuffDle(buffer, buffer.size()), 5);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), (Bytes{0x10, 0x01, 0x10, 0x02, 0x10}));
}

TEST(UnstuffDle, RefusesLengthsBeyondItsBounds) {
  Bytes buffer(8, 0x41);
  EXPECT_EQ(UnstuffDle(buffer, 9), -1);
  Bytes big(600, 0x41);
  EXPECT_EQ(UnstuffDle(big, 513), -1);
  EXPECT_EQ(big, Bytes(600, 0x41));
  EXPECT_EQ(UnstuffDle(big, 512), 512);
}

// For random bodies: stuffing then unstuffing gives the body back, the
// stuffed length counts every 0x10 twice, and body plus checksum sums to 0.
TEST(StuffDle, RoundTripsRandomBodies) {
  std::mt19937 rng(42);
  for (int round = 0; round < 3000; ++round) {
    const size_t length = rng() % 257;
    Bytes body(length);
    // Bias towards 0x10 so doubling is exercised hard.
    for (uint8_t& b : body) b = (rng() % 4 == 0) ? 0x10 : static_cast<uint8_t>(rng());
    size_t dles = 0;
    for (uint8_t b : body) dles += b == 0x10;

    Bytes buffer(kStuffWorkAreaBytes, 0);
    std::copy(body.begin(), body.end(), buffer.begin());
    const int stuffed = StuffDle(buffer, length);
    ASSERT_EQ(stuffed, static_cast<int>(length + dles));
    const int unstuffed = UnstuffDle(buffer, static_cast<size_t>(stuffed));
    ASSERT_EQ(unstuffed, static_cast<int>(length));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + unstuffed), body);

    if (length > 0) {
      Bytes with_sum = body;
      with_sum.push_back(static_cast<uint8_t>(FrameChecksum(body)));
      unsigned total = 0;
      for (uint8_t b : with_sum) total += b;
      EXPECT_EQ(total % 256, 0u);
      EXPECT_EQ(FrameChecksum(with_sum), 0u);
    }
  }
}

TEST(FrameChecksum, IsTheTwosComplementOfTheSum) {
  EXPECT_EQ(FrameChecksum(Bytes{0x01, 0x01, 0x10, 0x00, 0x00}), 0xEEu);
  EXPECT_EQ(FrameChecksum(Bytes{0x00}), 0x00u);
  EXPECT_EQ(FrameChecksum(Bytes{0x01}), 0xFFu);
  EXPECT_EQ(FrameChecksum(Bytes{0xFF, 0x01}), 0x00u);
  EXPECT_EQ(FrameChecksum(Bytes{0x80, 0x70}), 0x10u);
}

TEST(SwapWordBytes, SwapsOnlyWholeWordsInsideTheSpan) {
  Bytes bytes = {1, 2, 3, 4, 5};
  SwapWordBytes(bytes, 1);
  EXPECT_EQ(bytes, (Bytes{2, 1, 3, 4, 5}));
  SwapWordBytes(bytes, 100);  // bounded by the span: two words
  EXPECT_EQ(bytes, (Bytes{1, 2, 4, 3, 5}));
  SwapWordBytes(bytes, 0);
  EXPECT_EQ(bytes, (Bytes{1, 2, 4, 3, 5}));
}

}  // namespace
}  // namespace dravik
