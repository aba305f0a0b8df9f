// FrameReceiver, the receive state machine without a device: however the
// bytes are cut into reads, the frame ends at the same byte with the same
// result and payload, and bytes after the frame's end are left alone.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "runtime/serial_link.h"

namespace dravik {
namespace {

using Bytes = std::vector<uint8_t>;

struct Received {
  int result = FrameReceiver::kNeedMore;
  Bytes payload;
};

// Feeds `stream` in reads of `piece` bytes.
Received Feed(const Bytes& stream, size_t piece) {
  std::array<uint8_t, kReplyBufferBytes> buffer{};
  FrameReceiver receiver(buffer);
  Received out;
  int length = 0;
  for (size_t at = 0; at < stream.size() && out.result == FrameReceiver::kNeedMore; at += piece) {
    const size_t n = std::min(piece, stream.size() - at);
    out.result = receiver.Feed(std::span<const uint8_t>(stream.data() + at, n), &length);
  }
  if (out.result == kExchangeOk) out.payload.assign(buffer.begin(), buffer.begin() + length);
  return out;
}

struct Case {
  const char* name;
  Bytes stream;
  int result;
  Bytes payload;
};

class FrameReceiverTest : public ::testing::TestWithParam<Case> {};

TEST_P(FrameReceiverTest, EveryCutGivesTheSameOutcome) {
  const Case& c = GetParam();
  for (size_t piece = 1; piece <= c.stream.size(); ++piece) {
    const Received r = Feed(c.stream, piece);
    EXPECT_EQ(r.result, c.result) << "reads of " << piece;
    EXPECT_EQ(r.payload, c.payload) << "reads of " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameReceiverTest,
    ::testing::Values(
        // Word reply of one word 0x1003: the data's DLE is doubled on the wire.
        Case{"DoubledDleInData",
             {0x10, 0x02, 1, 2, 1, 4, 0, 0x10, 0x10, 0x03, 0x10, 0x03, 0xE5},
             kExchangeOk,
             {1, 2, 1, 4, 0, 0x10, 0x03}},
        Case{"NoiseBeforeAndBytesAfter",
             {0x55, 0x10, 0x10, 0x02, 0x10, 0x02, 0xF0, 0x10, 0x03, 0x10, 0xAA, 0xBB},
             kExchangeOk,
             {0xF0}},
        Case{"BadChecksum", {0x10, 0x02, 0xF0, 0x10, 0x03, 0x11}, kChecksumMismatch, {}},
        Case{"UnfinishedFrame", {0x10, 0x02, 1, 2, 0x10}, FrameReceiver::kNeedMore, {}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(FrameReceiverLimit, AFrameBeyond511KeptBytesIsRefused) {
  Bytes stream = {0x10, 0x02};
  stream.insert(stream.end(), 512, 0x01);  // the 512th byte is one too many
  EXPECT_EQ(Feed(stream, 7).result, kBadFormat);
  EXPECT_EQ(Feed(stream, stream.size()).result, kBadFormat);
}

}  // namespace
}  // namespace dravik
