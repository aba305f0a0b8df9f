// The Qt editor driven as a user drives it (offscreen): open a file, add a
// station and a block, try invalid input and see the error boxes, edit,
// delete with the question, change the baud rate, close with the save
// question, and check what was written by loading it back. Screenshots of
// the dialogs go to the build folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QWindow>
#include <filesystem>
#include <fstream>

#include "editor/qt/qt_controls.h"
#include "editor/qt/qt_face.h"
#include "editor/qt/tree_images.h"
#include "model/dravik_doc.h"
#include "qt_script.h"

namespace dravik::test {
namespace {

namespace fs = std::filesystem;

QString U(const char* text) { return QString::fromUtf8(text); }

std::map<QString, bool> CommandButtons(QWidget* w) {
  std::map<QString, bool> out;
  for (const char* name : {"btn9007", "btn9008", "btn9009", "btn9010", "btn9011", "btn2"}) {
    if (auto* b = Find<QPushButton>(w, name)) out[name] = b->isEnabled();
  }
  return out;
}

std::map<QString, bool> Expected(bool edit, bool del, bool add_station, bool add_block) {
  return {{"btn9007", edit},      {"btn9008", del},  {"btn9009", add_station},
          {"btn9010", add_block}, {"btn9011", true}, {"btn2", true}};
}

void SelectTab(QWidget* w, int index) {
  auto* tabs = Find<QTabWidget>(w, "tab9006");
  QTabBar* bar = tabs->tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
  ASSERT_EQ(tabs->currentIndex(), index);
}

void StepSpin(QWidget* spin, const char* arrow) {
  auto* button = spin->findChild<QToolButton*>(arrow);
  ASSERT_NE(button, nullptr);
  button->click();
}

class EditorQtTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { App(); }
  void SetUp() override {
    char pattern[] = "/tmp/dravik-editor-qt-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }
  int Run(const std::string& path) { return qt::RunEditorCall(path.c_str()); }

  std::string dir_;
};

TEST_F(EditorQtTest, MissingFileShowsOnlyTheRootAndClosesWithoutAQuestion) {
  const std::string path = File("line1.dat");
  ModalScript script;
  script.On("dlg9001", [](QWidget* w) {
    EXPECT_EQ(w->windowTitle(), U("Dravik Computer Link 설정"));
    auto* tree = Find<QTreeWidget>(w, "tree9012");
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), "line1");
    EXPECT_EQ(tree->topLevelItem(0)->childCount(), 0);
    EXPECT_EQ(CommandButtons(w), Expected(false, false, true, false));
    auto* tabs = Find<QTabWidget>(w, "tab9006");
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), U("스테이션"));
    EXPECT_EQ(tabs->tabText(1), U("통신포트"));
    // Geometry from dialog units of the dialog font.
    const qt::DialogUnits du(qt::DialogFont());
    EXPECT_EQ(Find<QPushButton>(w, "btn9007")->geometry(), du.Rect(188, 20, 48, 14));
    EXPECT_EQ(w->size(), du.Size(243, 203));
    EXPECT_EQ(Find<QPushButton>(w, "btn9009")->text(), U("스테이션 추가"));
    EXPECT_TRUE(Find<QPushButton>(w, "btn9007")->isDefault());
    Shot(w, "config_empty");
    Click(w, "btn2");
  });
  EXPECT_EQ(Run(path), 0);
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(script.Seen(), std::vector<std::string>{"dlg9001"});
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(EditorQtTest, AddStationAndBlockThroughErrorsThenSaveOnClose) {
  const std::string path = File("plant.dat");
  ModalScript script;
  script.On("dlg9001", [](QWidget* w) { Click(w, "btn9009"); })
      .On("dlg9004",
          [](QWidget* w) {
            EXPECT_EQ(w->windowTitle(), U("스테이션 설정"));
            EXPECT_EQ(Find<QLineEdit>(w, "edit9025")->text(), "FF");
            EXPECT_EQ(w->focusWidget(), Find<QLineEdit>(w, "edit9023"));
            EXPECT_TRUE(w->testAttribute(Qt::WA_KeyboardFocusChange));
            Shot(w, "station_new");
            Click(w, "btn1");
          })
      .On("err2700",
          [](QWidget* box) {
            EXPECT_EQ(MessageText(box), U("스테이션 이름이 설정되지 않았습니다."));
            Shot(box, "error_2700");
            ClickMessageButton(box, QMessageBox::Ok);
          })
      .On("dlg9004",
          [](QWidget* w) {
            EXPECT_EQ(w->focusWidget(), Find<QLineEdit>(w, "edit9023"));
            Type(w, "edit9023", "plc1");
            EXPECT_EQ(Find<QLineEdit>(w, "edit9023")->text(), "PLC1");
            Type(w, "edit9025", "zz");
            Click(w, "btn1");
          })
      .On("err18", [](QWidget* box) { ClickMessageButton(box, QMessageBox::Ok); })
      .On("dlg9004",
          [](QWidget* w) {
            auto* number = Find<QLineEdit>(w, "edit9025");
            EXPECT_EQ(w->focusWidget(), number);
            // Unparsable text steps to 01; then up, up and the Down key.
            QWidget* spin = Find<QWidget>(w, "spin9026");
            StepSpin(spin, "up");
            EXPECT_EQ(number->text(), "01");
            StepSpin(spin, "up");
            EXPECT_EQ(number->text(), "02");
            QTest::keyClick(number, Qt::Key_Down);
            EXPECT_EQ(number->text(), "01");
            StepSpin(spin, "down");
            EXPECT_EQ(number->text(), "01");
            Type(w, "edit9027", U("Line A"));
            Click(w, "btn1");
          })
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            QTreeWidgetItem* station = ItemAt(tree, {0, 0});
            ASSERT_NE(station, nullptr);
            EXPECT_EQ(station->text(0), U("PLC1 (01H국) : Line A"));
            EXPECT_EQ(tree->currentItem(), station);
            EXPECT_EQ(CommandButtons(w), Expected(true, true, true, true));
            Click(w, "btn9010");
          })
      .On("dlg9005",
          [](QWidget* w) {
            EXPECT_EQ(w->windowTitle(), U("통신블록 설정"));
            auto* area = Find<QComboBox>(w, "combo9040");
            EXPECT_EQ(area->count(), 8);
            EXPECT_EQ(area->currentIndex(), 0);
            EXPECT_EQ(area->itemText(7), "Register (Word)");
            EXPECT_EQ(Find<QLineEdit>(w, "edit9029")->text(), "8");
            EXPECT_EQ(Find<QLineEdit>(w, "edit9031")->text(), "1.5");
            EXPECT_EQ(w->focusWidget(), area);
            EXPECT_TRUE(w->testAttribute(Qt::WA_KeyboardFocusChange));
            Shot(w, "block_new");
            area->setCurrentIndex(7);
            Type(w, "edit9028", "100");
            Type(w, "edit9029", "61");
            Click(w, "btn1");
          })
      .On("err2710",
          [](QWidget* box) {
            EXPECT_EQ(MessageText(box), U("워드 수가 잘못 설정되었습니다."));
            ClickMessageButton(box, QMessageBox::Ok);
          })
      .On("dlg9005",
          [](QWidget* w) {
            EXPECT_EQ(w->focusWidget(), Find<QLineEdit>(w, "edit9029"));
            Type(w, "edit9029", "4");
            Type(w, "edit9031", "abc");
            Click(w, "btn1");
          })
      .On("prompt",
          [](QWidget* box) {
            EXPECT_EQ(MessageText(box), U("통신주기가 잘못 입력되었습니다.\n0에서 999.9 사이의 "
                                          "숫자로 입력하십시오."));
            Shot(box, "prompt_period");
            ClickMessageButton(box, QMessageBox::Ok);
          })
      .On("dlg9005",
          [](QWidget* w) {
            auto* period = Find<QLineEdit>(w, "edit9031");
            EXPECT_EQ(w->focusWidget(), period);
            Type(w, "edit9031", "1.5");
            StepSpin(Find<QWidget>(w, "spin9032"), "up");
            EXPECT_EQ(period->text(), "1.6");
            auto* count = Find<QLineEdit>(w, "edit9029");
            StepSpin(Find<QWidget>(w, "spin9030"), "up");
            EXPECT_EQ(count->text(), "5");
            QTest::keyClick(count, Qt::Key_Down);
            EXPECT_EQ(count->text(), "4");
            Click(w, "btn1");
          })
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            QTreeWidgetItem* block = ItemAt(tree, {0, 0, 0});
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(block->text(0), "R100, 04 Word");
            EXPECT_EQ(tree->currentItem(), block);
            Shot(w, "config_tree");
            SelectTab(w, 1);
            EXPECT_EQ(CommandButtons(w), Expected(false, false, false, false));
            auto* baud = Find<QComboBox>(w, "combo9014");
            EXPECT_EQ(baud->currentText(), " 9600");
            EXPECT_EQ(Find<QComboBox>(w, "combo9013")->currentText(), "COM1");
            EXPECT_EQ(Find<QComboBox>(w, "combo9013")->count(), 256);
            EXPECT_TRUE(Find<QRadioButton>(w, "radio9015")->isChecked());
            EXPECT_FALSE(Find<QRadioButton>(w, "radio9015")->isEnabled());
            EXPECT_TRUE(Find<QRadioButton>(w, "radio9019")->isChecked());
            EXPECT_TRUE(Find<QRadioButton>(w, "radio9020")->isChecked());
            EXPECT_FALSE(Find<QCheckBox>(w, "check9022")->isEnabled());
            EXPECT_TRUE(Find<QCheckBox>(w, "check9039")->isEnabled());
            Shot(w, "config_port");
            QTest::keyClick(baud, Qt::Key_Down);
            EXPECT_EQ(baud->currentText(), "19200");
            SelectTab(w, 0);
            EXPECT_EQ(CommandButtons(w), Expected(true, true, true, true));
            Click(w, "btn2");
          })
      .On("msg2709", [](QWidget* box) {
        EXPECT_EQ(MessageText(box), U("데이터가 변경되었습니다.  저장하시겠습니까?"));
        Shot(box, "question_2709");
        ClickMessageButton(box, QMessageBox::Yes);
      });
  EXPECT_EQ(Run(path), 1);
  EXPECT_TRUE(script.Done());

  CDravikNetDoc back;
  ASSERT_EQ(back.LoadFile(path.c_str()), 1) << back.LastError();
  EXPECT_EQ(back.Port().baud, 6);
  ASSERT_EQ(back.Stations().size(), 1u);
  const CStationInfoDVK& s = *back.Stations()[0];
  EXPECT_EQ(s.name, "PLC1");
  EXPECT_EQ(s.number, 1);
  EXPECT_EQ(s.description, "Line A");
  ASSERT_EQ(s.blocks.size(), 1u);
  EXPECT_EQ(s.blocks[0]->address_text, "R100");
  EXPECT_EQ(s.blocks[0]->count, 4);
  EXPECT_EQ(s.blocks[0]->period_ms, 1600);
  EXPECT_EQ(s.blocks[0]->area, 7);
  EXPECT_EQ(s.blocks[0]->start, 100);
}

