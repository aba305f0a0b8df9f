// The configuration dialog with its two pages and the editor entry, driven
// through the scripted views: the tree the user sees, which buttons are
// enabled after each step, the questions asked, what reaches the document
// and the file, and the entry's result.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "editor/config_dlg.h"
#include "fake_views.h"
#include "model/dravik_doc.h"
#include "model/string_table.h"
#include "tests/model/cp949_project.h"

namespace dravik::test {
namespace {

namespace fs = std::filesystem;

DialogTry Station(const std::string& name, const std::string& number,
                  const std::string& description = "") {
  return DialogTry{
      {{kIdName, name}, {kIdNumber, number}, {kIdDescription, description}}, -2, false};
}
DialogTry Block(int area, const std::string& start, const std::string& count,
                const std::string& period = "1.5") {
  return DialogTry{{{kIdStart, start}, {kIdCount, count}, {kIdPeriod, period}}, area, false};
}
DialogTry Cancel() { return DialogTry{{}, -2, true}; }

std::map<int, bool> Buttons(bool edit, bool del, bool add_station, bool add_block) {
  return {
      {kIdEdit, edit}, {kIdDelete, del}, {kIdAddStation, add_station}, {kIdAddBlock, add_block}};
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/dravik-editor-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ConfigDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterEditorStrings();
    doc_.SetPath(dir_.File("line1.backup.dat"));
    Open();
  }
  void Open() {
    dlg_ = std::make_unique<CConfigDlg>(doc_);
    view_ = std::make_unique<FakeConfigView>(*dlg_);
    dlg_->OnInitDialog(view_.get());
  }
  FakeTree& Tree() { return *view_->tree; }
  void AddStation(const std::string& name, const std::string& number,
                  const std::string& description = "") {
    view_->station_tries.push_back(Station(name, number, description));
    dlg_->OnAddStation();
  }
  void AddBlock(int area, const std::string& start, const std::string& count,
                const std::string& period = "1.5") {
    view_->block_tries.push_back(Block(area, start, count, period));
    dlg_->OnAddBlock();
  }

  TempDir dir_;
  CDravikNetDoc doc_;
  std::unique_ptr<CConfigDlg> dlg_;
  std::unique_ptr<FakeConfigView> view_;
  ErrorRecorder errors_;
};

TEST_F(ConfigDlgTest, EmptyConfigurationShowsOnlyTheRoot) {
  EXPECT_EQ(view_->pages, (std::vector<int>{kStationPageIndex, kPortPageIndex}));
  EXPECT_EQ(view_->active, kStationPageIndex);
  ASSERT_EQ(Tree().roots.size(), 1u);
  EXPECT_EQ(Tree().Root()->text, "line1.backup");
  EXPECT_EQ(Tree().Root()->image, kItemRoot);
  EXPECT_EQ(Tree().Root()->data, nullptr);
  EXPECT_TRUE(Tree().Root()->children.empty());
  EXPECT_TRUE(Tree().Root()->expanded);
  EXPECT_EQ(Tree().redraw_calls, (std::vector<bool>{false, true}));
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), nullptr);
  EXPECT_EQ(view_->buttons, Buttons(false, false, true, false));
  // Nothing selected: edit and delete do nothing.
  dlg_->OnEdit();
  dlg_->OnDelete();
  EXPECT_EQ(view_->station_dialogs + view_->block_dialogs, 0);
  EXPECT_TRUE(view_->questions.empty());
}

