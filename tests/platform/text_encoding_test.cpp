// Text encodings: which texts are UTF-8, and code page 949 to UTF-8 and back
// through the C library, with the errors that name the byte or character.
#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace dravik {
namespace {

TEST(TextEncoding, WhatCountsAsUtf8) {
  const struct {
    const char* what;
    std::string text;
    bool utf8;
  } cases[] = {
      {"empty", "", true},
      {"ASCII", "PLC1 line", true},
      {"Korean", "펌프", true},
      {"four bytes", "😀", true},
      {"949 bytes", "\xC6\xDF\xC7\xC1", false},
      {"overlong slash", "\xC0\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"cut short", "\xEA\xB0", false},
      {"lone continuation", "a\x80", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsUtf8(c.text), c.utf8) << c.what;
}

TEST(TextEncoding, Cp949BothWaysAndItsErrors) {
  std::string out, error;
  ASSERT_TRUE(
      DecodeText("\xC1\xA6"
                 "1 \xC6\xDF\xC7\xC1",
                 TextEncoding::kCp949, &out, &error))
      << error;
  EXPECT_EQ(out, "제1 펌프");
  ASSERT_TRUE(EncodeText("제1 펌프", TextEncoding::kCp949, &out, &error)) << error;
  EXPECT_EQ(out,
            "\xC1\xA6"
            "1 \xC6\xDF\xC7\xC1");

  // A byte 949 does not define, and a lead byte without its trail byte.
  EXPECT_FALSE(DecodeText("AB\x80", TextEncoding::kCp949, &out, &error));
  EXPECT_EQ(error, "byte 2 (0x80) is not valid in code page 949");
  EXPECT_FALSE(DecodeText("\xB0", TextEncoding::kCp949, &out, &error));
  EXPECT_EQ(error, "byte 0 (0xB0) is not valid in code page 949");
  // A character 949 has no place for is named, not replaced.
  EXPECT_FALSE(EncodeText("가ก", TextEncoding::kCp949, &out, &error));
  EXPECT_EQ(error, "the character \"ก\" (U+0E01) has no place in code page 949");
  // UTF-8 passes through, checked.
  ASSERT_TRUE(EncodeText("😀", TextEncoding::kUtf8, &out, &error));
  EXPECT_EQ(out, "😀");
  EXPECT_FALSE(DecodeText("\xC6\xDF", TextEncoding::kUtf8, &out, &error));

  TextEncoding encoding = TextEncoding::kUtf8;
  ASSERT_TRUE(TextEncodingFromName("CP949", &encoding));
  EXPECT_STREQ(TextEncodingName(encoding), "cp949");
  ASSERT_TRUE(TextEncodingFromName("utf-8", &encoding));
  EXPECT_STREQ(TextEncodingName(encoding), "utf-8");
  EXPECT_FALSE(TextEncodingFromName("latin1", &encoding));
}

}  // namespace
}  // namespace dravik
