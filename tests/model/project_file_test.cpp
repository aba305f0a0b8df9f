// The project file: exact bytes of known documents, round trips, every way a
// file can be cut or corrupted, files in code page 949 and saves that keep
// the file's identity.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "model/dravik_doc.h"
#include "platform/archive.h"
#include "tests/model/cp949_project.h"

namespace dravik {
namespace {

using Bytes = std::vector<uint8_t>;

// Little helpers to write expected bytes by hand.
void Add(Bytes& b, std::initializer_list<int> v) {
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
}
void AddI32(Bytes& b, int32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
}
void AddStr(Bytes& b, const std::string& s) {
  b.push_back(static_cast<uint8_t>(s.size()));
  b.insert(b.end(), s.begin(), s.end());
}
void AddNewClass(Bytes& b, const std::string& name) {
  Add(b, {0xFF, 0xFF, 0x01, 0x00, static_cast<int>(name.size()), 0x00});
  b.insert(b.end(), name.begin(), name.end());
}
void AddHeader(Bytes& b) {
  AddI32(b, 3);
  AddStr(b, "DravikNet.Dll");
}
void AddDefaultPort(Bytes& b) {
  for (int v : {0, 5, 0, 1, 0, 0}) AddI32(b, v);
}
void AddBlock(Bytes& b, const std::string& text, int count, int period, int area, int start) {
  AddStr(b, text);
  AddI32(b, count);
  AddI32(b, period);
  AddI32(b, area);
  AddI32(b, start);
}

class ProjectFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dravik-model-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::string PathFor(const std::string& name) const { return dir_ + "/" + name; }
  void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  int LoadBytes(const Bytes& bytes, CDravikNetDoc* doc) {
    const std::string path = PathFor("probe.dat");
    WriteBytes(path, bytes);
    return doc->LoadFile(path.c_str());
  }
  Bytes Save(CDravikNetDoc& doc, const std::string& name) {
    doc.SetPath(PathFor(name));
    EXPECT_TRUE(doc.SaveFileReporting()) << doc.LastError();
    return ReadBytes(PathFor(name));
  }

