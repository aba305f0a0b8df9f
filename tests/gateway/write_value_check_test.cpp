// The value check before slot 7: each data type's edges, one row per edge,
// and what a refused value's error line says.
#include "gateway/line/write_value_check.h"

#include <gtest/gtest.h>

namespace dravik::host {
namespace {

struct ValueCase {
  int type;
  int length;
  const char* text;
  bool accepted;
};

TEST(CheckWriteValue, TakesOnlyWhatTheTagHoldsUnchanged) {
  const ValueCase cases[] = {
      {0, 1, "-128", true},        {0, 1, "128", false},        {1, 2, "-32768", true},
      {1, 2, "32768", false},      {1, 2, "1e308", false},      {1, 2, "2.5", false},
      {2, 4, "2147483647", true},  {2, 4, "2147483648", false}, {2, 2, "40000", false},
      {3, 2, "65535", true},       {4, 2, "70000", false},      {4, 2, "-1", false},
      {5, 4, "4294967295", true},  {5, 4, "4294967296", false}, {12, 4, "-2147483648", true},
      {12, 4, "4294967295", true}, {12, 2, "65536", false},     {6, 1, "-79", true},
      {6, 1, "80", false},         {7, 2, "7999", true},        {7, 2, "-8000", false},
      {8, 4, "79999999", true},    {9, 1, "99", true},          {9, 1, "100", false},
      {10, 2, "-1", false},        {11, 4, "99999999", true},   {11, 2, "10000", false},
      {13, 0, "1", true},          {13, 0, "2", false},         {14, 4, "ABCD", true},
      {14, 4, "ABCDE", false},     {14, 4, "", true},           {1, 2, "abc", false},
      {1, 2, "nan", false},        {15, 2, "1", false},         {1, 2, "0x10", false},
      {1, 2, " 12", false},        {1, 2, "-1.0e1", true},      {1, 2, "1e", false},
      {13, 0, "true", true},       {13, 0, "false", true},      {1, 2, "true", false},
      // Nothing rounded on the way: a double would take each of these for
      // another number.
      {0, 1, "127.00000000000000001", false}, {13, 0, "1.0000000000000000001", false},
      {12, 8, "9007199254740993", false},     {12, 8, "9007199254740992", true},
      {12, 8, "560000026423267474.75", false}, {1, 2, "1.5e1", true},
      {1, 2, "150e-1", true},                  {1, 2, "-0.0", true},
  };
  for (const ValueCase& c : cases) {
    CTagVal value;
    std::string error;
    EXPECT_EQ(CheckWriteValue(c.type, c.length, c.text, &value, &error), c.accepted)
        << "type " << c.type << " length " << c.length << " value " << c.text << ": " << error;
    EXPECT_EQ(error.empty(), c.accepted) << c.text;
  }
}

TEST(CheckWriteValue, SetsTheValueAndNamesTheRangeWhenRefusing) {
  CTagVal value;
  std::string error;
  ASSERT_TRUE(CheckWriteValue(1, 2, "-5", &value, &error));
  EXPECT_EQ(value.GetVal(), -5.0);
  ASSERT_TRUE(CheckWriteValue(14, 6, "AB C", &value, &error));
  EXPECT_EQ(value.GetValStr(), "AB C");
  EXPECT_FALSE(CheckWriteValue(4, 2, "70000", &value, &error));
  EXPECT_EQ(error, "\"70000\" is outside 0..65535 (uint16, 2 bytes)");
  EXPECT_EQ(value.GetValStr(), "AB C");  // untouched
  EXPECT_FALSE(CheckWriteValue(14, 4, std::string("A\0B", 3), &value, &error));
  EXPECT_EQ(error, "the text holds a NUL byte at byte 2");
}

}  // namespace
}  // namespace dravik::host