TEST_F(ConfigDlgTest, TreeIsBuiltFromTheDocumentInOrder) {
  auto s1 = std::make_unique<CStationInfoDVK>();
  s1->name = "PLC1";
  s1->number = 1;
  s1->description = "LINE A";
  auto b = std::make_unique<CCommBlockDVK>();
  b->address_text = "R100";
  b->count = 4;
  b->area = 7;
  s1->blocks.push_back(std::move(b));
  b = std::make_unique<CCommBlockDVK>();
  b->address_text = "C17";
  b->count = 16;
  b->area = 4;
  s1->blocks.push_back(std::move(b));
  auto s2 = std::make_unique<CStationInfoDVK>();
  s2->name = "PLC2";
  s2->number = 10;
  doc_.Stations().push_back(std::move(s1));
  doc_.Stations().push_back(std::move(s2));
  Open();
  const auto* root = Tree().Root();
  ASSERT_EQ(root->children.size(), 2u);
  EXPECT_EQ(Tree().Texts(root),
            (std::vector<std::string>{"PLC1 (01H국) : LINE A", "PLC2 (0AH국) : "}));
  EXPECT_EQ(Tree().Texts(root->children[0]),
            (std::vector<std::string>{"R100, 04 Word", "C17, 16 Bit"}));
  EXPECT_FALSE(root->children[0]->expanded);
  EXPECT_EQ(root->children[0]->children[1]->image, kItemBlock);
  EXPECT_EQ(doc_.Stations()[0]->tree_item, root->children[0]);
  EXPECT_EQ(doc_.Stations()[0]->blocks[1]->tree_item, root->children[0]->children[1]);
}

TEST_F(ConfigDlgTest, SelectionDrivesTheButtonsAndTheCurrentStation) {
  AddStation("PLC1", "1");
  AddBlock(7, "1", "4");
  AddStation("PLC2", "2");
  auto* root = Tree().Root();
  auto* plc1 = root->children[0];
  auto* block = plc1->children[0];

  Tree().Click(root);
  EXPECT_EQ(view_->buttons, Buttons(false, false, true, false));
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), nullptr);
  Tree().Click(block);
  EXPECT_EQ(view_->buttons, Buttons(true, true, true, true));
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), doc_.Stations()[0].get());
  Tree().Click(root->children[1]);
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), doc_.Stations()[1].get());
  int kind = -1;
  EXPECT_EQ(dlg_->StationPage().GetSelection(&kind), doc_.Stations()[1].get());
  EXPECT_EQ(kind, kItemStation);

  // The port page disables the four commands; the station page restores them.
  view_->SetActivePage(kPortPageIndex);
  EXPECT_EQ(view_->buttons, Buttons(false, false, false, false));
  view_->SetActivePage(kStationPageIndex);
  EXPECT_EQ(view_->buttons, Buttons(true, true, true, true));
  Tree().Click(root);
  view_->SetActivePage(kPortPageIndex);
  view_->SetActivePage(kStationPageIndex);
  EXPECT_EQ(view_->buttons, Buttons(false, false, true, false));
}

TEST_F(ConfigDlgTest, AddingAStationSelectsItAndABlockGoesUnderIt) {
  AddStation("plc1", "a", "Line A");
  ASSERT_EQ(doc_.Stations().size(), 1u);
  CStationInfoDVK* s = doc_.Stations()[0].get();
  EXPECT_EQ(s->name, "plc1");
  EXPECT_EQ(s->number, 10);
  EXPECT_EQ(s->description, "Line A");
  EXPECT_EQ(Tree().Texts(Tree().Root()), std::vector<std::string>{"plc1 (0AH국) : Line A"});
  EXPECT_EQ(Tree().selected, s->tree_item);
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), s);
  EXPECT_EQ(view_->buttons, Buttons(true, true, true, true));
  EXPECT_EQ(dlg_->Modified(), 1);

  AddBlock(7, "100", "4", "0.5");
  ASSERT_EQ(s->blocks.size(), 1u);
  const CCommBlockDVK* b = s->blocks[0].get();
  EXPECT_EQ(b->address_text, "R100");
  EXPECT_EQ(b->count, 4);
  EXPECT_EQ(b->period_ms, 500);
  EXPECT_EQ(b->area, 7);
  EXPECT_EQ(b->start, 100);
  EXPECT_EQ(view_->last_block_station, s);
  EXPECT_EQ(Tree().selected, b->tree_item);
  EXPECT_EQ(static_cast<FakeTree::Node*>(b->tree_item)->parent, s->tree_item);
  EXPECT_EQ(Tree().Texts(static_cast<FakeTree::Node*>(s->tree_item)),
            std::vector<std::string>{"R100, 04 Word"});
  // The block's station stays current, so a second block joins it.
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), s);
  AddBlock(0, "1", "16");
  EXPECT_EQ(s->blocks.size(), 2u);
  EXPECT_EQ(s->blocks[1]->Label(), "I1, 16 Bit");
  EXPECT_EQ(s->blocks[1]->period_ms, 1500);
}

