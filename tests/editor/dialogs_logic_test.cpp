// The station and block dialogs and the hex spin, driven through scripted
// controls: which error box comes first, where the focus goes and which
// values the dialog hands back.
#include <gtest/gtest.h>

#include "editor/comm_block_dlg.h"
#include "editor/hex_spin.h"
#include "editor/station_dlg.h"
#include "fake_views.h"
#include "model/device_areas.h"
#include "model/dravik_doc.h"

namespace dravik::test {
namespace {

// ---------------------------------------------------------------- hex spin

struct HexStep {
  const char* text;
  int lower;
  int upper;
  int delta;
  const char* expected;
};

TEST(HexSpinTest, StepsClampsAndPads) {
  const HexStep steps[] = {
      {"FF", 1, 255, +1, "FF"},   {"1", 1, 255, -1, "01"},     {"01", 1, 255, -1, "01"},
      {"A", 1, 255, +1, "0B"},    {"7F", 1, 255, -1, "7E"},    {"zz", 1, 255, +1, "01"},
      {"zz", 1, 255, -1, "01"},   {"", 1, 255, +1, "01"},      {"0x1A", 1, 255, +1, "1B"},
      {" 1A", 1, 255, +1, "1B"},  {"1A ", 1, 255, +1, "01"},   {"ff", 1, 255, -1, "FE"},
      {"FF", 1, 256, +1, "0100"}, {"5", 0, 65535, +1, "0006"}, {"5", 0, 65536, -1, "00000004"},
      {"-1", 1, 255, +1, "01"},   {"100", 1, 255, -1, "FF"},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(CHexSpinCtrl::StepText(s.text, s.lower, s.upper, s.delta), s.expected)
        << "text '" << s.text << "' range " << s.lower << ".." << s.upper << " step " << s.delta;
  }
}

TEST(HexSpinTest, DigitWidthFollowsUpperBound) {
  EXPECT_EQ(CHexSpinCtrl::DigitWidth(255), 2);
  EXPECT_EQ(CHexSpinCtrl::DigitWidth(256), 4);
  EXPECT_EQ(CHexSpinCtrl::DigitWidth(65535), 4);
  EXPECT_EQ(CHexSpinCtrl::DigitWidth(65536), 8);
}

TEST(HexSpinTest, OnDeltaPosRewritesTheBuddyOnly) {
  FakeControls controls;
  controls.texts[kIdNumber] = "A";
  CHexSpinCtrl spin;
  spin.Attach(&controls, kIdNumber);
  spin.SetRange(1, 255);
  EXPECT_EQ(spin.OnDeltaPos(+1), 1);
  EXPECT_EQ(controls.texts[kIdNumber], "0B");
  EXPECT_EQ(spin.OnDeltaPos(-1), 1);
  EXPECT_EQ(spin.OnDeltaPos(-1), 1);
  EXPECT_EQ(controls.texts[kIdNumber], "09");
}

// ---------------------------------------------------------- station dialog

class StationDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = std::make_unique<CStationInfoDVK>();
    s->name = "PLC1";
    s->number = 10;
    plc1_ = s.get();
    doc_.Stations().push_back(std::move(s));
  }
  // Opens a dialog, types the texts and presses OK.
  bool TryOk(CStationDlg& dlg, const std::string& name, const std::string& number) {
    dlg.OnInitDialog(&controls_);
    controls_.texts[kIdName] = name;
    controls_.texts[kIdNumber] = number;
    controls_.texts[kIdDescription] = "Line A";
    return dlg.OnOK();
  }

  CDravikNetDoc doc_;
  CStationInfoDVK* plc1_ = nullptr;
  FakeControls controls_;
  ErrorRecorder errors_;
};

TEST_F(StationDlgTest, NewStationShowsFFAndAcceptsIt) {
  CStationDlg dlg(nullptr, doc_, nullptr);
  dlg.OnInitDialog(&controls_);
  EXPECT_EQ(controls_.texts[kIdName], "");
  EXPECT_EQ(controls_.texts[kIdNumber], "FF");
  EXPECT_EQ(controls_.texts[kIdDescription], "");
  EXPECT_EQ(controls_.ranges[kIdNumberSpin], std::make_pair(1, 255));
  controls_.texts[kIdName] = "PLC2";
  ASSERT_TRUE(dlg.OnOK());
  EXPECT_EQ(dlg.number, 255);
  EXPECT_EQ(dlg.name, "PLC2");
  EXPECT_TRUE(errors_.shown.empty());
}