class ReopenTest : public EditorQtTest {
 protected:
  void WriteProject(const std::string& path, int stations = 2) {
    CDravikNetDoc doc;
    doc.SetPath(path);
    for (int n = 1; n <= stations; ++n) {
      auto s = std::make_unique<CStationInfoDVK>();
      s->name = "PLC" + std::to_string(n);
      s->number = n;
      s->description = "Line " + std::to_string(n);
      doc.Stations().push_back(std::move(s));
    }
    for (const char* text : {"R1", "R10"}) {
      auto b = std::make_unique<CCommBlockDVK>();
      b->address_text = text;
      b->area = 7;
      b->start = std::atoi(text + 1);
      b->count = 4;
      doc.Stations()[0]->blocks.push_back(std::move(b));
    }
    ASSERT_TRUE(doc.SaveFileReporting());
  }
};

// Focuses `name` (null: the window) as the Tab key does and presses `key`.
// A focused push button carries the default frame and no other does.
void KeyOn(QWidget* w, const char* name, Qt::Key key, Qt::KeyboardModifiers mods = {}) {
  QWidget* target = name ? Find<QWidget>(w, name) : w;
  w->activateWindow();  // a box that just closed may not have handed it back
  EXPECT_TRUE(QTest::qWaitForWindowActive(w));
  target->setFocus(Qt::TabFocusReason);
  const bool on_button = qobject_cast<QPushButton*>(target) != nullptr;
  for (QPushButton* b : w->findChildren<QPushButton*>()) {
    EXPECT_TRUE(!on_button || b->isDefault() == (b == target)) << b->objectName().toStdString();
  }
  QTest::keyClick(target, key, mods);
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(ReopenTest, KeyRulesOfTheDialogsAndQuestions) {
  using A = ModalScript::Action;
  auto all = [](std::vector<A> actions) {
    return [=](QWidget* w) {
      for (const A& a : actions) a(w);
    };
  };
  auto key = [](const char* name, Qt::Key k, Qt::KeyboardModifiers m = {}) -> A {
    return [=](QWidget* w) { KeyOn(w, name, k, m); };
  };
  // A Yes/No question has no close box, maximise or minimise box, and stays
  // open through Escape and a close request.
  auto answer = [](QMessageBox::StandardButton b) -> A {
    return [=](QWidget* box) {
      EXPECT_FALSE(box->windowHandle()->flags() &
                   (Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint |
                    Qt::WindowMinimizeButtonHint));
      KeyOn(box, nullptr, Qt::Key_Escape);
      box->close();
      EXPECT_TRUE(box->isVisible()) << box->objectName().toStdString() << " was answered";
      // Qt's own buttons speak the editor's language.
      auto* mb = qobject_cast<QMessageBox*>(box);
      ASSERT_NE(mb, nullptr);
      EXPECT_TRUE(mb->button(QMessageBox::Yes)->text().startsWith(U("예")))
          << mb->button(QMessageBox::Yes)->text().toStdString();
      Shot(box, "question_" + box->objectName().toStdString());
      ClickMessageButton(box, b);
    };
  };
  const A select = [](QWidget* w) {
    ClickItem(Find<QTreeWidget>(w, "tree9012"), ItemAt(Find<QTreeWidget>(w, "tree9012"), {0, 0}));
  };
  const A close = [](QWidget* w) { Click(w, "btn2"); };
  auto page_is = [](int i) -> A {
    return [=](QWidget* w) { EXPECT_EQ(Find<QTabWidget>(w, "tab9006")->currentIndex(), i); };
  };
  const std::string path = File("keys.dat");
  auto file_mode = [&path](mode_t mode) -> A {
    return [=](QWidget*) { ASSERT_EQ(chmod(path.c_str(), mode), 0); };
  };
  // The save error names the file and, on the line below, why.
  auto save_error_says = [](const char* reason) -> A {
    return [=](QWidget* box) {
      const QStringList lines = MessageText(box).split('\n');
      ASSERT_EQ(lines.size(), 2) << MessageText(box).toStdString();
      EXPECT_TRUE(lines[0].contains("keys.dat")) << lines[0].toStdString();
      EXPECT_TRUE(lines[1].contains(U(reason))) << lines[1].toStdString();
      Shot(box, "save_error_reason");
      ClickMessageButton(box, QMessageBox::Ok);
    };
  };
  const A save = [](QWidget* w) { Click(w, "btn9011"); };
  const A delete_first = [&](QWidget* w) {
    select(w);
    Click(w, "btn9008");
  };
  const A focus_shows = [](QWidget* w) {  // on the default button too
    auto* ok = Find<QPushButton>(w, "btn1");
    const QImage unfocused = ok->grab().toImage();
    ok->setFocus(Qt::TabFocusReason);
    EXPECT_NE(ok->grab().toImage(), unfocused);
    Shot(w, "focus_on_default_button");
  };
  struct {
    const char* rule;
    struct {
      int result;       // of the editor call
      size_t stations;  // in the file afterwards
      bool written;
    } outcome;
    std::vector<std::pair<QString, A>> steps;
  } cases[] = {
      {"Enter on a focused delete asks; Escape and the close box answer neither question",
       {0, 1, false},
       {{"dlg9001", all({select, key("btn9008", Qt::Key_Return)})},
        {"msg2708", answer(QMessageBox::Yes)},
        {"dlg9001", key(nullptr, Qt::Key_Escape)},
        {"msg2709", answer(QMessageBox::No)}}},
      {"Enter on a focused close closes, with edit enabled",
       {0, 1, false},
       {{"dlg9001", all({select, key("btn2", Qt::Key_Return)})}}},
      {"Enter on a focused close asks 2709, which only Yes answers",
       {1, 0, true},
       {{"dlg9001", all({select, [](QWidget* w) { Click(w, "btn9008"); }})},
        {"msg2708", answer(QMessageBox::Yes)},
        {"dlg9001", key("btn2", Qt::Key_Return)},
        {"msg2709", answer(QMessageBox::Yes)}}},
      {"close, Yes, the save fails: the dialog stays open; a save after the fix writes the edits",
       {1, 0, true},
       {{"dlg9001", delete_first},
        {"msg2708", answer(QMessageBox::Yes)},
        {"dlg9001", all({file_mode(0444), close})},
        {"msg2709", answer(QMessageBox::Yes)},
        {"err2005", save_error_says("읽기 전용")},
        {"dlg9001", all({file_mode(0644), save, close})}}},
      {"a read-only file is refused with its reason, and its bytes stay",
       {0, 1, false},
       {{"dlg9001", all({file_mode(0444), delete_first})},
        {"msg2708", answer(QMessageBox::Yes)},
        {"dlg9001", save},
        {"err2005", save_error_says("읽기 전용")},
        {"dlg9001", close},
        {"msg2709", answer(QMessageBox::No)}}},
      {"Enter presses the focused add station, station cancel and save",
       {1, 1, true},
       {{"dlg9001", key("btn9009", Qt::Key_Return)},
        {"dlg9004", all({focus_shows, key("btn2", Qt::Key_Return)})},
        {"dlg9001", all({key("btn9011", Qt::Key_Return), close})}}},
      {"Enter in the tree edits; Ctrl+Tab, Ctrl+Shift+Tab turn the pages",
       {0, 1, false},
       {{"dlg9001",
         all({key("btn9009", Qt::Key_Tab), select,
              [](QWidget* w) { EXPECT_TRUE(Find<QPushButton>(w, "btn9007")->isDefault()); },
              key("tree9012", Qt::Key_Return)})},
        {"dlg9004", key(nullptr, Qt::Key_Escape)},
        {"dlg9001", all({key("tree9012", Qt::Key_Tab, Qt::ControlModifier), page_is(1),
                         key("btn9011", Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier),
                         page_is(0), close})}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    chmod(path.c_str(), 0644);  // a case before may have left it read-only
    WriteProject(path, 1);
    const auto written = fs::last_write_time(path) - std::chrono::hours(1);
    fs::last_write_time(path, written);  // any rewrite shows
    const std::string before = Bytes(path);
    ModalScript script;
    for (const auto& [window, action] : c.steps) script.On(window, action);
    EXPECT_EQ(Run(path), c.outcome.result);
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(fs::last_write_time(path) != written, c.outcome.written);
    if (!c.outcome.written) {
      EXPECT_EQ(Bytes(path), before);
    }
    CDravikNetDoc back;
    ASSERT_EQ(back.LoadFile(path.c_str()), 1);
    EXPECT_EQ(back.Stations().size(), c.outcome.stations);
  }
}

TEST_F(ReopenTest, EditDeleteWithQuestionsSaveAndEscape) {
  const std::string path = File("line2.dat");
  WriteProject(path);
  ModalScript script;
  script
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            QTreeWidgetItem* plc1 = ItemAt(tree, {0, 0});
            ASSERT_NE(plc1, nullptr);
            EXPECT_EQ(plc1->text(0), U("PLC1 (01H국) : Line 1"));
            EXPECT_FALSE(plc1->isExpanded());
            // Enter with nothing chosen: the disabled default button does nothing.
            QTest::keyClick(tree, Qt::Key_Return);
            EXPECT_EQ(QApplication::activeModalWidget(), w);
            plc1->setExpanded(true);
            ClickItem(tree, plc1->child(0));
            EXPECT_EQ(CommandButtons(w), Expected(true, true, true, true));
            Click(w, "btn9008");
          })
      .On("msg2706", [](QWidget* box) { ClickMessageButton(box, QMessageBox::No); })
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            EXPECT_EQ(ItemAt(tree, {0, 0})->childCount(), 2);
            Click(w, "btn9008");
          })
      .On("msg2706", [](QWidget* box) { ClickMessageButton(box, QMessageBox::Yes); })
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            QTreeWidgetItem* plc1 = ItemAt(tree, {0, 0});
            ASSERT_EQ(plc1->childCount(), 1);
            EXPECT_EQ(plc1->child(0)->text(0), "R10, 04 Word");
            // Double click on the second station opens its dialog.
            QTreeWidgetItem* plc2 = ItemAt(tree, {0, 1});
            ClickItem(tree, plc2);
            QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {},
                               tree->visualItemRect(plc2).center());
          })
      .On("dlg9004",
          [](QWidget* w) {
            EXPECT_EQ(Find<QLineEdit>(w, "edit9023")->text(), "PLC2");
            EXPECT_EQ(Find<QLineEdit>(w, "edit9025")->text(), "2");
            Type(w, "edit9027", "Packing");
            QTest::keyClick(Find<QWidget>(w, "edit9027"), Qt::Key_Return);
          })
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            EXPECT_EQ(ItemAt(tree, {0, 1})->text(0), U("PLC2 (02H국) : Packing"));
            // Enter on a chosen station runs the edit command.
            ClickItem(tree, ItemAt(tree, {0, 0}));
            QTest::keyClick(tree, Qt::Key_Return);
          })
      .On("dlg9004",
          [](QWidget* w) {
            EXPECT_EQ(Find<QLineEdit>(w, "edit9023")->text(), "PLC1");
            QTest::keyClick(w, Qt::Key_Escape);
          })
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            ClickItem(tree, ItemAt(tree, {0, 0}));
            Click(w, "btn9008");
          })
      .On("msg2708",
          [](QWidget* box) {
            EXPECT_EQ(MessageText(box),
                      U("선택된 스테이션을 삭제하면 스테이션에 설정된 통신블록도 같이 "
                        "삭제됩니다.\n삭제하시겠습니까?"));
            Shot(box, "question_2708");
            ClickMessageButton(box, QMessageBox::Yes);
          })
      .On("dlg9001", [](QWidget* w) {
        auto* tree = Find<QTreeWidget>(w, "tree9012");
        ASSERT_EQ(ItemAt(tree, {0})->childCount(), 1);
        EXPECT_EQ(ItemAt(tree, {0, 0})->text(0), U("PLC2 (02H국) : Packing"));
        Click(w, "btn9011");
        // Saved: Escape closes without a question.
        QTest::keyClick(w, Qt::Key_Escape);
      });
  EXPECT_EQ(Run(path), 1);
  EXPECT_TRUE(script.Done());
  CDravikNetDoc back;
  ASSERT_EQ(back.LoadFile(path.c_str()), 1);
  ASSERT_EQ(back.Stations().size(), 1u);
  EXPECT_EQ(back.Stations()[0]->name, "PLC2");
  EXPECT_EQ(back.Stations()[0]->description, "Packing");
}