TEST_F(ConfigDlgTest, RefusedTriesShowErrorsThenTheFixedInputIsStored) {
  AddStation("PLC1", "1");
  view_->station_tries = {Station("", "2"), Station("plc1", "2"), Station("PLC2", "1"),
                          Station("PLC2", "2")};
  dlg_->OnAddStation();
  EXPECT_EQ(errors_.Ids(), (std::vector<int>{2700, 2701, 2702}));
  EXPECT_EQ(view_->error_focus, (std::vector<int>{kIdName, kIdName, kIdNumber}));
  ASSERT_EQ(doc_.Stations().size(), 2u);
  EXPECT_EQ(doc_.Stations()[1]->name, "PLC2");
  EXPECT_EQ(errors_.shown[0].text, "스테이션 이름이 설정되지 않았습니다.");
}

TEST_F(ConfigDlgTest, CancelledDialogsChangeNothing) {
  view_->station_tries = {Station("", "1"), Cancel()};
  dlg_->OnAddStation();
  EXPECT_TRUE(doc_.Stations().empty());
  EXPECT_TRUE(Tree().Root()->children.empty());
  EXPECT_EQ(dlg_->Modified(), 0);

  AddStation("PLC1", "1");
  dlg_->OnSave();
  ASSERT_EQ(dlg_->Modified(), 0);
  view_->block_tries = {Cancel()};
  dlg_->OnAddBlock();
  EXPECT_TRUE(doc_.Stations()[0]->blocks.empty());
  EXPECT_EQ(dlg_->Modified(), 0);
  view_->station_tries = {Cancel()};
  dlg_->OnEdit();
  EXPECT_EQ(view_->station_dialogs, 3);
  EXPECT_EQ(view_->block_dialogs, 1);
  EXPECT_EQ(dlg_->Modified(), 0);
}

TEST_F(ConfigDlgTest, EditingRelabelsOnlyThatItem) {
  AddStation("PLC1", "1", "old");
  AddBlock(7, "1", "4");
  AddBlock(7, "10", "4");
  auto* station_item = static_cast<FakeTree::Node*>(doc_.Stations()[0]->tree_item);
  auto* first_block = station_item->children[0];

  Tree().Click(station_item);
  view_->station_tries = {Station("PLC9", "0x1F", "new")};
  dlg_->OnEdit();
  EXPECT_EQ(view_->last_station_init[kIdNumber], "1");
  EXPECT_EQ(view_->last_station_init[kIdName], "PLC1");
  EXPECT_EQ(station_item->text, "PLC9 (1FH국) : new");
  EXPECT_EQ(station_item->children.size(), 2u);
  EXPECT_EQ(station_item->children[0], first_block);

  // Double click on a block opens the block dialog with its values.
  Tree().Click(first_block);
  view_->block_tries = {Block(6, "20", "8", "3")};
  view_->DoubleClick();
  EXPECT_EQ(view_->last_block_area, 7);
  EXPECT_EQ(view_->last_block_init[kIdStart], "1");
  EXPECT_EQ(view_->last_block_init[kIdPeriod], "1.5");
  EXPECT_EQ(first_block->text, "OR20, 08 Word");
  const CCommBlockDVK* b = doc_.Stations()[0]->blocks[0].get();
  EXPECT_EQ(b->area, 6);
  EXPECT_EQ(b->start, 20);
  EXPECT_EQ(b->period_ms, 3000);
  EXPECT_EQ(doc_.Stations()[0]->blocks.size(), 2u);

  // Double click on the root finds no record.
  Tree().Click(Tree().Root());
  const int before = view_->station_dialogs + view_->block_dialogs;
  view_->DoubleClick();
  EXPECT_EQ(view_->station_dialogs + view_->block_dialogs, before);
}

