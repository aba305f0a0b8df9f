// The tag list parser of dravik-host: columns by header, type names and
// codes, default lengths, quoting, and each kind of bad row with its line.
#include "gateway/line/tag_list.h"

#include <gtest/gtest.h>

namespace dravik::host {
namespace {

TEST(TagTypeTest, NamesAndCodes) {
  const struct {
    const char* text;
    int code;
  } cases[] = {
      {"int8", 0},   {"INT16", 1},      {"int32", 2}, {"uint", 3},    {"uint16", 4}, {"word", 4},
      {"uint32", 5}, {"bcd2s", 6},      {"bcd4s", 7}, {"bcd8s", 8},   {"bcd2", 9},   {"bcd4", 10},
      {"bcd8", 11},  {"int-write", 12}, {"bit", 13},  {"string", 14}, {"0", 0},      {"14", 14},
      {" 10 ", 10},  {"15", -1},        {"-1", -1},   {"float", -1},  {"", -1},      {"4x", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseTagType(c.text), c.code) << c.text;
  }
  EXPECT_EQ(TagTypeText(10), "bcd4");
  EXPECT_EQ(TagTypeText(4), "uint16");
  EXPECT_EQ(TagTypeText(99), "99");
}

TEST(TagListTest, ParsesRowsWithDefaultsAndQuotes) {
  const TagList list = ParseTagList(
      "\xEF\xBB\xBF# comment\n"
      "Name, Device, Address, Type, Length\r\n"
      "\n"
      "Counter,DVK.PLC1,R1,uint16,\n"
      "\"Big, one\", DVK.PLC1 ,R2,int32,\n"
      "Text,DVK.PLC1,R5,string,4\n"
      "Lamp,DVK.PLC1,R7.3,bit,\n"
      "Clock,DVK.PLC2,R2,10,2\n"
      "Quote\"d,DVK.PLC2,R3,bcd2,1\n");
  EXPECT_TRUE(list.errors.empty());
  ASSERT_EQ(list.rows.size(), 6u);
  EXPECT_EQ(list.rows[0].name, "Counter");
  EXPECT_EQ(list.rows[0].line, 4);
  EXPECT_EQ(list.rows[0].type, 4);
  EXPECT_EQ(list.rows[0].length, 2);
  EXPECT_EQ(list.rows[1].name, "Big, one");
  EXPECT_EQ(list.rows[1].device, "DVK.PLC1");
  EXPECT_EQ(list.rows[1].length, 4);
  EXPECT_EQ(list.rows[2].type, 14);
  EXPECT_EQ(list.rows[2].length, 4);
  EXPECT_EQ(list.rows[3].type, 13);
  EXPECT_EQ(list.rows[3].length, 0);
  EXPECT_EQ(list.rows[3].address, "R7.3");
  EXPECT_EQ(list.rows[4].type, 10);
  EXPECT_EQ(list.rows[4].line, 8);
  EXPECT_EQ(list.rows[5].name, "Quote\"d");
  EXPECT_EQ(list.rows[5].length, 1);
}

TEST(TagListTest, ColumnsMayComeInAnyOrder) {
  const TagList list = ParseTagList("type,address,name,device\nbit,C3,Lamp,DVK.PLC1\n");
  ASSERT_TRUE(list.errors.empty());
  ASSERT_EQ(list.rows.size(), 1u);
  EXPECT_EQ(list.rows[0].name, "Lamp");
  EXPECT_EQ(list.rows[0].address, "C3");
  EXPECT_EQ(list.rows[0].type, 13);
}

TEST(TagListTest, BadRowsAreReportedWithTheirLineAndSkipped) {
  const std::string longest(kMaxTagNameBytes, 'L');
  const struct {
    std::string row;
    std::string error;
  } cases[] = {
      {"Short,DVK.PLC1,R1", "expected at least 4 fields, found 3; row skipped"},
      {",DVK.PLC1,R1,int16,2", "the tag has no name; row skipped"},
      {"NoDev,,R1,int16,2", "tag \"NoDev\" has no device; row skipped"},
      {"T,DVK.PLC1,R1,float,4",
       "tag \"T\": unknown type \"float\" (0..14 or a type name); row "
       "skipped"},
      {"S,DVK.PLC1,R1,string,", "tag \"S\": a string tag needs a length; row skipped"},
      {"L,DVK.PLC1,R1,int16,0", "tag \"L\": length \"0\" is not 1..120; row skipped"},
      {"L,DVK.PLC1,R1,int16,121", "tag \"L\": length \"121\" is not 1..120; row skipped"},
      {"L,DVK.PLC1,R1,int16,two", "tag \"L\": length \"two\" is not 1..120; row skipped"},
      {"B,DVK.PLC1,C1,bit,16", "tag \"B\": bit number \"16\" is not 0..15; row skipped"},
      {"Q,\"DVK.PLC1,R1,int16,2", "unterminated quote; row skipped"},
      {"Good,DVK.PLC1,R1,int16,2", "tag \"Good\" is listed twice; row skipped"},
      {longest + "N,DVK.PLC1,R1,int16,2", "tag name \"" + longest.substr(0, 60) +
                                              "... (256 bytes)\" is 256 bytes long, more than 255; "
                                              "row skipped"},
      {"T,DVK.PLC1,R1," + std::string(1 << 20, 'x') + ",2",
       "tag \"T\": unknown type \"" + std::string(60, 'x') +
           "... (1048576 bytes)\" (0..14 or a type name); row skipped"},
  };
  std::string text = "name,device,address,type,length\nGood,DVK.PLC1,R1,int16,2\n";
  for (const auto& c : cases) text += c.row + "\n";
  text += longest + ",DVK.PLC2,R9,int16,2\n";
  const TagList list = ParseTagList(text);
  ASSERT_EQ(list.errors.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(list.errors[i].line, static_cast<int>(i) + 3) << cases[i].error;
    EXPECT_EQ(list.errors[i].text, cases[i].error);
  }
  ASSERT_EQ(list.rows.size(), 2u);
  EXPECT_EQ(list.rows[0].name, "Good");
  EXPECT_EQ(list.rows[1].name, longest);
  EXPECT_EQ(list.rows[1].line, static_cast<int>(std::size(cases)) + 3);
}

TEST(TagListTest, AccessColumnMarksReadOnlyTagsAndRefusesOtherWords) {
  const TagList list = ParseTagList(
      "name,device,address,type,access\nA,D.P,R1,int16,r\nB,D.P,R2,int16, RW \n"
      "C,D.P,R3,int16,w\nE,D.P,R4,int16,\n");
  ASSERT_EQ(list.rows.size(), 2u);
  EXPECT_FALSE(list.rows[0].writable);
  EXPECT_TRUE(list.rows[1].writable);
  ASSERT_EQ(list.errors.size(), 2u);
  EXPECT_EQ(list.errors[0].text, "tag \"C\": access \"w\" is not r or rw; row skipped");
  EXPECT_EQ(list.errors[1].line, 5);
  // Without the column every tag takes writes.
  EXPECT_TRUE(ParseTagList("name,device,address,type\nA,D.P,R1,int16\n").rows.at(0).writable);
}

TEST(TagListTest, HeaderProblems) {
  TagList list = ParseTagList("name,device,address\nA,B,C\n");
  ASSERT_EQ(list.errors.size(), 1u);
  EXPECT_EQ(list.errors[0].line, 1);
  EXPECT_TRUE(list.rows.empty());

  list = ParseTagList("# only a comment\n\n");
  ASSERT_EQ(list.errors.size(), 1u);
  EXPECT_EQ(list.errors[0].text, "the tag list has no header row");
  EXPECT_TRUE(ParseTagList("").rows.empty());
}

TEST(TagListTest, LineEndingsNulBytesAndEmptyLists) {
  using namespace std::string_literals;
  const struct {
    const char* name;
    std::string text;
    size_t rows;
    bool has_header;
    int data_rows;
    int error_line;  // 0: no error
  } cases[] = {
      {"CR", "name,device,address,type\rA,P.S,R1,int16\rB,P.S,R2,int16\r", 2, true, 2, 0},
      {"CR LF", "name,device,address,type\r\nA,P.S,R1,int16\r\nB,P.S,R2,int16", 2, true, 2, 0},
      {"mixed", "name,device,address,type\nA,P.S,R1,int16\r\rB,P.S,R2,int16\n", 2, true, 2, 0},
      {"NUL in a field", "name,device,address,type\rA,P.S,R1\0 23,int16\rB,P.S,R2,int16"s, 1, true,
       2, 2},
      {"header only", "name,device,address,type\r\n# none yet\r\n", 0, true, 0, 0},
      {"all refused", "name,device,address,type\nA,P.S,R1,float\n", 0, true, 1, 2},
      {"empty", "", 0, false, 0, 0},
      {"binary",
       "\x7F"
       "ELF\x02\x01\0\0\0\n\x03\0"s,
       0, false, 0, 1},
  };
  for (const auto& c : cases) {
    const TagList list = ParseTagList(c.text);
    EXPECT_EQ(list.rows.size(), c.rows) << c.name;
    EXPECT_EQ(list.has_header, c.has_header) << c.name;
    EXPECT_EQ(list.data_rows, c.data_rows) << c.name;
    if (c.error_line != 0) {
      ASSERT_FALSE(list.errors.empty()) << c.name;
      EXPECT_EQ(list.errors[0].line, c.error_line) << c.name;
    } else if (c.has_header) {
      EXPECT_TRUE(list.errors.empty()) << c.name;
    }
  }
  const TagList nul = ParseTagList("name,device,address,type\nA,P.S,R1\0 23,int16\n"s);
  ASSERT_EQ(nul.errors.size(), 1u);
  EXPECT_EQ(nul.errors[0].text, "field 3 holds a NUL byte; row skipped");
}

}  // namespace
}  // namespace dravik::host
