// Value conversion: decoding of every data type code from a data image into
// events, encoding of host values into write bytes (and onto the wire), the
// safe bounds, and the value event list.
#include "runtime/value_conversion.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "runtime/frame_codec.h"

namespace dravik {
namespace {

using Bytes = std::vector<uint8_t>;

TagBinding Binding(int type, int length, int tag_id = 7) {
  TagBinding b;
  b.tag_id = tag_id;
  b.type = static_cast<uint16_t>(type);
  b.bit_or_length = static_cast<uint16_t>(length);
  return b;
}

// Decodes `image` (host order) and returns the one event it appended.
std::unique_ptr<CEventVal> Decode(int type, int length, const Bytes& image) {
  ValueEventList list;
  PostValueEvent(list, Binding(type, length), image);
  EXPECT_EQ(list.Size(), 1u);
  auto event = list.PopFront();
  EXPECT_NE(event, nullptr);
  if (event) {
    EXPECT_EQ(event->GetTagId(), 7);
  }
  return event;
}

double DecodeNumber(int type, int length, const Bytes& image) {
  auto event = Decode(type, length, image);
  EXPECT_TRUE(event->Value().HasValue()) << "type " << type;
  return event->Value().GetVal();
}

CTagVal Number(double v) {
  CTagVal value;
  value.SetVal(v);
  return value;
}

CTagVal Text(const char* s) {
  CTagVal value;
  value.SetVal(s);
  return value;
}

// Encodes and returns the bytes the write takes; empty for a refusal.
Bytes Encode(int type, int length, const CTagVal& value, int* result = nullptr) {
  std::array<uint8_t, kEncodeAreaBytes> dest;
  dest.fill(0xCC);
  const int n = EncodeTagValue(Binding(type, length), value, dest);
  if (result) *result = n;
  return n > 0 ? Bytes(dest.begin(), dest.begin() + n) : Bytes();
}

// The data bytes of a word write of the encoded value, as they go on the wire.
Bytes OnTheWire(int type, int length, const CTagVal& value) {
  const Bytes data = Encode(type, length, value);
  auto request = BuildWriteRequest(1, 7, 1, data);
  EXPECT_NE(request, nullptr);
  if (!request) return {};
  Bytes body(request->frame + 2, request->frame + request->length - 3);
  const int n = UnstuffDle(body, body.size());
  return Bytes(body.begin() + 5, body.begin() + n);
}

// ---- Decoding ----

TEST(Decode, WorkedValues) {
  // Code 7, PLC word 0x8123 (wire 81 23, image 23 81): -123.
  EXPECT_EQ(DecodeNumber(7, 2, {0x23, 0x81}), -123.0);
  // Code 10, PLC word 0x1234: 1234.
  EXPECT_EQ(DecodeNumber(10, 2, {0x34, 0x12}), 1234.0);
  // Code 11, PLC words 0x5678 then 0x1234: 12345678.
  EXPECT_EQ(DecodeNumber(11, 4, {0x78, 0x56, 0x34, 0x12}), 12345678.0);
}

TEST(Decode, InvalidBcdNibbleGivesAnEventWithoutValue) {
  // Code 10, PLC word 0x12A4: the event is still appended, with no value.
  auto event = Decode(10, 2, {0xA4, 0x12});
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(event->Value().HasValue());
  EXPECT_FALSE(Decode(7, 2, {0x0F, 0x80})->Value().HasValue());
  EXPECT_FALSE(Decode(11, 4, {0x00, 0x00, 0x00, 0xB0})->Value().HasValue());
}

struct NumberCase {
  const char* name;
  int type;
  int length;
  Bytes image;
  double value;
};

class DecodeNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(DecodeNumberTest, Decodes) {
  const NumberCase& c = GetParam();
  EXPECT_EQ(DecodeNumber(c.type, c.length, c.image), c.value) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Integers, DecodeNumberTest,
    ::testing::Values(NumberCase{"s8_FF", 0, 1, {0xFF, 0x12}, -1},
                      NumberCase{"s8_7F", 0, 1, {0x7F, 0xFF}, 127},
                      NumberCase{"s16_FFFF", 1, 2, {0xFF, 0xFF}, -1},
                      NumberCase{"s16_8000", 1, 2, {0x00, 0x80}, -32768},
                      NumberCase{"u16a_FFFF", 3, 2, {0xFF, 0xFF}, 65535},
                      NumberCase{"u16_FFFF", 4, 2, {0xFF, 0xFF}, 65535},
                      NumberCase{"u16_1234", 4, 2, {0x34, 0x12, 0x99, 0x99}, 0x1234},
                      NumberCase{"u32_max", 5, 4, {0xFF, 0xFF, 0xFF, 0xFF}, 4294967295.0},
                      NumberCase{"s32_FFFFFFFF", 2, 4, {0xFF, 0xFF, 0xFF, 0xFF}, -1},
                      // Low word first: 0x0012D687.
                      NumberCase{"s32_order", 2, 4, {0x87, 0xD6, 0x12, 0x00}, 1234567},
                      NumberCase{"s32_min", 2, 4, {0x00, 0x00, 0x00, 0x80}, -2147483648.0}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Bcd, DecodeNumberTest,
    ::testing::Values(NumberCase{"s6_99", 6, 1, {0x99}, -19},
                      NumberCase{"s6_45", 6, 1, {0x45, 0x99}, 45},
                      NumberCase{"s7_0045", 7, 2, {0x45, 0x00}, 45},
                      NumberCase{"s7_minus0", 7, 2, {0x00, 0x80}, 0},
                      NumberCase{"s8_neg", 8, 4, {0x78, 0x56, 0x34, 0x92}, -12345678},
                      NumberCase{"s8_max", 8, 4, {0x99, 0x99, 0x99, 0x79}, 79999999},
                      // L = 1 takes two digits (the next byte is not looked
                      // at), L = 2 four.
                      NumberCase{"u9_L1", 9, 1, {0x34, 0xA2}, 34},
                      NumberCase{"u9_L2", 9, 2, {0x34, 0x12}, 1234},
                      NumberCase{"u10_9999", 10, 2, {0x99, 0x99}, 9999},
                      NumberCase{"u11_max", 11, 4, {0x99, 0x99, 0x99, 0x99}, 99999999},
                      // More digits than 32 bits hold: the rest read as 0.
                      NumberCase{"u11_L8", 11, 8, {0x21, 0x43, 0x65, 0x87, 0xAA}, 87654321}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Decode, NegativeZeroIsZero) {
  const double v = DecodeNumber(7, 2, {0x00, 0x80});
  EXPECT_FALSE(std::signbit(v));
}

TEST(Decode, Code9WithL2SeesTheInvalidHighDigits) {
  EXPECT_FALSE(Decode(9, 2, {0x34, 0xA2})->Value().HasValue());
}

// A tag in the image's last word: a 32-bit read uses only the bytes that
// exist, the rest read as 0.
TEST(Decode, NeverReadsPastTheImage) {
  const Bytes image(122, 0xFF);
  ValueEventList list;
  std::span<const uint8_t> last_word = std::span(image).subspan(120);
  PostValueEvent(list, Binding(5, 4), last_word);
  PostValueEvent(list, Binding(2, 4), last_word);
  PostValueEvent(list, Binding(11, 4), std::span(image).subspan(121));
  PostValueEvent(list, Binding(14, 20), std::span(image).subspan(119));
  PostValueEvent(list, Binding(5, 4), std::span<const uint8_t>());
  ASSERT_EQ(list.Size(), 5u);
  EXPECT_EQ(list.PopFront()->Value().GetVal(), 65535.0);
  EXPECT_EQ(list.PopFront()->Value().GetVal(), 65535.0);
  EXPECT_FALSE(list.PopFront()->Value().HasValue());  // 0xFF nibbles
  EXPECT_EQ(list.PopFront()->Value().GetValStr(), "\xFF\xFF\xFF");
  EXPECT_EQ(list.PopFront()->Value().GetVal(), 0.0);
}

TEST(Decode, Strings) {
  auto event = Decode(14, 6, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
  EXPECT_TRUE(event->Value().IsText());
  EXPECT_EQ(event->Value().GetValStr(), "ABCDEF");
  EXPECT_EQ(Decode(14, 6, {'A', 'B', 0, 'D', 'E', 'F'})->Value().GetValStr(), "AB");
  EXPECT_EQ(Decode(14, 4, {0, 'B'})->Value().GetValStr(), "");
  EXPECT_TRUE(Decode(14, 4, {0, 'B'})->Value().HasValue());
  EXPECT_EQ(Decode(14, 0, {'A'})->Value().GetValStr(), "");
}

TEST(Decode, CodesWithoutDecodingGiveAnEventWithoutValue) {
  for (int type : {12, 13, 15, 99, 65535}) {
    auto event = Decode(type, 2, {0x12, 0x34});
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(event->Value().HasValue()) << "type " << type;
  }
}

TEST(PostBitEvent, PostsOneOrZero) {
  ValueEventList list;
  PostBitEvent(list, Binding(13, 3, 11), 0x0008);
  PostBitEvent(list, Binding(13, 15, 12), 0x8000);
  PostBitEvent(list, Binding(13, 0, 13), 0);
  ASSERT_EQ(list.Size(), 3u);
  auto a = list.PopFront();
  EXPECT_EQ(a->GetTagId(), 11);
  EXPECT_EQ(a->Value().GetVal(), 1.0);
  auto b = list.PopFront();
  EXPECT_EQ(b->GetTagId(), 12);
  EXPECT_EQ(b->Value().GetVal(), 1.0);
  auto c = list.PopFront();
  EXPECT_EQ(c->GetTagId(), 13);
  EXPECT_TRUE(c->Value().HasValue());
  EXPECT_EQ(c->Value().GetVal(), 0.0);
}

// ---- Encoding ----

TEST(Encode, WorkedValuesOnTheWire) {
  EXPECT_EQ(OnTheWire(7, 2, Number(-45.9)), (Bytes{0x80, 0x45}));
  EXPECT_EQ(OnTheWire(7, 2, Number(45.9)), (Bytes{0x00, 0x45}));
  EXPECT_EQ(OnTheWire(2, 4, Number(1234567.8)), (Bytes{0xD6, 0x87, 0x00, 0x12}));
  EXPECT_EQ(OnTheWire(14, 4, Text("ABC")), (Bytes{0x42, 0x41, 0x20, 0x43}));
  EXPECT_EQ(OnTheWire(4, 2, Number(1234)), (Bytes{0x04, 0xD2}));
}

struct EncodeCase {
  const char* name;
  int type;
  int length;
  double value;
  Bytes bytes;  // host order, least significant first
};

class EncodeNumberTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeNumberTest, Encodes) {
  const EncodeCase& c = GetParam();
  int result = 0;
  EXPECT_EQ(Encode(c.type, c.length, Number(c.value), &result), c.bytes) << c.name;
  EXPECT_EQ(result, static_cast<int>(c.bytes.size())) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Truncation, EncodeNumberTest,
    ::testing::Values(EncodeCase{"s8_0_9", 0, 1, 0.9, {0x00}},
                      EncodeCase{"s8_m0_9", 0, 1, -0.9, {0x00}},
                      EncodeCase{"s8_m1_5", 0, 1, -1.5, {0xFF}},
                      EncodeCase{"s16_0_9", 1, 2, 0.9, {0x00, 0x00}},
                      EncodeCase{"s16_m0_9", 1, 2, -0.9, {0x00, 0x00}},
                      EncodeCase{"s16_m1_5", 1, 2, -1.5, {0xFF, 0xFF}},
                      EncodeCase{"s32_m1_5", 2, 4, -1.5, {0xFF, 0xFF, 0xFF, 0xFF}},
                      EncodeCase{"u16a_0_9", 3, 2, 0.9, {0x00, 0x00}},
                      EncodeCase{"u16_m1_5", 4, 2, -1.5, {0xFF, 0xFF}},
                      EncodeCase{"u32_m0_9", 5, 4, -0.9, {0x00, 0x00, 0x00, 0x00}},
                      EncodeCase{"w12_m1_5", 12, 2, -1.5, {0xFF, 0xFF}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Ranges, EncodeNumberTest,
    ::testing::Values(
        EncodeCase{"u32_max", 5, 4, 4294967295.0, {0xFF, 0xFF, 0xFF, 0xFF}},
        EncodeCase{"s32_min", 2, 4, -2147483648.0, {0x00, 0x00, 0x00, 0x80}},
        // Too big for 16 bits: the low bytes of the whole number.
        EncodeCase{"u16_70000", 4, 2, 70000, {0x70, 0x11}},
        // Beyond int64: clamped, no undefined conversion.
        EncodeCase{"s32_huge", 2, 4, 1e30, {0xFF, 0xFF, 0xFF, 0xFF}},
        EncodeCase{"s32_mhuge", 2, 4, -1e30, {0x00, 0x00, 0x00, 0x00}},
        EncodeCase{"s32_inf", 2, 4, HUGE_VAL, {0xFF, 0xFF, 0xFF, 0xFF}},
        EncodeCase{"s32_nan", 2, 4, std::numeric_limits<double>::quiet_NaN(), {0, 0, 0, 0}},
        // Longer than eight bytes: the sign continues.
        EncodeCase{
            "s_L10", 2, 10, -2, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        EncodeCase{"u_L6", 5, 6, 4294967296.0, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Bcd, EncodeNumberTest,
    ::testing::Values(EncodeCase{"s7_m45_9", 7, 2, -45.9, {0x45, 0x80}},
                      EncodeCase{"s7_45_9", 7, 2, 45.9, {0x45, 0x00}},
                      EncodeCase{"s6_m19", 6, 1, -19, {0x99}},
                      EncodeCase{"s8_m12345678", 8, 4, -12345678, {0x78, 0x56, 0x34, 0x92}},
                      EncodeCase{"s7_m0_5", 7, 2, -0.5, {0x00, 0x80}},
                      EncodeCase{"u9_7", 9, 1, 7, {0x07}}, EncodeCase{"u9_99", 9, 1, 99, {0x99}},
                      EncodeCase{"u10_1234", 10, 2, 1234, {0x34, 0x12}},
                      EncodeCase{"u11_12345678", 11, 4, 12345678, {0x78, 0x56, 0x34, 0x12}},
                      // Beyond the code's digits: the top digit spills into higher nibbles.
                      EncodeCase{"u9_100", 9, 2, 100, {0xA0, 0x00}},
                      EncodeCase{"s7_12345", 7, 2, 12345, {0x45, 0xC3}},
                      // Negative to an unsigned BCD code: the two's complement pattern of -1
                      // (0xFFFFFFFF) run through the digit loop.
                      EncodeCase{"u9_m1", 9, 4, -1, {0x95, 0x99, 0x99, 0x99}},
                      // Magnitudes beyond 32 bits are clamped to 0xFFFFFFFF.
                      EncodeCase{"s6_huge", 6, 4, -1e12, {0x95, 0x99, 0x99, 0x99}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Encode, BitIsOneByteZeroOrOne) {
  int result = 0;
  EXPECT_EQ(Encode(13, 9, Number(-3.0), &result), (Bytes{0x01}));
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Encode(13, 0, Number(0.0)), (Bytes{0x00}));
  EXPECT_EQ(Encode(13, 0, Number(0.25)), (Bytes{0x01}));
  EXPECT_EQ(Encode(13, 15, Number(-0.0)), (Bytes{0x00}));
}

TEST(Encode, StringsArePaddedCutAndZeroFilled) {
  EXPECT_EQ(Encode(14, 4, Text("ABC")), (Bytes{'A', 'B', 'C', ' '}));
  EXPECT_EQ(Encode(14, 6, Text("ABC")), (Bytes{'A', 'B', 'C', ' ', 0, 0}));
  EXPECT_EQ(Encode(14, 6, Text("ABCD")), (Bytes{'A', 'B', 'C', 'D', 0, 0}));
  EXPECT_EQ(Encode(14, 4, Text("ABCDEF")), (Bytes{'A', 'B', 'C', 'D'}));
  EXPECT_EQ(Encode(14, 3, Text("ABC")), (Bytes{'A', 'B', 'C'}));
  EXPECT_EQ(Encode(14, 2, Text("")), (Bytes{0, 0}));
  // A number reads as its text.
  EXPECT_EQ(Encode(14, 4, Number(12.5)), (Bytes{'1', '2', '.', '5'}));
  // The whole area after the string is zero, not left over.
  std::array<uint8_t, kEncodeAreaBytes> dest;
  dest.fill(0xCC);
  ASSERT_EQ(EncodeTagValue(Binding(14, 8), Text("AB"), dest), 8);
  for (size_t i = 2; i < dest.size(); ++i) ASSERT_EQ(dest[i], 0) << i;
}

TEST(Encode, RefusesLengthsNoWriteCarries) {
  int result = 0;
  Encode(4, 0, Number(1), &result);
  EXPECT_EQ(result, -1);
  Encode(14, 0, Text("A"), &result);
  EXPECT_EQ(result, -1);
  Encode(14, static_cast<int>(kMaxWriteDataBytes) + 1, Text("A"), &result);
  EXPECT_EQ(result, -1);
  Encode(14, 1000, Text("A"), &result);
  EXPECT_EQ(result, -1);
  // The longest accepted string fills the write frame exactly.
  const std::string long_text(300, 'x');
  const Bytes bytes = Encode(14, static_cast<int>(kMaxWriteDataBytes), Text(long_text.c_str()));
  ASSERT_EQ(bytes.size(), kMaxWriteDataBytes);
  EXPECT_NE(BuildWriteRequest(1, 7, 1, bytes), nullptr);
}

// In-range values come back unchanged (truncated) through encode and decode.
TEST(Encode, RoundTripsThroughDecode) {
  struct Code {
    int type, length;
    double lo, hi;
  };
  const Code codes[] = {
      {0, 1, -128, 127}, {1, 2, -32768, 32767}, {2, 4, -2147483648.0, 2147483647.0},
      {3, 2, 0, 65535},  {4, 2, 0, 65535},      {5, 4, 0, 4294967295.0},
      {6, 1, -79, 79},   {7, 2, -7999, 7999},   {8, 4, -79999999, 79999999},
      {9, 1, 0, 99},     {10, 2, 0, 9999},      {11, 4, 0, 99999999}};
  for (const Code& code : codes) {
    for (int i = 0; i <= 200; ++i) {
      const double v = code.lo + (code.hi - code.lo) * i / 200.0;
      const Bytes bytes = Encode(code.type, code.length, Number(v));
      ASSERT_EQ(bytes.size(), static_cast<size_t>(code.length));
      EXPECT_EQ(DecodeNumber(code.type, code.length, bytes), std::trunc(v))
          << "type " << code.type << " value " << v;
    }
  }
}

// ---- The event list ----

TEST(ValueEventList, KeepsOrderAndOwnership) {
  ValueEventList list;
  EXPECT_EQ(list.PopFront(), nullptr);
  list.Append(nullptr);
  EXPECT_EQ(list.Size(), 0u);
  for (int i = 0; i < 3; ++i) {
    auto event = std::make_unique<CEventVal>();
    event->SetTagId(i);
    list.Append(std::move(event));
  }
  EXPECT_EQ(list.Size(), 3u);
  EXPECT_EQ(list.PopFront()->GetTagId(), 0);
  EXPECT_EQ(list.PopFront()->GetTagId(), 1);
  list.Clear();
  EXPECT_EQ(list.Size(), 0u);
  EXPECT_EQ(list.PopFront(), nullptr);
}

TEST(ValueEventList, OneProducerOneConsumer) {
  ValueEventList list;
  constexpr int kEvents = 20000;
  std::thread producer([&] {
    for (int i = 0; i < kEvents; ++i) PostBitEvent(list, Binding(13, 0, i), 1);
  });
  int next = 0;
  while (next < kEvents) {
    auto event = list.PopFront();
    if (!event) {
      std::this_thread::yield();
      continue;
    }
    if (event->GetTagId() != next) {
      ADD_FAILURE() << "event " << event->GetTagId() << " arrived as number " << next;
      break;
    }
    ++next;
  }
  producer.join();
  EXPECT_EQ(list.Size(), 0u);
}

}  // namespace
}  // namespace dravik