TEST_F(ConfigDlgTest, DeleteAsksAndRemovesOnlyTheSelection) {
  AddStation("PLC1", "1");
  AddBlock(7, "1", "4");
  AddBlock(7, "10", "4");
  AddStation("PLC2", "2");
  dlg_->OnSave();
  CStationInfoDVK* plc1 = doc_.Stations()[0].get();
  auto* plc1_item = static_cast<FakeTree::Node*>(plc1->tree_item);

  // Root: nothing.
  Tree().Click(Tree().Root());
  dlg_->OnDelete();
  EXPECT_TRUE(view_->questions.empty());

  // A block: question 2706; No keeps it.
  Tree().Click(plc1_item->children[0]);
  view_->answers = {false};
  dlg_->OnDelete();
  EXPECT_EQ(view_->questions, std::vector<int>{2706});
  EXPECT_EQ(plc1->blocks.size(), 2u);
  EXPECT_EQ(dlg_->Modified(), 0);
  view_->answers = {true};
  dlg_->OnDelete();
  ASSERT_EQ(plc1->blocks.size(), 1u);
  EXPECT_EQ(plc1->blocks[0]->address_text, "R10");
  EXPECT_EQ(Tree().Texts(plc1_item), std::vector<std::string>{"R10, 04 Word"});
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), plc1);
  EXPECT_EQ(dlg_->Modified(), 1);

  // A station: question 2708 and its blocks go with it.
  Tree().Click(plc1_item);
  view_->answers = {true};
  dlg_->OnDelete();
  EXPECT_EQ(view_->questions, (std::vector<int>{2706, 2706, 2708}));
  ASSERT_EQ(doc_.Stations().size(), 1u);
  EXPECT_EQ(doc_.Stations()[0]->name, "PLC2");
  EXPECT_EQ(Tree().Texts(Tree().Root()), std::vector<std::string>{"PLC2 (02H국) : "});
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), doc_.Stations()[0].get());

  // The only station left: deleting it leaves the root selected.
  view_->answers = {true};
  dlg_->OnDelete();
  EXPECT_TRUE(doc_.Stations().empty());
  EXPECT_EQ(Tree().selected, Tree().Root());
  EXPECT_EQ(dlg_->StationPage().CurrentStation(), nullptr);
  EXPECT_EQ(view_->buttons, Buttons(false, false, true, false));
}

TEST_F(ConfigDlgTest, PortPageShowsTheSettingsAndTracksChanges) {
  const FakeControls& port = view_->port;
  ASSERT_EQ(port.lists.at(kIdPortList).size(), 256u);
  EXPECT_EQ(port.lists.at(kIdPortList).front(), "COM1");
  EXPECT_EQ(port.lists.at(kIdPortList)[9], "COM10");
  EXPECT_EQ(port.lists.at(kIdPortList).back(), "COM256");
  EXPECT_EQ(port.sel.at(kIdPortList), 0);
  EXPECT_EQ(port.sel.at(kIdBaudList), 5);
  EXPECT_EQ(port.checks.at(kIdParityNone), 1);
  EXPECT_EQ(port.checks.at(kIdParityEven), 0);
  EXPECT_EQ(port.checks.at(kIdDataBits8), 1);
  EXPECT_EQ(port.checks.at(kIdStopBits1), 1);
  EXPECT_EQ(port.checks.at(kIdChecksum), 0);
  EXPECT_EQ(port.checks.at(kIdRtsCts), 0);
  EXPECT_EQ(dlg_->PortPage().Changed(), 0);

  // Ticking RTS/CTS twice leaves the box as it was but counts as a change.
  view_->UserToggle(kIdRtsCts);
  view_->UserToggle(kIdRtsCts);
  EXPECT_EQ(port.checks.at(kIdRtsCts), 0);
  EXPECT_EQ(dlg_->PortPage().Changed(), 1);
  view_->answers = {false};
  dlg_->OnCancel();
  EXPECT_EQ(view_->questions, std::vector<int>{2709});
  EXPECT_EQ(view_->ended, kIdCancel);
  EXPECT_EQ(dlg_->Saved(), 0);
  EXPECT_FALSE(fs::exists(doc_.Path()));
}