TEST_F(ReopenTest, NothingSelectedMeansNothingChosenAndReChoosingIsNoChange) {
  const std::string path = File("selection.dat");
  WriteProject(path);
  ModalScript script;
  script.On("dlg9001", [](QWidget* w) {
    auto* tree = Find<QTreeWidget>(w, "tree9012");
    QTreeWidgetItem* plc1 = ItemAt(tree, {0, 0});
    ClickItem(tree, plc1);
    EXPECT_EQ(CommandButtons(w), Expected(true, true, true, true));
    // Ctrl+click clears the selection; the item keeps the focus only.
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      tree->visualItemRect(plc1).center());
    ASSERT_TRUE(tree->selectedItems().isEmpty());
    EXPECT_EQ(tree->currentItem(), plc1);
    EXPECT_EQ(CommandButtons(w), Expected(false, false, true, false));
    QTest::keyClick(tree, Qt::Key_Return);
    EXPECT_EQ(QApplication::activeModalWidget(), w);
    // The port page: choosing the entries already shown changes nothing,
    // so closing asks no question.
    SelectTab(w, 1);
    for (const char* name : {"combo9013", "combo9014"}) {
      auto* list = Find<QComboBox>(w, name);
      const int shown = list->currentIndex();
      list->showPopup();
      QTest::keyClick(list->view(), Qt::Key_Return);
      EXPECT_EQ(list->currentIndex(), shown);
    }
    Click(w, "btn2");
  });
  EXPECT_EQ(Run(path), 0);
  EXPECT_TRUE(script.Done());
}