  std::string dir_;
};

// Two stations, the first with two blocks: the class/object counter example.
void BuildTwoStations(CDravikNetDoc& doc) {
  auto s1 = std::make_unique<CStationInfoDVK>();
  s1->name = "PLC1";
  s1->description = "Line A";
  s1->number = 1;
  auto b1 = std::make_unique<CCommBlockDVK>();
  b1->address_text = "R100";
  b1->count = 10;
  b1->period_ms = 1000;
  b1->area = 7;
  b1->start = 100;
  auto b2 = std::make_unique<CCommBlockDVK>();
  b2->address_text = "C1";
  b2->count = 16;
  b2->period_ms = 500;
  b2->area = 4;
  b2->start = 1;
  s1->blocks.push_back(std::move(b1));
  s1->blocks.push_back(std::move(b2));
  auto s2 = std::make_unique<CStationInfoDVK>();
  s2->name = "PLC2";
  s2->number = 2;
  auto b3 = std::make_unique<CCommBlockDVK>();
  b3->address_text = "R1";
  b3->count = 4;
  b3->period_ms = 1000;
  b3->area = 7;
  b3->start = 1;
  s2->blocks.push_back(std::move(b3));
  doc.Stations().push_back(std::move(s1));
  doc.Stations().push_back(std::move(s2));
}

Bytes TwoStationsBytes() {
  Bytes b;
  AddHeader(b);
  Add(b, {0x02, 0x00});
  AddStr(b, "PLC1");
  AddStr(b, "PLC2");
  AddDefaultPort(b);
  Add(b, {0x02, 0x00});
  AddNewClass(b, "CStationInfoDVK");  // class value 1, station takes 2
  AddStr(b, "PLC1");
  AddStr(b, "Line A");
  AddI32(b, 1);
  Add(b, {0x02, 0x00});
  AddNewClass(b, "CCommBlockDVK");  // class value 3, block takes 4
  AddBlock(b, "R100", 10, 1000, 7, 100);
  Add(b, {0x03, 0x80});  // block class again, takes 5
  AddBlock(b, "C1", 16, 500, 4, 1);
  Add(b, {0x01, 0x80});  // station class again, takes 6
  AddStr(b, "PLC2");
  AddStr(b, "");
  AddI32(b, 2);
  Add(b, {0x01, 0x00});
  Add(b, {0x03, 0x80});
  AddBlock(b, "R1", 4, 1000, 7, 1);
  return b;
}

TEST_F(ProjectFileTest, EmptyDocumentSavesHeaderCountsAndPort) {
  CDravikNetDoc doc;
  Bytes expected;
  AddHeader(expected);
  Add(expected, {0x00, 0x00});
  AddDefaultPort(expected);
  Add(expected, {0x00, 0x00});
  EXPECT_EQ(Save(doc, "empty.dat"), expected);
}

TEST_F(ProjectFileTest, TwoStationsSaveExactBytesAndLoadBack) {
  CDravikNetDoc doc;
  BuildTwoStations(doc);
  EXPECT_EQ(Save(doc, "two.dat"), TwoStationsBytes());

  CDravikNetDoc back;
  ASSERT_EQ(back.LoadFile(PathFor("two.dat").c_str()), 1) << back.LastError();
  ASSERT_EQ(back.Stations().size(), 2u);
  EXPECT_EQ(back.StationNames(), (std::vector<std::string>{"PLC1", "PLC2"}));
  const auto& s1 = *back.Stations()[0];
  EXPECT_EQ(s1.name, "PLC1");
  EXPECT_EQ(s1.description, "Line A");
  EXPECT_EQ(s1.number, 1);
  ASSERT_EQ(s1.blocks.size(), 2u);
  EXPECT_EQ(s1.blocks[1]->address_text, "C1");
  EXPECT_EQ(s1.blocks[1]->count, 16);
  EXPECT_EQ(s1.blocks[1]->period_ms, 500);
  EXPECT_EQ(s1.blocks[1]->area, 4);
  EXPECT_EQ(s1.blocks[1]->start, 1);
  EXPECT_EQ(back.Stations()[1]->blocks[0]->address_text, "R1");
  // Saved again, the same bytes.
  EXPECT_EQ(Save(back, "again.dat"), TwoStationsBytes());
}

TEST_F(ProjectFileTest, PortSettingsAndKoreanTextRoundTrip) {
  CDravikNetDoc doc;
  doc.Port() = CSerialPort{};
  doc.Port().port = 9;
  doc.Port().baud = 6;
  doc.Port().parity = 2;
  doc.Port().data_bits = 0;
  doc.Port().stop_bits = 1;
  doc.Port().options = CSerialPort::kUseChecksum | CSerialPort::kRtsCts;
  auto s = std::make_unique<CStationInfoDVK>();
  s->name = "가공라인";
  s->description = std::string(300, 'x') + "설명";  // a long string: the 0xFF + word form
  s->number = 255;
  doc.Stations().push_back(std::move(s));
  Save(doc, "k.dat");
  CDravikNetDoc back;
  ASSERT_EQ(back.LoadFile(PathFor("k.dat").c_str()), 1) << back.LastError();
  EXPECT_TRUE(back.Port() == doc.Port());
  EXPECT_EQ(back.Stations()[0]->name, "가공라인");
  EXPECT_EQ(back.Stations()[0]->description, doc.Stations()[0]->description);
  EXPECT_EQ(back.Stations()[0]->number, 255);
}

TEST_F(ProjectFileTest, EveryTruncationFailsAndExtraBytesLoad) {
  const Bytes full = TwoStationsBytes();
  for (size_t cut = 0; cut < full.size(); ++cut) {
    CDravikNetDoc doc;
    EXPECT_EQ(LoadBytes(Bytes(full.begin(), full.begin() + static_cast<long>(cut)), &doc), 0)
        << "cut at " << cut;
  }
  Bytes longer = full;
  Add(longer, {0xDE, 0xAD, 0xBE, 0xEF, 0x00});
  CDravikNetDoc doc;
  EXPECT_EQ(LoadBytes(longer, &doc), 1) << doc.LastError();
  EXPECT_EQ(doc.Stations().size(), 2u);
}

// Offsets inside TwoStationsBytes() of the first station's class tag and of
// the second station's class reference.
size_t FirstStationTag() { return 4 + 14 + 2 + 5 + 5 + 24 + 2; }

TEST_F(ProjectFileTest, MalformedRecordsFail) {
  const Bytes good = TwoStationsBytes();
  const size_t first = FirstStationTag();
  ASSERT_EQ(good[first], 0xFF);
  const size_t second = good.size() - (2 + 5 + 1 + 4 + 2 + 2 + 3 + 16);
  ASSERT_EQ(good[second], 0x01);
  ASSERT_EQ(good[second + 1], 0x80);

  struct Case {
    const char* what;
    size_t at;
    Bytes replacement;
  };
  const std::vector<Case> cases = {
      {"null object", second, {0x00, 0x00}},
      {"reference to an earlier object", second, {0x02, 0x00}},
      {"class value never defined", second, {0x09, 0x80}},
      {"block class where a station is expected", second, {0x03, 0x80}},
      {"big form naming an object", second, {0xFF, 0x7F}},
      {"schema 2", first + 2, {0x02, 0x00}},
      {"wrong class name", first + 6, {'X'}},
      {"header value 4", 0, {0x04}},
      {"header description", 4 + 1, {'Q'}},
      {"huge string length", first + 6 + 15, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
      {"huge station count", first - 2, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const Case& c : cases) {
    Bytes bad = good;
    std::copy(c.replacement.begin(), c.replacement.end(), bad.begin() + static_cast<long>(c.at));
    CDravikNetDoc doc;
    EXPECT_EQ(LoadBytes(bad, &doc), 0) << c.what;
    EXPECT_FALSE(doc.LastError().empty()) << c.what;
  }
}

TEST_F(ProjectFileTest, LargeCountsAndClassValuesUseTheLongForms) {
  // 65536 stations: the count needs 0xFFFF + int32; the block class is first
  // written after 0x7FFF values, so its second use needs 0x7FFF + int32.
  CDravikNetDoc doc;
  constexpr int kStations = 65536;
  for (int i = 0; i < kStations; ++i) doc.Stations().push_back(std::make_unique<CStationInfoDVK>());
  auto& last = *doc.Stations().back();
  last.name = "LAST";
  for (int i = 0; i < 2; ++i) {
    auto block = std::make_unique<CCommBlockDVK>();
    block->address_text = i ? "R9" : "R1";
    last.blocks.push_back(std::move(block));
  }
  const Bytes bytes = Save(doc, "big.dat");
  // The second block's reference: 0x7FFF, then 0x80000000 + the class value.
  const uint32_t block_class = 1 + kStations + 1;  // station class 1, stations 2.., then the class
  Bytes tail;
  Add(tail, {0xFF, 0x7F});
  AddI32(tail, static_cast<int32_t>(0x80000000u + block_class));
  AddBlock(tail, "R9", 32, 1000, 0, 1);
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<long>(tail.size())));

  CDravikNetDoc back;
  ASSERT_EQ(back.LoadFile(PathFor("big.dat").c_str()), 1) << back.LastError();
  ASSERT_EQ(back.Stations().size(), static_cast<size_t>(kStations));
  ASSERT_EQ(back.Stations().back()->blocks.size(), 2u);
  EXPECT_EQ(back.Stations().back()->blocks[1]->address_text, "R9");
}

TEST_F(ProjectFileTest, MissingFileFailsAndFailedSaveKeepsTheOldFile) {
  CDravikNetDoc doc;
  EXPECT_EQ(doc.LoadFile(PathFor("none.dat").c_str()), 0);
  EXPECT_NE(doc.LastError().find("none.dat"), std::string::npos);

  CDravikNetDoc good;
  BuildTwoStations(good);
  const Bytes before = Save(good, "keep.dat");
  // A save into a folder that does not exist fails without touching anything.
  int shown = 0;
  CTarselError::InstallHandler(
      [](void* ctx, int id, int flags, const char* text) {
        EXPECT_EQ(id, 2005);
        EXPECT_EQ(flags, 1);
        EXPECT_NE(std::string(text).find("/no/such/dir"), std::string::npos);
        EXPECT_NE(std::string(text).find("]에 저장할 수 없습니다.\n폴더가 없습니다."),
                  std::string::npos)
            << text;
        ++*static_cast<int*>(ctx);
      },
      &shown);
  good.SetPath(PathFor("no/such/dir/x.dat"));
  EXPECT_FALSE(good.SaveFileReporting());
  CTarselError::InstallHandler(nullptr, nullptr);
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(ReadBytes(PathFor("keep.dat")), before);
}

TEST(DocumentChecks, NamesNumbersAndTitles) {
  CDravikNetDoc doc;
  auto s = std::make_unique<CStationInfoDVK>();
  s->name = "PLC1";
  s->number = 10;
  CStationInfoDVK* plc1 = s.get();
  doc.Stations().push_back(std::move(s));

  EXPECT_EQ(doc.CheckStationName("plc1", nullptr), 2701);
  EXPECT_EQ(doc.CheckStationName("plc1", plc1), 0);
  EXPECT_EQ(doc.CheckStationName("PLC2", nullptr), 0);
  EXPECT_EQ(doc.CheckStationNumber(0, nullptr), 18);
  EXPECT_EQ(doc.CheckStationNumber(256, nullptr), 18);
  EXPECT_EQ(doc.CheckStationNumber(255, nullptr), 0);
  EXPECT_EQ(doc.CheckStationNumber(10, nullptr), 2702);
  EXPECT_EQ(doc.CheckStationNumber(10, plc1), 0);
  EXPECT_EQ(doc.FindStation("Plc1"), plc1);
  EXPECT_EQ(doc.FindStation(nullptr), nullptr);
  EXPECT_EQ(doc.FindStation("PLC"), nullptr);

  EXPECT_EQ(CDravikNetDoc::TitleOf("/plant/line1.backup.dat"), "line1.backup");
  EXPECT_EQ(CDravikNetDoc::TitleOf("line2"), "line2");
}

TEST(RecordLabels, StationAndBlockTexts) {
  CStationInfoDVK s;
  EXPECT_EQ(s.number, 255);
  EXPECT_TRUE(s.blocks.empty());
  s.name = "PLC1";
  s.number = 10;
  s.description = "Line A";
  EXPECT_EQ(s.Label(), "PLC1 (0AH국) : Line A");
  std::string number, description;
  s.number = 7;
  s.GetTexts(&number, &description);
  EXPECT_EQ(number, "07");
  EXPECT_EQ(description, "Line A");
  s.number = 255;
  s.GetTexts(&number, nullptr);
  EXPECT_EQ(number, "255");

  CCommBlockDVK b;
  EXPECT_EQ(b.count, 32);
  EXPECT_EQ(b.period_ms, 1000);
  b.address_text = "C17";
  b.area = 4;
  b.count = 8;
  EXPECT_EQ(b.Label(), "C17, 08 Bit");
  b.address_text = "IR1";
  b.area = 5;
  b.count = 60;
  EXPECT_EQ(b.Label(), "IR1, 60 Word");
}

// ---- texts in code page 949 ------------------------------------------------

class Cp949FileTest : public ProjectFileTest {
 protected:
  // Error boxes shown while `run` runs: (id, text).
  std::vector<std::pair<int, std::string>> ErrorBoxes(const std::function<void()>& run) {
    std::vector<std::pair<int, std::string>> shown;
    CTarselError::InstallHandler(
        [](void* ctx, int id, int, const char* text) {
          static_cast<std::vector<std::pair<int, std::string>>*>(ctx)->emplace_back(id, text);
        },
        &shown);
    run();
    CTarselError::InstallHandler(nullptr, nullptr);
    return shown;
  }
};

TEST_F(Cp949FileTest, OriginalFileReadsAsKoreanAndSavesByteForByte) {
  const Bytes original = fixture::Cp949Project().bytes();
  CDravikNetDoc doc;
  ASSERT_EQ(LoadBytes(original, &doc), 1) << doc.LastError();
  EXPECT_EQ(doc.Encoding(), TextEncoding::kCp949);
  ASSERT_EQ(doc.Stations().size(), 2u);
  const CStationInfoDVK& pump = *doc.Stations()[0];
  EXPECT_EQ(pump.name, fixture::kPump.utf8);
  EXPECT_EQ(pump.description, fixture::kPumpRoom.utf8);
  EXPECT_EQ(pump.Label(), "펌프 (01H국) : 제1 펌프실");
  EXPECT_EQ(pump.blocks[0]->address_text, fixture::kBlockText.utf8);
  EXPECT_EQ(doc.Stations()[1]->name, fixture::kLine.utf8);
  EXPECT_EQ(doc.StationNames(), (std::vector<std::string>{"펌프", "라인A"}));
  EXPECT_EQ(doc.FindStation("라인a"), doc.Stations()[1].get());  // case folds the ASCII letter

  // Saved again in code page 949, so the original can still read it.
  EXPECT_EQ(Save(doc, "again.dat"), original);

  // A text edited in the editor goes back in code page 949 as well.
  doc.Stations()[1]->description = "가";
  const Bytes edited = Save(doc, "edited.dat");
  CDravikNetDoc back;
  ASSERT_EQ(LoadBytes(edited, &back), 1) << back.LastError();
  EXPECT_EQ(back.Stations()[1]->description, "가");
  const Bytes ga = {0xB0, 0xA1};  // 가 in code page 949
  EXPECT_NE(std::search(edited.begin(), edited.end(), ga.begin(), ga.end()), edited.end());
}

TEST_F(Cp949FileTest, MixedFileDecodesAsCodePage949AsAWhole) {
  struct Case {
    const char* what;
    Bytes bytes;
    int loaded;
    std::string first_name;  // when loaded
    TextEncoding encoding;
    const char* error;  // when refused
  };
  const Case cases[] = {
      // One name valid UTF-8, the other not: the original wrote both in 949.
      {"mixed", fixture::MixedProject().bytes(), 1, "Caf챕", TextEncoding::kCp949, ""},
      // All valid UTF-8: a file of this port.
      {"all UTF-8", fixture::MixedProject("가").bytes(), 1, "Café", TextEncoding::kUtf8, ""},
      // Neither UTF-8 nor 949 (a lead byte cut short): refused, naming the place.
      {"neither", fixture::MixedProject("\xB0\xA1\x80").bytes(), 0, "", TextEncoding::kUtf8,
       "station 2 (number 2), name: the text is neither UTF-8 nor code page 949"},
  };
  for (const Case& c : cases) {
    CDravikNetDoc doc;
    ASSERT_EQ(LoadBytes(c.bytes, &doc), c.loaded) << c.what << ": " << doc.LastError();
    if (!c.loaded) {
      EXPECT_NE(doc.LastError().find(c.error), std::string::npos) << doc.LastError();
      continue;
    }
    EXPECT_EQ(doc.Stations()[0]->name, c.first_name) << c.what;
    EXPECT_EQ(doc.Encoding(), c.encoding) << c.what;
    EXPECT_EQ(Save(doc, "mixed.dat"), c.bytes) << c.what;
  }
}

TEST_F(Cp949FileTest, CharacterWithoutPlaceIn949RefusesTheSave) {
  CDravikNetDoc doc;
  ASSERT_EQ(LoadBytes(fixture::Cp949Project().bytes(), &doc), 1);
  const Bytes before = Save(doc, "keep.dat");
  doc.Stations()[0]->blocks[0]->address_text = "R1 😀";
  const auto shown = ErrorBoxes([&] { EXPECT_FALSE(doc.SaveFileReporting()); });
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, 2005);
  EXPECT_EQ(shown[0].second, "프로젝트 파일[" + PathFor("keep.dat") +
                                 "]에 저장할 수 없습니다.\n스테이션 1 \"펌프\", 블록 1 \"R1 😀\"의 "
                                 "주소에 코드 페이지 949로 쓸 수 없는 문자 \"😀\"가 있습니다.");
  EXPECT_EQ(doc.LastError(),
            "station 1 \"펌프\", block 1 \"R1 😀\", address: the character \"😀\" (U+1F600) has no "
            "place in code page 949");
  EXPECT_EQ(ReadBytes(PathFor("keep.dat")), before);