TEST_F(ConfigDlgTest, OnlyARealChangeSetsThePortPageChangedFlag) {
  // Choosing the entry or radio button already shown is no change.
  view_->UserSelect(kIdBaudList, 5);
  view_->UserSelect(kIdPortList, 0);
  view_->UserRadio(kIdParityNone, 3, kIdParityNone);
  EXPECT_EQ(dlg_->PortPage().Changed(), 0);
  // Even unchecks None; after a save, going back to None is a change.
  view_->UserRadio(kIdParityNone, 3, kIdParityEven);
  EXPECT_EQ(dlg_->PortPage().Changed(), 1);
  dlg_->OnSave();
  view_->UserRadio(kIdParityNone, 3, kIdParityNone);
  EXPECT_EQ(dlg_->PortPage().Changed(), 1);
  EXPECT_EQ(doc_.Port().parity, 1);
}

TEST_F(ConfigDlgTest, PortIndexesReachTheirEntries) {
  for (const auto& [index, entry] :
       std::vector<std::pair<int, std::string>>{{9, "COM10"}, {255, "COM256"}}) {
    doc_.Port().port = index;
    Open();
    const int sel = view_->port.sel.at(kIdPortList);
    ASSERT_EQ(sel, index);
    EXPECT_EQ(view_->port.lists.at(kIdPortList)[static_cast<size_t>(sel)], entry);
  }
}

TEST_F(ConfigDlgTest, SavingKeepsOtherOptionBitsAndUnchangedFields) {
  doc_.Port().parity = 2;
  doc_.Port().data_bits = 0;
  doc_.Port().stop_bits = 1;
  doc_.Port().options = 0xFFFFFFF0u | CSerialPort::kUseChecksum;
  Open();
  EXPECT_EQ(view_->port.checks.at(kIdParityOdd), 1);
  EXPECT_EQ(view_->port.checks.at(kIdDataBits7), 1);
  EXPECT_EQ(view_->port.checks.at(kIdStopBits2), 1);
  EXPECT_EQ(view_->port.checks.at(kIdChecksum), 1);
  view_->UserSelect(kIdBaudList, 6);
  view_->UserToggle(kIdRtsCts);
  dlg_->OnSave();
  EXPECT_EQ(doc_.Port().baud, 6);
  EXPECT_EQ(doc_.Port().parity, 2);
  EXPECT_EQ(doc_.Port().data_bits, 0);
  EXPECT_EQ(doc_.Port().stop_bits, 1);
  EXPECT_EQ(doc_.Port().options, 0xFFFFFFF0u | CSerialPort::kUseChecksum | CSerialPort::kRtsCts);
  EXPECT_EQ(dlg_->PortPage().Changed(), 0);
}

TEST_F(ConfigDlgTest, StoreSettingsWithoutThePageWindowKeepsTheLoadedValues) {
  doc_.Port().port = 3;
  doc_.Port().baud = 2;
  doc_.Port().options = CSerialPort::kRtsCts | 0x100;
  view_.reset();
  dlg_ = std::make_unique<CConfigDlg>(doc_);
  view_ = std::make_unique<FakeConfigView>(*dlg_);
  view_->create_port_page = false;
  dlg_->OnInitDialog(view_.get());
  const CSerialPort before = doc_.Port();
  CSerialPort out;
  dlg_->PortPage().StoreSettings(out);
  out.options |= 0x100;  // bits the page does not own come from `out`
  EXPECT_EQ(out, before);
}

TEST_F(ConfigDlgTest, NeverShownPortPageSavesValuesItHasNoControlFor) {
  // Values without a list entry or radio button, as another tool may write
  // them: the page window exists but was never brought up, so a save must
  // write them back as loaded, not as "nothing selected".
  doc_.Port().port = 300;
  doc_.Port().baud = 9;
  doc_.Port().parity = 3;
  doc_.Port().data_bits = 2;
  doc_.Port().stop_bits = -4;
  doc_.Port().options = CSerialPort::kUseChecksum | 0x40;
  Open();
  EXPECT_EQ(view_->port.sel.at(kIdBaudList), -1);
  const CSerialPort before = doc_.Port();
  dlg_->OnSave();
  EXPECT_EQ(doc_.Port(), before);

  // Once the user has opened the page, its controls are what is saved.
  view_->SetActivePage(kPortPageIndex);
  view_->SetActivePage(kStationPageIndex);
  dlg_->OnSave();
  EXPECT_EQ(doc_.Port().baud, -1);
  EXPECT_EQ(doc_.Port().port, -1);
  EXPECT_EQ(doc_.Port().parity, -1);
  EXPECT_EQ(doc_.Port().options, before.options);
}