TEST_F(StationDlgTest, EditingShowsTheNumberInHexWithoutLeadingZeros) {
  plc1_->description = "desc";
  CStationDlg dlg(nullptr, doc_, plc1_);
  dlg.OnInitDialog(&controls_);
  EXPECT_EQ(controls_.texts[kIdName], "PLC1");
  EXPECT_EQ(controls_.texts[kIdNumber], "A");
  EXPECT_EQ(controls_.texts[kIdDescription], "desc");
  // The edited station keeps its own name and number.
  ASSERT_TRUE(dlg.OnOK());
  EXPECT_EQ(dlg.number, 10);
}

struct StationCase {
  const char* name;
  const char* number;
  int error;     // 0: accepted
  int focus;     // field focused after the error
  int expected;  // station number held by the dialog afterwards
};

TEST_F(StationDlgTest, OkRulesFirstFailureWins) {
  const StationCase cases[] = {
      {"", "zz", 2700, kIdName, 255},     {"   ", "zz", 2700, kIdName, 255},
      {"plc1", "zz", 2701, kIdName, 255}, {"Plc1", "B", 2701, kIdName, 255},
      {"PLC2", "0", 18, kIdNumber, 0},    {"PLC2", "100", 18, kIdNumber, 256},
      {"PLC2", "-1", 18, kIdNumber, -1},  {"PLC2", "", 18, kIdNumber, 0},
      {"PLC2", "1A ", 18, kIdNumber, 26}, {"PLC2", "G1", 18, kIdNumber, 0},
      {"PLC2", "A", 2702, kIdNumber, 10}, {"PLC2", "0A", 2702, kIdNumber, 10},
      {"PLC2", "0X1A", 0, 0, 26},         {"PLC2", " 1A", 0, 0, 26},
      {"PLC2", "ff", 0, 0, 255},          {"PLC2", "1", 0, 0, 1},
  };
  for (const auto& c : cases) {
    CStationDlg dlg(nullptr, doc_, nullptr);
    errors_.shown.clear();
    controls_.focus = 0;
    const bool ok = TryOk(dlg, c.name, c.number);
    SCOPED_TRACE(std::string("name '") + c.name + "' number '" + c.number + "'");
    if (c.error == 0) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(errors_.shown.empty());
    } else {
      EXPECT_FALSE(ok);
      ASSERT_EQ(errors_.shown.size(), 1u);
      EXPECT_EQ(errors_.shown[0].id, c.error);
      EXPECT_EQ(errors_.shown[0].flags, 0);
      EXPECT_EQ(controls_.focus, c.focus);
    }
    EXPECT_EQ(dlg.number, c.expected);
  }
}

TEST_F(StationDlgTest, NameIsTrimmedDescriptionTakenAsTyped) {
  CStationDlg dlg(nullptr, doc_, nullptr);
  dlg.OnInitDialog(&controls_);
  controls_.texts[kIdName] = "  NEW \t";
  controls_.texts[kIdNumber] = "2";
  controls_.texts[kIdDescription] = "  two words  ";
  ASSERT_TRUE(dlg.OnOK());
  EXPECT_EQ(dlg.name, "NEW");
  EXPECT_EQ(dlg.description, "  two words  ");
}

TEST_F(StationDlgTest, WithEveryNumberInUseANewStationFailsWith2702) {
  doc_.Stations().clear();
  for (int n = 1; n <= 255; ++n) {
    auto s = std::make_unique<CStationInfoDVK>();
    s->name = "S" + std::to_string(n);
    s->number = n;
    doc_.Stations().push_back(std::move(s));
  }
  for (const char* number : {"1", "80", "FF"}) {
    CStationDlg dlg(nullptr, doc_, nullptr);
    errors_.shown.clear();
    EXPECT_FALSE(TryOk(dlg, "NEW", number));
    EXPECT_EQ(errors_.Ids(), std::vector<int>{2702}) << number;
  }
}