TEST_F(ReopenTest, EditingABlockOpensItsValuesAndCancelChangesNothing) {
  const std::string path = File("line3.dat");
  WriteProject(path);
  ModalScript script;
  script
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            ItemAt(tree, {0, 0})->setExpanded(true);
            ClickItem(tree, ItemAt(tree, {0, 0, 1}));
            Click(w, "btn9007");
          })
      .On("dlg9005",
          [](QWidget* w) {
            EXPECT_EQ(Find<QComboBox>(w, "combo9040")->currentIndex(), 7);
            EXPECT_EQ(Find<QLineEdit>(w, "edit9028")->text(), "10");
            EXPECT_EQ(Find<QLineEdit>(w, "edit9029")->text(), "4");
            EXPECT_EQ(Find<QLineEdit>(w, "edit9031")->text(), "1");
            Type(w, "edit9028", "3");  // would overlap R1..R4
            Click(w, "btn1");
          })
      .On("err2704", [](QWidget* box) { ClickMessageButton(box, QMessageBox::Ok); })
      .On("dlg9005", [](QWidget* w) { Click(w, "btn2"); })
      .On("dlg9001", [](QWidget* w) { Click(w, "btn2"); });
  EXPECT_EQ(Run(path), 0);
  EXPECT_TRUE(script.Done());
}