TEST_F(ConfigDlgTest, CloseQuestionAndSavedFlag) {
  // No change: no question.
  dlg_->OnCancel();
  EXPECT_TRUE(view_->questions.empty());
  EXPECT_EQ(dlg_->Saved(), 0);

  // Change, close, Yes: saved, and the file loads back with the change.
  Open();
  AddStation("PLC1", "1");
  AddBlock(7, "100", "4");
  view_->UserSelect(kIdBaudList, 3);
  view_->answers = {true};
  dlg_->OnCancel();
  EXPECT_EQ(view_->questions, std::vector<int>{2709});
  EXPECT_EQ(dlg_->Saved(), 1);
  EXPECT_EQ(dlg_->Modified(), 0);
  CDravikNetDoc back;
  ASSERT_EQ(back.LoadFile(doc_.Path().c_str()), 1) << back.LastError();
  EXPECT_EQ(back.Port().baud, 3);
  ASSERT_EQ(back.Stations().size(), 1u);
  EXPECT_EQ(back.Stations()[0]->blocks[0]->address_text, "R100");
  EXPECT_EQ(back.StationNames(), std::vector<std::string>{"PLC1"});
}

TEST_F(ConfigDlgTest, SaveChangeAndAnswerNoKeepsTheEarlierSave) {
  AddStation("PLC1", "1");
  dlg_->OnSave();
  EXPECT_EQ(dlg_->Saved(), 1);
  AddStation("PLC2", "2");
  view_->answers = {false};
  dlg_->OnCancel();
  EXPECT_EQ(view_->questions, std::vector<int>{2709});
  EXPECT_EQ(dlg_->Saved(), 1);
  CDravikNetDoc back;
  ASSERT_EQ(back.LoadFile(doc_.Path().c_str()), 1);
  EXPECT_EQ(back.Stations().size(), 1u);
}

TEST_F(ConfigDlgTest, FailedSaveIsNotReportedAsSaved) {
  doc_.SetPath(dir_.File("missing-folder/line1.dat"));
  Open();
  AddStation("PLC1", "1");
  dlg_->OnSave();
  ASSERT_EQ(errors_.Ids(), std::vector<int>{2005});
  EXPECT_EQ(errors_.shown[0].flags, 1);
  EXPECT_NE(errors_.shown[0].text.find("missing-folder/line1.dat"), std::string::npos);
  EXPECT_EQ(dlg_->Saved(), 0);
  EXPECT_EQ(dlg_->Modified(), 1);
  // Yes to the close question and the save fails again: the dialog stays
  // open with the edits, and the entry reports no save.
  view_->answers = {true};
  dlg_->OnCancel();
  EXPECT_EQ(view_->questions, std::vector<int>{2709});
  EXPECT_EQ(view_->ended, 0);
  EXPECT_EQ(dlg_->Modified(), 1);
  EXPECT_EQ(dlg_->Saved(), 0);
  view_->answers = {false};
  dlg_->OnCancel();
  EXPECT_NE(view_->ended, 0);
}

// ----------------------------------------------------------- editor entry

class EditConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterEditorStrings();
    SetEditorFace(&face_);
  }
  void TearDown() override { SetEditorFace(nullptr); }

  TempDir dir_;
  ScriptedFace face_;
  ErrorRecorder errors_;
};