  // A new document is UTF-8 and holds any character.
  CDravikNetDoc fresh;
  fresh.Stations().push_back(std::make_unique<CStationInfoDVK>());
  fresh.Stations()[0]->name = "😀";
  EXPECT_TRUE(ErrorBoxes([&] { Save(fresh, "new.dat"); }).empty());
  CDravikNetDoc back;
  ASSERT_EQ(back.LoadFile(PathFor("new.dat").c_str()), 1);
  EXPECT_EQ(back.Encoding(), TextEncoding::kUtf8);
  EXPECT_EQ(back.Stations()[0]->name, "😀");
}

// Option bits 2..31 carry nothing: read as 0 and written as 0.
TEST_F(ProjectFileTest, OptionBitsBeyondTheTwoFlagsReadAndWriteAsZero) {
  Bytes file;
  AddHeader(file);
  Add(file, {0, 0});
  for (int v : {0, 5, 0, 1, 0}) AddI32(file, v);
  AddI32(file, static_cast<int32_t>(0xFFFFFFF6u));  // RTS/CTS and bits above
  Add(file, {0, 0});
  CDravikNetDoc doc;
  ASSERT_EQ(LoadBytes(file, &doc), 1) << doc.LastError();
  EXPECT_EQ(doc.Port().options, CSerialPort::kRtsCts);
  doc.Port().options = 0xFFFFFFF1u;  // whatever memory holds, the file gets bits 0 and 1 only
  const Bytes saved = Save(doc, "bits.dat");
  ASSERT_EQ(saved.size(), file.size());
  EXPECT_EQ(Bytes(saved.end() - 6, saved.end() - 2), (Bytes{1, 0, 0, 0}));
}

// ---- saves keep the file's identity ---------------------------------------

TEST_F(ProjectFileTest, SaveThroughALinkKeepsTheLinkModeAndOwner) {
  CDravikNetDoc doc;
  BuildTwoStations(doc);
  ASSERT_EQ(mkdir(PathFor("real").c_str(), 0755), 0);
  const std::string target = PathFor("real/line.dat");
  WriteBytes(target, {1, 2, 3});
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(symlink("real/line.dat", PathFor("link.dat").c_str()), 0);

  const Bytes saved = Save(doc, "link.dat");
  struct stat link {
  }, file{};
  ASSERT_EQ(lstat(PathFor("link.dat").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  ASSERT_EQ(stat(target.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(file.st_uid, 65534u);
    EXPECT_EQ(file.st_gid, 65534u);
  }
  EXPECT_GT(saved.size(), 3u);
  EXPECT_EQ(ReadBytes(target), saved);
  // Nothing else is left in the folder: the temporary file was renamed.
  EXPECT_EQ(std::system(("test $(ls -A " + PathFor("real") + " | wc -l) -eq 1").c_str()), 0);
}

}  // namespace
}  // namespace dravik