// ------------------------------------------------------------ block dialog

class BlockDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controls_.fixed_lists[kIdArea] = 8;
    auto s = std::make_unique<CStationInfoDVK>();
    station_ = s.get();
    doc_.Stations().push_back(std::move(s));
  }
  CCommBlockDVK* AddBlock(const std::string& text, int count, int period_ms = 1000) {
    auto b = std::make_unique<CCommBlockDVK>();
    std::string rest;
    b->area = SplitAreaAddress(text, &rest);
    b->start = std::stoi(rest);
    b->address_text = text;
    b->count = count;
    b->period_ms = period_ms;
    station_->blocks.push_back(std::move(b));
    return station_->blocks.back().get();
  }
  // Opens the dialog (new block unless `editing`), fills it and presses OK.
  bool TryOk(CCommBlockDlg& dlg, int area, const std::string& start, const std::string& count,
             const std::string& period = "1.5") {
    dlg.OnInitDialog(&controls_);
    controls_.sel[kIdArea] = area;
    controls_.texts[kIdStart] = start;
    controls_.texts[kIdCount] = count;
    controls_.texts[kIdPeriod] = period;
    errors_.shown.clear();
    controls_.prompts.clear();
    controls_.focus = 0;
    return dlg.OnOK();
  }

  CDravikNetDoc doc_;
  CStationInfoDVK* station_ = nullptr;
  FakeControls controls_;
  ErrorRecorder errors_;
};

TEST_F(BlockDlgTest, NewBlockDefaults) {
  CCommBlockDlg dlg(nullptr, doc_, station_, nullptr);
  dlg.OnInitDialog(&controls_);
  EXPECT_EQ(controls_.GetCurSel(kIdArea), 0);
  EXPECT_EQ(controls_.texts[kIdStart], "");
  EXPECT_EQ(controls_.texts[kIdCount], "8");
  EXPECT_EQ(controls_.texts[kIdPeriod], "1.5");
  EXPECT_EQ(controls_.ranges[kIdCountSpin], std::make_pair(1, 480));
  ASSERT_EQ(controls_.float_spin[kIdPeriodSpin].size(), 3u);
  EXPECT_FLOAT_EQ(controls_.float_spin[kIdPeriodSpin][0], 0.0f);
  EXPECT_FLOAT_EQ(controls_.float_spin[kIdPeriodSpin][1], 999.9f);
  EXPECT_FLOAT_EQ(controls_.float_spin[kIdPeriodSpin][2], 0.1f);
}

TEST_F(BlockDlgTest, EditingSplitsTheStoredAddress) {
  CCommBlockDVK* b = AddBlock("OR5", 4, 1000);
  CCommBlockDlg dlg(nullptr, doc_, station_, b);
  dlg.OnInitDialog(&controls_);
  EXPECT_EQ(controls_.GetCurSel(kIdArea), 6);
  EXPECT_EQ(controls_.texts[kIdStart], "5");
  EXPECT_EQ(controls_.texts[kIdCount], "4");
  EXPECT_EQ(controls_.texts[kIdPeriod], "1");
  // Its own range is not an overlap.
  ASSERT_TRUE(dlg.OnOK());
  EXPECT_EQ(dlg.address_text, "OR5");
  EXPECT_EQ(dlg.PeriodMs(), 1000);
}

TEST_F(BlockDlgTest, UnknownPrefixOpensWithoutAreaAndOkGives2703) {
  auto b = std::make_unique<CCommBlockDVK>();
  b->address_text = "X1";
  CCommBlockDlg dlg(nullptr, doc_, station_, b.get());
  dlg.OnInitDialog(&controls_);
  EXPECT_EQ(controls_.GetCurSel(kIdArea), -1);
  EXPECT_EQ(controls_.texts[kIdStart], "X1");
  controls_.texts[kIdStart] = "1";
  EXPECT_FALSE(dlg.OnOK());
  EXPECT_EQ(errors_.Ids(), std::vector<int>{2703});
  EXPECT_EQ(controls_.focus, kIdStart);
}