TEST_F(EditConfigTest, MissingFileOpensEmptyAndClosingUnchangedReturns0) {
  const std::string path = dir_.File("line7.dat");
  std::string root_text;
  face_.script = [&](CConfigDlg& dlg, FakeConfigView& view) {
    root_text = view.tree->Root()->text;
    EXPECT_TRUE(dlg.Document().Stations().empty());
    dlg.OnCancel();
    EXPECT_TRUE(view.questions.empty());
  };
  CDravikNetDoc doc;
  EXPECT_EQ(doc.EditConfig(path.c_str()), 0);
  EXPECT_EQ(face_.runs, 1);
  EXPECT_EQ(root_text, "line7");
  EXPECT_EQ(doc.Title(), "line7");
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(EditConfigTest, SaveWithNothingChangedWritesTheFileAndReturns1) {
  const std::string path = dir_.File("line7.dat");
  face_.script = [&](CConfigDlg& dlg, FakeConfigView& view) {
    dlg.OnSave();
    dlg.OnCancel();
    EXPECT_TRUE(view.questions.empty());
  };
  CDravikNetDoc doc;
  EXPECT_EQ(doc.EditConfig(path.c_str()), 1);
  CDravikNetDoc back;
  EXPECT_EQ(back.LoadFile(path.c_str()), 1);
  EXPECT_TRUE(back.Stations().empty());
}

TEST_F(EditConfigTest, ExistingFileIsLoadedIntoTheTree) {
  const std::string path = dir_.File("plant.dat");
  {
    CDravikNetDoc doc;
    doc.SetPath(path);
    auto s = std::make_unique<CStationInfoDVK>();
    s->name = "PLC1";
    s->number = 0x0A;
    s->description = "Line A";
    doc.Stations().push_back(std::move(s));
    doc.Port().baud = 2;
    ASSERT_TRUE(doc.SaveFileReporting());
  }
  std::vector<std::string> labels;
  int baud_sel = -1;
  face_.script = [&](CConfigDlg& dlg, FakeConfigView& view) {
    labels = view.tree->Texts(view.tree->Root());
    baud_sel = view.port.sel.at(kIdBaudList);
    dlg.OnCancel();
  };
  CDravikNetDoc doc;
  EXPECT_EQ(doc.EditConfig(path.c_str()), 0);
  EXPECT_EQ(labels, std::vector<std::string>{"PLC1 (0AH국) : Line A"});
  EXPECT_EQ(baud_sel, 2);
}

// A file from the Windows original: the tree shows the Korean texts, the
// station dialog opens with them, and OK with them unchanged saves the very
// bytes the original wrote.
TEST_F(EditConfigTest, Cp949FileShowsKoreanAndSavesItsOwnBytes) {
  const std::string path = dir_.File("original.dat");
  const std::string original = fixture::Cp949Project().str();
  std::ofstream(path, std::ios::binary) << original;
  CDravikNetDoc doc;
  std::vector<std::string> stations, blocks;
  std::map<int, std::string> dialog;
  face_.script = [&](CConfigDlg& dlg, FakeConfigView& view) {
    stations = view.tree->Texts(view.tree->Root());
    auto* pump = static_cast<FakeTree::Node*>(doc.Stations()[0]->tree_item);
    blocks = view.tree->Texts(pump);
    view.tree->Click(pump);
    view.station_tries = {Station("펌프", "1", "제1 펌프실")};
    dlg.OnEdit();
    dialog = view.last_station_init;
    dlg.OnSave();
    dlg.OnCancel();
  };
  EXPECT_EQ(doc.EditConfig(path.c_str()), 1);
  EXPECT_EQ(stations, (std::vector<std::string>{"펌프 (01H국) : 제1 펌프실", "라인A (02H국) : "}));
  EXPECT_EQ(blocks, std::vector<std::string>{"R1 온도, 04 Word"});
  EXPECT_EQ(dialog[kIdName], "펌프");
  EXPECT_EQ(dialog[kIdDescription], "제1 펌프실");
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), original);
}

TEST_F(EditConfigTest, UnreadableFileShows2002AndRunsNoDialog) {
  const std::string path = dir_.File("broken.dat");
  std::ofstream(path) << "not a project file";
  CDravikNetDoc doc;
  EXPECT_EQ(doc.EditConfig(path.c_str()), 0);
  EXPECT_EQ(face_.runs, 0);
  ASSERT_EQ(errors_.shown.size(), 1u);
  EXPECT_EQ(errors_.shown[0].id, 2002);
  EXPECT_EQ(errors_.shown[0].flags, 1);
  EXPECT_NE(errors_.shown[0].text.find(path), std::string::npos);
}

TEST_F(EditConfigTest, WithoutAFaceNothingIsShownAndNothingSaved) {
  SetEditorFace(nullptr);
  CDravikNetDoc doc;
  EXPECT_EQ(doc.EditConfig(dir_.File("x.dat").c_str()), 0);
  EXPECT_EQ(face_.runs, 0);
}

}  // namespace
}  // namespace dravik::test