TEST_F(ReopenTest, DoubleClickBelowTheItemsEditsTheSelectedStation) {
  const std::string path = File("line4.dat");
  WriteProject(path);
  ModalScript script;
  script
      .On("dlg9001",
          [](QWidget* w) {
            auto* tree = Find<QTreeWidget>(w, "tree9012");
            ClickItem(tree, ItemAt(tree, {0, 1}));
            // The blank space under the last item: no item there, yet the
            // double click is the edit command for the selection.
            const QPoint blank(tree->viewport()->width() / 2, tree->viewport()->height() - 4);
            ASSERT_EQ(tree->itemAt(blank), nullptr);
            QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, blank);
          })
      .On("dlg9004",
          [](QWidget* w) {
            EXPECT_EQ(Find<QLineEdit>(w, "edit9023")->text(), "PLC2");
            QTest::keyClick(w, Qt::Key_Escape);
          })
      .On("dlg9001", [](QWidget* w) { Click(w, "btn2"); });
  EXPECT_EQ(Run(path), 0);
  EXPECT_TRUE(script.Done());
}

TEST_F(EditorQtTest, LongLabelsScrollAndEveryListEntryCanBeRead) {
  const std::string path = File("wide.dat");
  {
    CDravikNetDoc doc;
    doc.SetPath(path);
    doc.Port().port = 255;  // COM256
    doc.Port().baud = 6;    // 19200
    auto s = std::make_unique<CStationInfoDVK>();
    s->name = "PACKING_LINE_NORTH_CONVEYOR_07";
    s->number = 7;
    s->description = "Filling, capping and labelling, hall 3 east";
    doc.Stations().push_back(std::move(s));
    ASSERT_TRUE(doc.SaveFileReporting());
  }
  ModalScript script;
  script.On("dlg9001", [](QWidget* w) {
    auto* tree = Find<QTreeWidget>(w, "tree9012");
    // The focus starts in the tree and shows without a Tab first.
    EXPECT_EQ(w->focusWidget(), tree);
    EXPECT_TRUE(w->testAttribute(Qt::WA_KeyboardFocusChange));
    // The whole label: a column as wide as it, a scroll bar, a tooltip.
    QTreeWidgetItem* station = ItemAt(tree, {0, 0});
    EXPECT_EQ(station->toolTip(0), station->text(0));
    const int text_width = QFontMetrics(tree->font()).horizontalAdvance(station->text(0));
    EXPECT_GT(tree->visualItemRect(station).width(), text_width + tree->iconSize().width());
    EXPECT_TRUE(tree->horizontalScrollBar()->isVisible());
    Shot(w, "config_tree_long_label");
    tree->horizontalScrollBar()->setValue(tree->horizontalScrollBar()->maximum());
    Shot(w, "config_tree_long_label_scrolled");

    SelectTab(w, 1);
    auto* port = Find<QComboBox>(w, "combo9013");
    auto* baud = Find<QComboBox>(w, "combo9014");
    EXPECT_EQ(port->currentText(), "COM256");
    EXPECT_EQ(baud->currentText(), "19200");
    for (QComboBox* list : {port, baud}) {
      const QFontMetrics metrics(list->font());
      int longest = 0;
      for (int i = 0; i < list->count(); ++i) {
        longest = std::max(longest, metrics.horizontalAdvance(list->itemText(i)));
      }
      // The style draws the chosen entry one pixel in from each side.
      EXPECT_LE(longest + 2, qt::ListTextRoom(list)) << list->objectName().toStdString();
    }
    // The port list drops down about 12 entries with a scroll bar.
    port->showPopup();
    QAbstractItemView* view = port->view();
    const int rows = view->viewport()->height() / view->sizeHintForRow(0);
    EXPECT_TRUE(rows >= 10 && rows <= 13) << rows;
    EXPECT_TRUE(view->verticalScrollBar()->isVisible());
    port->hidePopup();
    // The group frames draw their lower and right edges too.
    for (QFrame* frame :
         Find<QWidget>(w, "page9003")
             ->findChildren<QFrame*>(QRegularExpression("^frame"), Qt::FindDirectChildrenOnly)) {
      const QImage image = frame->grab().toImage();
      const int width = image.width();
      const int height = image.height();
      auto gray = [&](int x, int y) { return qGray(image.pixel(x, y)); };
      const int dark = qGray(frame->palette().window().color().rgb()) - 40;
      EXPECT_LT(std::min(gray(width / 2, height - 1), gray(width / 2, height - 2)), dark);
      EXPECT_LT(std::min(gray(width - 1, height / 2), gray(width - 2, height / 2)), dark);
    }
    Shot(w, "config_port_com256");
    SelectTab(w, 0);
    ClickItem(tree, station);
    Click(w, "btn9007");
    Click(w, "btn2");
  });
  // Long texts read from their start, the description whole over its lines.
  script.On("dlg9004", [](QWidget* w) {
    EXPECT_FALSE(w->windowHandle()->flags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(Find<QLineEdit>(w, "edit9023")->cursorPosition(), 0);
    auto* description = Find<QPlainTextEdit>(w, "edit9027");
    ASSERT_NE(description, nullptr);
    EXPECT_GT(description->document()->size().height(), 1);  // lines
    EXPECT_EQ(description->verticalScrollBar()->maximum(), 0);
    Shot(w, "station_long_texts");
    KeyOn(w, "edit9027", Qt::Key_Escape);
  });
  EXPECT_EQ(Run(path), 0);
  EXPECT_TRUE(script.Done());
}

TEST_F(EditorQtTest, UnreadableFileShowsErrorBoxAndNoDialog) {
  const std::string path = File("broken.dat");
  std::ofstream(path) << "garbage";
  ModalScript script;
  script.On("err2002", [&](QWidget* box) {
    EXPECT_TRUE(MessageText(box).contains(QString::fromStdString(path)));
    ClickMessageButton(box, QMessageBox::Ok);
  });
  EXPECT_EQ(Run(path), 0);
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(script.Seen(), std::vector<std::string>{"err2002"});
}

TEST(TreeImagesTest, StripHasThreeImagesOnAMagentaMask) {
  const QImage strip = qt::DrawTreeStrip();
  EXPECT_EQ(strip.size(), QSize(58, 16));
  EXPECT_EQ(strip.pixel(57, 0) & 0xFFFFFF, qt::kMaskColour);
  EXPECT_EQ(strip.pixel(50, 15) & 0xFFFFFF, qt::kMaskColour);
  App();
  const auto icons = qt::TreeIcons();
  ASSERT_EQ(icons.size(), 3u);
  for (const QIcon& icon : icons) {
    const QImage image = icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    int opaque = 0;
    int clear = 0;
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) (qAlpha(image.pixel(x, y)) ? opaque : clear)++;
    }
    EXPECT_GT(opaque, 20);
    EXPECT_GT(clear, 20);
  }
}

}  // namespace
}  // namespace dravik::test