struct PromptCase {
  int area;
  const char* start;
  const char* count;
  const char* period;
  const char* prompt;  // null: accepted
  int focus;
};

TEST_F(BlockDlgTest, PeriodAndCountPromptsComeFirst) {
  const char* kPeriod =
      "통신주기가 잘못 입력되었습니다.\r\n0에서 999.9 사이의 숫자로 입력하십시오.";
  const char* kBits = "데이터 개수가 잘못 입력되었습니다.\r\n1에서 480 사이의 정수로 입력하십시오.";
  const char* kWords = "데이터 개수가 잘못 입력되었습니다.\r\n1에서 60 사이의 정수로 입력하십시오.";
  const PromptCase cases[] = {
      {0, "zz", "x", "abc", kPeriod, kIdPeriod},
      {0, "1", "8", "", kPeriod, kIdPeriod},
      {0, "1", "8", "1.5s", kPeriod, kIdPeriod},
      {0, "1", "8", "nan", kPeriod, kIdPeriod},
      {0, "1", "8", "inf", kPeriod, kIdPeriod},
      {0, "1", "8", "-infinity", kPeriod, kIdPeriod},
      {0, "1", "8", "1000", kPeriod, kIdPeriod},
      {0, "1", "8", "-1", kPeriod, kIdPeriod},
      {0, "1", "x", "1", kBits, kIdCount},
      {0, "1", "8.5", "1", kBits, kIdCount},
      {0, "1", "0", "1", kBits, kIdCount},
      {0, "1", "481", "1", kBits, kIdCount},
      {-1, "1", "481", "1", kBits, kIdCount},
      // A word block names its own range.
      {7, "1", "x", "1", kWords, kIdCount},
      {5, "1", "0", "1", kWords, kIdCount},
      {6, "1", "481", "1", kWords, kIdCount},
      {0, "1", "8", "0", nullptr, 0},
      {0, "1", " 8 ", " 999.9 ", nullptr, 0},
  };
  for (const auto& c : cases) {
    CCommBlockDlg dlg(nullptr, doc_, station_, nullptr);
    const bool ok = TryOk(dlg, c.area, c.start, c.count, c.period);
    SCOPED_TRACE(std::string(c.start) + " / " + c.count + " / " + c.period);
    if (c.prompt == nullptr) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(controls_.prompts.empty());
    } else {
      EXPECT_FALSE(ok);
      ASSERT_EQ(controls_.prompts.size(), 1u);
      EXPECT_EQ(controls_.prompts[0], c.prompt);
      EXPECT_EQ(controls_.focus, c.focus);
      EXPECT_TRUE(errors_.shown.empty());
    }
  }
}

struct RuleCase {
  int area;
  const char* start;
  const char* count;
  int error;  // 0: accepted
  int focus;
};

TEST_F(BlockDlgTest, AddressRangeAndWordCountRules) {
  const RuleCase cases[] = {
      // Bit areas start on a byte boundary.
      {0, "1", "8", 0, 0},
      {0, "9", "8", 0, 0},
      {1, "17", "8", 0, 0},
      {2, "249", "8", 0, 0},
      {0, "2", "8", 2703, kIdStart},
      {0, "8", "8", 2703, kIdStart},
      {3, "16", "8", 2703, kIdStart},
      {4, "1017", "8", 0, 0},
      {4, "1025", "8", 2703, kIdStart},
      {4, "1", "480", 0, 0},
      {0, "1", "480", 2705, kIdCount},
      // Zero, minus and junk in every kind of area.
      {0, "0", "8", 2703, kIdStart},
      {7, "0", "8", 2703, kIdStart},
      {5, "-5", "1", 2703, kIdStart},
      {7, "1x", "1", 2703, kIdStart},
      {-1, "1", "1", 2703, kIdStart},
      // Word areas.
      {7, "512", "1", 0, 0},
      {7, "513", "1", 2703, kIdStart},
      {7, "505", "8", 0, 0},
      {7, "505", "9", 2705, kIdCount},
      {7, "1", "60", 0, 0},
      {7, "1", "61", 2710, kIdCount},
      {5, "250", "61", 2710, kIdCount},
      {6, "1", "480", 2710, kIdCount},
      // The address check comes before the word limit.
      {7, "0", "61", 2703, kIdStart},
  };
  for (const auto& c : cases) {
    CCommBlockDlg dlg(nullptr, doc_, station_, nullptr);
    const bool ok = TryOk(dlg, c.area, c.start, c.count);
    SCOPED_TRACE(std::to_string(c.area) + " " + c.start + " x" + c.count);
    EXPECT_TRUE(controls_.prompts.empty());
    if (c.error == 0) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(errors_.shown.empty());
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(errors_.Ids(), std::vector<int>{c.error});
      EXPECT_EQ(controls_.focus, c.focus);
    }
  }
}

