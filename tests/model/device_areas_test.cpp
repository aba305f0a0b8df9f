// Device area table and the four address readers: area choice by prefix,
// number reading (strtoul rules), range checks, bit numbers and block starts.
#include "model/device_areas.h"

#include <gtest/gtest.h>

#include <string>

namespace dravik {
namespace {

constexpr uint16_t kWordType = 4;  // unsigned 16-bit, any non-bit code

struct TagCase {
  const char* text;
  uint16_t type;
  int ok;
  int area;
  uint32_t address;
  uint16_t bit;  // checked only for accepted bit tags
};

class ParseTagAddressTest : public ::testing::TestWithParam<TagCase> {};

TEST_P(ParseTagAddressTest, Judges) {
  const TagCase& c = GetParam();
  TagBinding binding;
  binding.type = c.type;
  binding.bit_or_length = 77;  // a bit tag must overwrite it
  int area = 99;
  uint32_t address = 12345;
  EXPECT_EQ(ParseTagAddress(c.text, &area, &address, &binding), c.ok) << c.text;
  EXPECT_EQ(area, c.area) << c.text;
  if (c.ok) {
    EXPECT_EQ(address, c.address) << c.text;
    if (c.type == kTypeBit) {
      EXPECT_EQ(binding.bit_or_length, c.bit) << c.text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Areas, ParseTagAddressTest,
    ::testing::Values(
        // The first matching prefix, tried R..I, decides the area.
        TagCase{"OR5", kWordType, 1, 6, 5, 0}, TagCase{"or5", kWordType, 1, 6, 5, 0},
        TagCase{"O5", kTypeBit, 1, 1, 5, 0}, TagCase{"IR12", kWordType, 1, 5, 12, 0},
        TagCase{"I12", kTypeBit, 1, 0, 12, 0}, TagCase{"FI3", kTypeBit, 1, 2, 3, 0},
        TagCase{"FO3", kTypeBit, 1, 3, 3, 0}, TagCase{"c17", kTypeBit, 1, 4, 17, 0},
        // A text that matches a prefix and fails later is not retried as a
        // shorter prefix.
        TagCase{"ORX", kWordType, 0, 6, 0, 0}, TagCase{"X1", kWordType, 0, -1, 0, 0},
        TagCase{"", kWordType, 0, -1, 0, 0}));

INSTANTIATE_TEST_SUITE_P(
    WordTypes, ParseTagAddressTest,
    ::testing::Values(TagCase{"R512", kWordType, 1, 7, 512, 0},
                      TagCase{"R513", kWordType, 0, 7, 0, 0}, TagCase{"R0", kWordType, 0, 7, 0, 0},
                      TagCase{"IR256", 2, 1, 5, 256, 0}, TagCase{"IR257", 2, 0, 5, 0, 0},
                      TagCase{"OR256", 14, 1, 6, 256, 0}, TagCase{"I5", kWordType, 0, 0, 0, 0},
                      TagCase{"C5", kWordType, 0, 4, 0, 0}, TagCase{"R10.5", kWordType, 0, 7, 0, 0},
                      TagCase{"R 10", kWordType, 1, 7, 10, 0},
                      TagCase{"R+10", kWordType, 1, 7, 10, 0},
                      TagCase{"R-1", kWordType, 0, 7, 0, 0}, TagCase{"R10 ", kWordType, 0, 7, 0, 0},
                      TagCase{"R4294967297", kWordType, 0, 7, 0, 0},
                      // A minus negates modulo 2^32, so this reads as 1.
                      TagCase{"R-4294967295", kWordType, 1, 7, 1, 0}));

INSTANTIATE_TEST_SUITE_P(
    BitTags, ParseTagAddressTest,
    ::testing::Values(
        TagCase{"R100.15", kTypeBit, 1, 7, 100, 15}, TagCase{"R100.0", kTypeBit, 1, 7, 100, 0},
        TagCase{"ir1.7", kTypeBit, 1, 5, 1, 7}, TagCase{"R100.16", kTypeBit, 0, 7, 0, 0},
        TagCase{"R100", kTypeBit, 0, 7, 0, 0}, TagCase{"R100.", kTypeBit, 1, 7, 100, 0},
        TagCase{"R.3", kTypeBit, 0, 7, 0, 0}, TagCase{"R100.3x", kTypeBit, 0, 7, 0, 0},
        TagCase{"R1x.3", kTypeBit, 0, 7, 0, 0}, TagCase{"R100.-1", kTypeBit, 0, 7, 0, 0},
        TagCase{"C1024", kTypeBit, 1, 4, 1024, 0}, TagCase{"C1025", kTypeBit, 0, 4, 0, 0},
        TagCase{"I256", kTypeBit, 1, 0, 256, 0}, TagCase{"I17.1", kTypeBit, 0, 0, 0, 0}));

TEST(ParseTagAddress, JudgesOnlyTheFirst49Characters) {
  TagBinding binding;
  binding.type = kWordType;
  int area = 0;
  uint32_t address = 0;
  // 48 characters of "R" and leading zeros then "5": 49 characters, valid.
  std::string text = "R" + std::string(47, '0') + "5";
  ASSERT_EQ(text.size(), 49u);
  EXPECT_EQ(ParseTagAddress(text.c_str(), &area, &address, &binding), 1);
  EXPECT_EQ(address, 5u);
  // Whatever follows the 49th character is not looked at.
  const std::string longer = text + "garbage";
  EXPECT_EQ(ParseTagAddress(longer.c_str(), &area, &address, &binding), 1);
  // A 50th character that is a digit is cut as well: still address 5.
  const std::string digits = text + "9";
  EXPECT_EQ(ParseTagAddress(digits.c_str(), &area, &address, &binding), 1);
  EXPECT_EQ(address, 5u);
  // A very long text is no danger.
  const std::string huge(10000, 'R');
  EXPECT_EQ(ParseTagAddress(huge.c_str(), &area, &address, &binding), 0);
}

TEST(ParseTagAddress, NullTextIsRefused) {
  TagBinding binding;
  int area = 0;
  uint32_t address = 0;
  EXPECT_EQ(ParseTagAddress(nullptr, &area, &address, &binding), 0);
  EXPECT_EQ(area, -1);
}

struct BlockStartCase {
  const char* text;
  int area;
  int ok;
  uint32_t start;
  const char* rewritten;  // text afterwards
};

class ValidateBlockStartTest : public ::testing::TestWithParam<BlockStartCase> {};

TEST_P(ValidateBlockStartTest, Judges) {
  const BlockStartCase& c = GetParam();
  std::string text = c.text;
  uint32_t start = 999999;
  EXPECT_EQ(ValidateBlockStart(text, c.area, &start), c.ok) << c.text << " area " << c.area;
  EXPECT_EQ(text, c.rewritten) << c.text;
  if (c.ok) {
    EXPECT_EQ(start, c.start);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BitAreas, ValidateBlockStartTest,
    ::testing::Values(BlockStartCase{"1", 0, 1, 1, "I1"}, BlockStartCase{"9", 1, 1, 9, "O9"},
                      BlockStartCase{"17", 2, 1, 17, "FI17"},
                      BlockStartCase{"249", 3, 1, 249, "FO249"},
                      // Not on a byte boundary: refused before the rewrite.
                      BlockStartCase{"2", 0, 0, 0, "2"}, BlockStartCase{"8", 0, 0, 0, "8"},
                      BlockStartCase{"16", 0, 0, 0, "16"}, BlockStartCase{"0", 0, 0, 0, "0"},
                      BlockStartCase{"1017", 4, 1, 1017, "C1017"},
                      // On a boundary but out of range: rewritten, then refused.
                      BlockStartCase{"1025", 4, 0, 0, "C1025"},
                      BlockStartCase{"257", 0, 0, 0, "I257"}));

INSTANTIATE_TEST_SUITE_P(
    WordAreas, ValidateBlockStartTest,
    ::testing::Values(BlockStartCase{"512", 7, 1, 512, "R512"},
                      BlockStartCase{"017", 7, 1, 17, "R017"}, BlockStartCase{"1", 5, 1, 1, "IR1"},
                      BlockStartCase{"256", 6, 1, 256, "OR256"},
                      BlockStartCase{"513", 7, 0, 0, "R513"}, BlockStartCase{"0", 7, 0, 0, "R0"},
                      BlockStartCase{"-1", 7, 0, 0, "R-1"}, BlockStartCase{"12a", 7, 0, 0, "12a"},
                      BlockStartCase{"", 7, 0, 0, "R"}, BlockStartCase{"5", 8, 0, 0, "5"},
                      BlockStartCase{"5", -1, 0, 0, "5"}));

TEST(ValidateBlockStart, RefusesTextsLongerThanItsBuffer) {
  std::string fits = std::string(50, '0') + "1";  // 51 characters: fits the copy
  uint32_t start = 0;
  EXPECT_EQ(ValidateBlockStart(fits, 7, &start), 1);
  EXPECT_EQ(start, 1u);
  std::string too_long = std::string(51, '0') + "1";  // 52 characters
  EXPECT_EQ(ValidateBlockStart(too_long, 7, &start), 0);
  EXPECT_EQ(too_long, std::string(51, '0') + "1");
}

TEST(BlockFitsArea, ComparesTheLastAddressWithTheHighest) {
  EXPECT_EQ(BlockFitsArea(7, 505, 8), 1);
  EXPECT_EQ(BlockFitsArea(7, 505, 9), 0);
  EXPECT_EQ(BlockFitsArea(4, 1, 1024), 1);
  EXPECT_EQ(BlockFitsArea(4, 2, 1024), 0);
  EXPECT_EQ(BlockFitsArea(0, 249, 8), 1);
  EXPECT_EQ(BlockFitsArea(0, 249, 9), 0);
  // No wrap-around for huge values.
  EXPECT_EQ(BlockFitsArea(7, 0xFFFFFFFFu, 2), 0);
  EXPECT_EQ(BlockFitsArea(9, 1, 1), 0);
}

TEST(SplitAreaAddress, SplitsByTheFirstMatchingPrefix) {
  std::string rest = "untouched";
  EXPECT_EQ(SplitAreaAddress("R100", &rest), 7);
  EXPECT_EQ(rest, "100");
  EXPECT_EQ(SplitAreaAddress("OR5", &rest), 6);
  EXPECT_EQ(rest, "5");
  EXPECT_EQ(SplitAreaAddress("IR1", &rest), 5);
  EXPECT_EQ(rest, "1");
  EXPECT_EQ(SplitAreaAddress("FO9", &rest), 3);
  EXPECT_EQ(rest, "9");
  EXPECT_EQ(SplitAreaAddress("O", &rest), 1);
  EXPECT_EQ(rest, "");
  rest = "untouched";
  EXPECT_EQ(SplitAreaAddress("X1", &rest), -1);
  EXPECT_EQ(rest, "untouched");
  // Case matters here (the dialog stores upper case).
  EXPECT_EQ(SplitAreaAddress("r100", &rest), -1);
  EXPECT_EQ(SplitAreaAddress("", &rest), -1);
}

TEST(DeviceAreas, TableMatchesTheWireLayout) {
  const char* prefixes[] = {"I", "O", "FI", "FO", "C", "IR", "OR", "R"};
  const uint32_t highest[] = {256, 256, 256, 256, 1024, 256, 256, 512};
  const uint32_t base[] = {0, 256, 512, 768, 1024, 0, 512, 1024};
  for (int i = 0; i < kAreaCount; ++i) {
    EXPECT_STREQ(kDeviceAreas[i].prefix, prefixes[i]);
    EXPECT_EQ(kDeviceAreas[i].prefix_length, static_cast<int>(std::string(prefixes[i]).size()));
    EXPECT_EQ(kDeviceAreas[i].highest, highest[i]);
    EXPECT_EQ(kDeviceAreas[i].base, base[i]);
    EXPECT_EQ(IsBitArea(i), i < kFirstWordArea);
  }
  EXPECT_STREQ(kDeviceAreas[4].list_entry, "Coil (Bit)");
  EXPECT_STREQ(kDeviceAreas[7].list_entry, "Register (Word)");
}

struct NumberCase {
  const char* text;
  bool whole;
  uint32_t value;
};

TEST(ReadUnsigned, FollowsTheUnsignedConversionRules) {
  const NumberCase cases[] = {
      {"10", true, 10},
      {"  10", true, 10},
      {"+7", true, 7},
      {"-1", true, 0xFFFFFFFFu},
      {"-0", true, 0},
      {"4294967295", true, 0xFFFFFFFFu},
      {"4294967296", true, 0xFFFFFFFFu},  // saturates like strtoul
      {"", true, 0},                      // nothing to read: stops at the end
      {" ", false, 0},
      {"+", false, 0},
      {"- 5", false, 0},
      {"10 ", false, 10},
      {"1a", false, 1},
  };
  for (const NumberCase& c : cases) {
    uint32_t value = 12345;
    EXPECT_EQ(ReadUnsigned(c.text, 10, &value), c.whole) << '"' << c.text << '"';
    EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace dravik