TEST_F(BlockDlgTest, OverlapWithAnotherBlockOfTheSameArea) {
  AddBlock("R5", 4);  // addresses 5..8
  const RuleCase cases[] = {
      {7, "6", "2", 2704, kIdStart},
      {7, "3", "3", 2704, kIdStart},
      {7, "8", "5", 2704, kIdStart},
      {7, "1", "20", 2704, kIdStart},
      {7, "9", "5", 0, 0},
      {7, "1", "4", 0, 0},
      {6, "6", "2", 0, 0},
      {6, "1", "20", 0, 0},
      // Range before overlap.
      {7, "505", "9", 2705, kIdCount},
  };
  for (const auto& c : cases) {
    CCommBlockDlg dlg(nullptr, doc_, station_, nullptr);
    const bool ok = TryOk(dlg, c.area, c.start, c.count);
    SCOPED_TRACE(std::to_string(c.area) + " " + c.start + " x" + c.count);
    EXPECT_EQ(ok, c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(errors_.Ids(), std::vector<int>{c.error});
      EXPECT_EQ(controls_.focus, c.focus);
    }
  }
}

TEST_F(BlockDlgTest, EditedBlockMayKeepItsRangeButNotTakeAnothers) {
  CCommBlockDVK* first = AddBlock("R5", 4);
  AddBlock("R20", 4);
  CCommBlockDlg keep(nullptr, doc_, station_, first);
  EXPECT_TRUE(TryOk(keep, 7, "6", "3"));
  CCommBlockDlg clash(nullptr, doc_, station_, first);
  EXPECT_FALSE(TryOk(clash, 7, "18", "4"));
  EXPECT_EQ(errors_.Ids(), std::vector<int>{2704});
}

TEST_F(BlockDlgTest, AcceptedAddressCarriesThePrefix) {
  CCommBlockDlg dlg(nullptr, doc_, station_, nullptr);
  ASSERT_TRUE(TryOk(dlg, 7, "017", "4"));
  EXPECT_EQ(dlg.address_text, "R017");
  EXPECT_EQ(dlg.start, 17);
  EXPECT_EQ(dlg.area, 7);
  EXPECT_EQ(dlg.count, 4);
  CCommBlockDlg trimmed(nullptr, doc_, station_, nullptr);
  ASSERT_TRUE(TryOk(trimmed, 5, " 100 ", "2"));
  EXPECT_EQ(trimmed.address_text, "IR100");
  // A refused OK leaves the field as typed, so the next try starts again
  // from the user's text, not from a prefixed one.
  CCommBlockDlg again(nullptr, doc_, station_, nullptr);
  ASSERT_FALSE(TryOk(again, 0, "2", "8"));
  EXPECT_EQ(controls_.texts[kIdStart], "2");
  controls_.texts[kIdStart] = "9";
  ASSERT_TRUE(again.OnOK());
  EXPECT_EQ(again.address_text, "I9");
}

TEST_F(BlockDlgTest, PeriodInMillisecondsIsTruncated) {
  const std::pair<const char*, int> periods[] = {
      {"1.5", 1500}, {"0.1", 100}, {"0", 0}, {"999.9", 999900}, {"0.0019", 1}, {"2", 2000},
  };
  for (const auto& [text, ms] : periods) {
    CCommBlockDlg dlg(nullptr, doc_, station_, nullptr);
    ASSERT_TRUE(TryOk(dlg, 7, "1", "1", text)) << text;
    EXPECT_EQ(dlg.PeriodMs(), ms) << text;
  }
}

}  // namespace
}  // namespace dravik::test
