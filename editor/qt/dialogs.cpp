#include "editor/qt/dialogs.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>

#include "editor/comm_block_dlg.h"
#include "editor/comm_port_page.h"
#include "editor/config_dlg.h"
#include "editor/qt/tree_images.h"
#include "editor/station_dlg.h"
#include "editor/station_page.h"
#include "host/ui/tarsel_sub_ui.h"
#include "model/device_areas.h"

namespace dravik::qt {

namespace {
// Width of an up/down control placed at its buddy's right edge.
constexpr int kSpinWidthDu = 9;
// Entries a drop-down list shows at once; more scroll.
constexpr int kListVisibleEntries = 12;
// Space between a list and the label to its right.
constexpr int kLabelGapDu = 3;

QString Name(const char* prefix, int id) { return QString("%1%2").arg(prefix).arg(id); }

QPushButton* MakeButton(QWidget* parent, const DialogUnits& du, int id, const char* text, int x,
                        int y, int w, int h) {
  auto* button = new QPushButton(QString::fromUtf8(text), parent);
  button->setObjectName(Name("btn", id));
  button->setGeometry(du.Rect(x, y, w, h));
  return button;
}

QLineEdit* MakeEdit(QWidget* parent, const DialogUnits& du, int id, int x, int y, int w, int h,
                    bool upper_case) {
  auto* edit = new FieldEdit(parent);
  edit->setObjectName(Name("edit", id));
  edit->setGeometry(du.Rect(x, y, w, h));
  if (upper_case) edit->setValidator(new UpperCaseValidator(edit));
  return edit;
}

QComboBox* MakeList(QWidget* parent, const DialogUnits& du, int id, int x, int y, int w) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(Name("combo", id));
  combo->setEditable(false);
  combo->setGeometry(QRect(du.X(x), du.Y(y), du.X(w), du.Y(13)));
  UseDropDownPopup(combo);
  combo->setMaxVisibleItems(kListVisibleEntries);
  return combo;
}

// A group frame. A sunken panel draws its lower and right edges in the
// light colour, which vanishes on the window background; the etched box
// keeps a dark line on all four edges.
void MakeFrame(QWidget* parent, const DialogUnits& du, int x, int y, int w, int h) {
  auto* frame = new QFrame(parent);
  frame->setObjectName(QString("frame%1_%2").arg(x).arg(y));
  frame->setFrameShape(QFrame::Box);
  frame->setFrameShadow(QFrame::Sunken);
  frame->setGeometry(du.Rect(x, y, w, h));
}

// Enter (with no modifier but the keypad's).
bool IsEnterKey(const QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<const QKeyEvent*>(event);
  return (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
         (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

// Shows where the input focus is from the start, as after a Tab key; the
// styles draw focus rings only once the keyboard has moved the focus, and
// showing a window forgets that it had. Called once the window is shown.
void ShowFocusFromTheStart(QWidget* window) { window->setAttribute(Qt::WA_KeyboardFocusChange); }
}  // namespace

// ------------------------------------------------------------------ tree

void LinedTree::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
  const int indent = indentation();
  painter->save();
  QPen pen(QColor(128, 128, 128));
  pen.setStyle(Qt::DotLine);
  painter->setPen(pen);
  const int mid_y = rect.top() + rect.height() / 2;
  int column_left = rect.right() + 1 - indent;
  const int cx = column_left + indent / 2;

  // The item's own column: a line from above (unless it is the very first
  // item), on down to the next sibling, and across to the item.
  const bool first_of_all = !index.parent().isValid() && index.row() == 0;
  const bool has_next = index.sibling(index.row() + 1, 0).isValid();
  painter->drawLine(cx, first_of_all ? mid_y : rect.top(), cx, has_next ? rect.bottom() : mid_y);
  painter->drawLine(cx, mid_y, column_left + indent - 2, mid_y);

  // Columns of the ancestors that have siblings below.
  for (QModelIndex a = index.parent(); a.isValid(); a = a.parent()) {
    column_left -= indent;
    if (a.sibling(a.row() + 1, 0).isValid()) {
      const int ax = column_left + indent / 2;
      painter->drawLine(ax, rect.top(), ax, rect.bottom());
    }
  }

  // The expand button: a boxed plus or minus.
  if (model()->hasChildren(index)) {
    const QRect box(cx - 4, mid_y - 4, 8, 8);
    painter->setPen(QColor(128, 128, 128));
    painter->setBrush(palette().base());
    painter->drawRect(box);
    painter->setPen(Qt::black);
    painter->drawLine(cx - 2, mid_y, cx + 2, mid_y);
    if (!isExpanded(index)) painter->drawLine(cx, mid_y - 2, cx, mid_y + 2);
  }
  painter->restore();
}

StationPageWidget::StationPageWidget(QWidget* parent, CStationPage& page)
    : QWidget(parent), page_(page), tree_(new LinedTree(this)), icons_(TreeIcons()) {
  setObjectName("page9002");
  setWindowTitle(QString::fromUtf8(CStationPage::kCaption));
  const DialogUnits du(font());
  tree_->setObjectName(Name("tree", kIdTree));
  tree_->setGeometry(du.Rect(4, 4, 164, 160));
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  tree_->setRootIsDecorated(true);
  tree_->setIconSize(QSize(16, 16));
  tree_->setFrameShape(QFrame::StyledPanel);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  // Labels are never cut short: the column is as wide as the longest shown
  // label, a horizontal scroll bar appears when that is wider than the tree,
  // and each item's tooltip holds its whole label.
  tree_->header()->setStretchLastSection(false);
  tree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  tree_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  tree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  tree_->setTextElideMode(Qt::ElideNone);
  // The page follows the selection, not the tree's focused item: a
  // Ctrl+click that clears the selection leaves the focused item behind,
  // and nothing is then chosen.
  connect(tree_, &QTreeWidget::itemSelectionChanged, this,
          [this] { page_.OnSelChanged(GetSelectedItem()); });
  // A double click anywhere in the tree, on an item or on the blank space
  // below the items, is the edit command for the selected item.
  tree_->viewport()->installEventFilter(this);
  // So is Enter in the tree.
  tree_->installEventFilter(this);
}

bool StationPageWidget::eventFilter(QObject* watched, QEvent* event) {
  if (watched == tree_->viewport() && event->type() == QEvent::MouseButtonDblClick &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    page_.OnDblClick();
  }
  if (watched == tree_ && IsEnterKey(event)) {
    // Taken here: the dialog must not run the edit command a second time.
    page_.OnReturnKey();
    return true;
  }
  // The tree's own double-click handling (expanding, collapsing) goes on.
  return QWidget::eventFilter(watched, event);
}

StationPageWidget::~StationPageWidget() {
  // The tree dies after this object's own part: its last selection changes
  // and events must not reach the page through a half-destroyed view.
  QObject::disconnect(tree_, nullptr, this, nullptr);
  tree_->viewport()->removeEventFilter(this);
  tree_->removeEventFilter(this);
}

void StationPageWidget::SetRedraw(bool on) { tree_->setUpdatesEnabled(on); }

void StationPageWidget::DeleteAllItems() { tree_->clear(); }

TreeItem StationPageWidget::InsertItem(const std::string& text, int image, TreeItem parent,
                                       void* data) {
  auto* item = new QTreeWidgetItem();
  item->setText(0, FromNarrow(text));
  item->setToolTip(0, FromNarrow(text));
  if (image >= 0 && image < static_cast<int>(icons_.size())) {
    item->setIcon(0, icons_[static_cast<size_t>(image)]);
  }
  item->setData(0, Qt::UserRole, image);
  item->setData(0, Qt::UserRole + 1, QVariant::fromValue<void*>(data));
  if (parent) {
    static_cast<QTreeWidgetItem*>(parent)->addChild(item);
  } else {
    tree_->addTopLevelItem(item);
  }
  return item;
}

void StationPageWidget::SetItemText(TreeItem item, const std::string& text) {
  auto* it = static_cast<QTreeWidgetItem*>(item);
  it->setText(0, FromNarrow(text));
  it->setToolTip(0, FromNarrow(text));
}

void StationPageWidget::SelectItem(TreeItem item) {
  auto* it = static_cast<QTreeWidgetItem*>(item);
  for (QTreeWidgetItem* p = it->parent(); p; p = p->parent()) p->setExpanded(true);
  tree_->setCurrentItem(it, 0, QItemSelectionModel::ClearAndSelect);
  tree_->scrollToItem(it);
}

TreeItem StationPageWidget::GetSelectedItem() {
  const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
  return selected.isEmpty() ? nullptr : selected.front();
}

int StationPageWidget::GetItemImage(TreeItem item) {
  return static_cast<QTreeWidgetItem*>(item)->data(0, Qt::UserRole).toInt();
}

void* StationPageWidget::GetItemData(TreeItem item) {
  return static_cast<QTreeWidgetItem*>(item)->data(0, Qt::UserRole + 1).value<void*>();
}

TreeItem StationPageWidget::GetParentItem(TreeItem item) {
  return static_cast<QTreeWidgetItem*>(item)->parent();
}

void StationPageWidget::DeleteItem(TreeItem item) {
  auto* it = static_cast<QTreeWidgetItem*>(item);
  QTreeWidgetItem* parent = it->parent();
  const bool had_selection = GetSelectedItem() != nullptr;
  // The next sibling takes the selection, else the previous one, else the
  // parent; chosen before the item goes, from the item itself rather than
  // from wherever the tree's focused item happens to be.
  const int row = parent ? parent->indexOfChild(it) : tree_->indexOfTopLevelItem(it);
  auto sibling = [&](int r) { return parent ? parent->child(r) : tree_->topLevelItem(r); };
  QTreeWidgetItem* next = sibling(row + 1);
  if (next == nullptr) next = sibling(row - 1);
  if (next == nullptr) next = parent;
  delete it;
  if (had_selection && next) SelectItem(next);
}

void StationPageWidget::Expand(TreeItem item) {
  static_cast<QTreeWidgetItem*>(item)->setExpanded(true);
}

void StationPageWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  page_.OnShow(true);
}

void StationPageWidget::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  page_.OnShow(false);
}

// ------------------------------------------------------------- port page

PortPageWidget::PortPageWidget(QWidget* parent, CCommPortPage& page)
    : QWidget(parent), page_(page), controls_(this) {
  setObjectName("page9003");
  setWindowTitle(QString::fromUtf8(CCommPortPage::kCaption));
  const DialogUnits du(font());
  MakeFrame(this, du, 16, 41, 140, 22);
  MakeFrame(this, du, 16, 77, 60, 36);
  MakeFrame(this, du, 84, 77, 72, 36);

  MakeLabel(this, du, "통신포트", 16, 15, 28, 8);
  port_list_ = MakeList(this, du, kIdPortList, 45, 12, 42);
  baud_label_ = MakeLabel(this, du, "전송속도", 90, 15, 28, 8);
  baud_list_ = MakeList(this, du, kIdBaudList, 120, 12, 36);
  for (const char* entry : CCommPortPage::kBaudEntries) {
    baud_list_->addItem(QString::fromUtf8(entry));
  }
  controls_.Add(kIdPortList, port_list_);
  controls_.Add(kIdBaudList, baud_list_);
  // Activated is the user's choice, also of the entry already shown; the
  // page tells a real change from that.
  connect(port_list_, &QComboBox::activated, this,
          [this](int) { page_.OnControlChanged(kIdPortList); });
  connect(baud_list_, &QComboBox::activated, this,
          [this](int) { page_.OnControlChanged(kIdBaudList); });

  struct Radio {
    int id;
    const char* text;
    int x, y, w;
  };
  const Radio parity[] = {{kIdParityNone, "None", 28, 45, 32},
                          {kIdParityEven, "Even", 72, 45, 32},
                          {kIdParityOdd, "Odd", 116, 45, 29}};
  const Radio data_bits[] = {{kIdDataBits7, "7 Bits", 28, 85, 34},
                             {kIdDataBits8, "8 Bits", 28, 100, 34}};
  const Radio stop_bits[] = {{kIdStopBits1, "1 Stop Bit", 96, 85, 47},
                             {kIdStopBits2, "2 Stop Bits", 96, 100, 51}};
  auto add_group = [&](const char* label, int lx, int ly, int lw, const Radio* radios, int n) {
    MakeLabel(this, du, label, lx, ly, lw, 8);
    auto* group = new QButtonGroup(this);
    for (int i = 0; i < n; ++i) {
      auto* radio = new QRadioButton(QString::fromUtf8(radios[i].text), this);
      radio->setObjectName(Name("radio", radios[i].id));
      radio->setGeometry(du.Rect(radios[i].x, radios[i].y, radios[i].w, 10));
      radio->setEnabled(false);
      group->addButton(radio);
      controls_.Add(radios[i].id, radio);
      const int id = radios[i].id;
      connect(radio, &QRadioButton::clicked, this, [this, id] { page_.OnControlChanged(id); });
    }
  };
  add_group("Parity", 16, 33, 24, parity, 3);
  add_group("Data Bits", 16, 69, 32, data_bits, 2);
  add_group("Stop Bit(s)", 84, 69, 36, stop_bits, 2);

  auto* checksum = new QCheckBox(QString::fromUtf8("Check Sum 사용"), this);
  checksum->setObjectName(Name("check", kIdChecksum));
  checksum->setGeometry(du.Rect(16, 120, 67, 10));
  checksum->setEnabled(false);
  auto* rts = new QCheckBox(QString::fromUtf8("RTS/CTS 제어"), this);
  rts->setObjectName(Name("check", kIdRtsCts));
  rts->setGeometry(du.Rect(16, 135, 64, 10));
  controls_.Add(kIdChecksum, checksum);
  controls_.Add(kIdRtsCts, rts);
  connect(checksum, &QCheckBox::clicked, this, [this] { page_.OnControlChanged(kIdChecksum); });
  connect(rts, &QCheckBox::clicked, this, [this] { page_.OnControlChanged(kIdRtsCts); });
}

void PortPageWidget::FitLists() {
  // The port list grows to the right; the baud label and list move over
  // by as much as it would otherwise overlap them, and the baud list grows
  // in turn. Everything else keeps its place.
  FitListToEntries(port_list_);
  const int gap = DialogUnits(font()).X(kLabelGapDu);
  const int overlap = port_list_->geometry().right() + gap - baud_label_->x() + 1;
  if (overlap > 0) {
    baud_label_->move(baud_label_->x() + overlap, baud_label_->y());
    baud_list_->move(baud_list_->x() + overlap, baud_list_->y());
  }
  FitListToEntries(baud_list_);
}

void PortPageWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  page_.OnShow(true);
}

void PortPageWidget::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  page_.OnShow(false);
}

// ---------------------------------------------------- configuration dialog

ConfigDialog::ConfigDialog(CConfigDlg& logic, QWidget* parent)
    : QDialog(parent, FixedDialogFrame()), logic_(logic), du_(DialogFont()), tabs_(nullptr) {
  setObjectName("dlg9001");
  setFont(DialogFont());
  setWindowTitle(QString::fromUtf8(CConfigDlg::kCaption));
  setFixedSize(du_.Size(243, 203));

  tabs_ = new CTabSheet(this);
  tabs_->setObjectName(Name("tab", kIdTab));
  tabs_->setGeometry(du_.Rect(6, 6, 176, 192));

  QPushButton* edit = AddButton(kIdEdit, "편 집", 188, 20);
  AddButton(kIdDelete, "삭 제", 188, 40);
  AddButton(kIdAddStation, "스테이션 추가", 188, 64);
  AddButton(kIdAddBlock, "통신블록 추가", 188, 84);
  AddButton(kIdSave, "저 장", 188, 108);
  AddButton(kIdCancel, "종 료", 188, 128);
  // Edit is the dialog's default button: Enter runs the edit command while
  // edit is enabled and does nothing while it is disabled. A push button
  // with the focus takes over the default frame for as long as it has it,
  // and Enter then presses that button (the buttons' auto-default, which a
  // dialog gives them). In the tree, Enter is the edit command.
  edit->setDefault(true);
  ShowButtonFocus(this);
  // Ctrl+Tab and Ctrl+Shift+Tab turn the pages, wherever the focus is.
  const auto turn = [this](int step) {
    return [this, step] {
      const int count = tabs_->GetPageCount();
      if (count > 0) tabs_->SetActivePage((tabs_->GetActiveIndex() + step + count) % count);
    };
  };
  connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Tab), this), &QShortcut::activated, this,
          turn(+1));
  for (const QKeySequence& keys : {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab),
                                   QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab)}) {
    connect(new QShortcut(keys, this), &QShortcut::activated, this, turn(-1));
  }

  connect(buttons_[kIdEdit], &QPushButton::clicked, this, [this] { logic_.OnEdit(); });
  connect(buttons_[kIdDelete], &QPushButton::clicked, this, [this] { logic_.OnDelete(); });
  connect(buttons_[kIdAddStation], &QPushButton::clicked, this, [this] { logic_.OnAddStation(); });
  connect(buttons_[kIdAddBlock], &QPushButton::clicked, this, [this] { logic_.OnAddBlock(); });
  connect(buttons_[kIdSave], &QPushButton::clicked, this, [this] { logic_.OnSave(); });
  connect(buttons_[kIdCancel], &QPushButton::clicked, this, [this] { reject(); });

  logic_.OnInitDialog(this);
  // The tree has the focus at the start, so the arrow keys and Enter work
  // on it at once.
  if (station_page_) station_page_->Tree()->setFocus(Qt::OtherFocusReason);
}

QPushButton* ConfigDialog::AddButton(int id, const char* text, int x, int y) {
  QPushButton* button = MakeButton(this, du_, id, text, x, y, 48, 14);
  buttons_[id] = button;
  return button;
}

void ConfigDialog::EnableButton(int id, bool enabled) {
  const auto it = buttons_.find(id);
  if (it != buttons_.end()) it->second->setEnabled(enabled);
}

void ConfigDialog::AddPage(int page) {
  if (page == kStationPageIndex) {
    station_page_ = new StationPageWidget(tabs_, logic_.StationPage());
    logic_.StationPage().OnInitDialog(station_page_);
    tabs_->AddPage(station_page_);
  } else if (page == kPortPageIndex) {
    port_page_ = new PortPageWidget(tabs_, logic_.PortPage());
    logic_.PortPage().OnInitDialog(&port_page_->Controls());
    port_page_->FitLists();
    tabs_->AddPage(port_page_);
  }
}

void ConfigDialog::SetActivePage(int page) { tabs_->SetActivePage(page); }

bool ConfigDialog::AskYesNo(int string_id) { return AskQuestion(this, string_id); }

int ConfigDialog::RunStationDlg(CStationDlg& dlg) {
  StationDialog window(this, dlg);
  return window.exec() == QDialog::Accepted ? kIdOk : kIdCancel;
}

int ConfigDialog::RunBlockDlg(CCommBlockDlg& dlg) {
  BlockDialog window(this, dlg);
  return window.exec() == QDialog::Accepted ? kIdOk : kIdCancel;
}

void ConfigDialog::EndDialog(int result) {
  QDialog::done(result == kIdOk ? QDialog::Accepted : QDialog::Rejected);
}

void ConfigDialog::reject() { logic_.OnCancel(); }

void ConfigDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  ShowFocusFromTheStart(this);
}

// -------------------------------------------------------- station dialog

StationDialog::StationDialog(QWidget* parent, CStationDlg& logic)
    : QDialog(parent, FixedDialogFrame()), logic_(logic), controls_(this) {
  setObjectName("dlg9004");
  setFont(DialogFont());
  setWindowTitle(QString::fromUtf8("스테이션 설정"));
  const DialogUnits du(font());
  setFixedSize(du.Size(199, 123));

  MakeLabel(this, du, "스테이션 이름", 8, 11, 46, 8);
  QLineEdit* name = MakeEdit(this, du, kIdName, 56, 8, 88, 14, true);
  MakeLabel(this, du, "통신보드 국번", 8, 31, 46, 8);
  QLineEdit* number = MakeEdit(this, du, kIdNumber, 56, 28, 32 - kSpinWidthDu, 14, true);
  auto* spin =
      new UpDownCtrl(this, number, [this](int delta) { logic_.HexSpin().OnDeltaPos(delta); });
  spin->setObjectName(Name("spin", kIdNumberSpin));
  spin->setGeometry(du.Rect(56 + 32 - kSpinWidthDu, 28, kSpinWidthDu, 14));
  MakeLabel(this, du, "(1H - FFH)", 92, 31, 44, 8);
  MakeLabel(this, du, "스테이션 설명", 8, 51, 46, 8);
  // One line of text in a tall box: shown wrapped, so the whole of it reads.
  auto* description = new WrappedLineEdit(this);
  description->setObjectName(Name("edit", kIdDescription));
  description->setGeometry(du.Rect(56, 50, 88, 66));
  QPushButton* ok = MakeButton(this, du, kIdOk, "등 록", 152, 8, 40, 14);
  QPushButton* cancel = MakeButton(this, du, kIdCancel, "취 소", 152, 30, 40, 14);
  ok->setDefault(true);
  ShowButtonFocus(this);
  connect(ok, &QPushButton::clicked, this, [this] { accept(); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });

  controls_.Add(kIdName, name);
  controls_.Add(kIdNumber, number);
  controls_.Add(kIdNumberSpin, spin);
  controls_.Add(kIdDescription, description);
  logic_.OnInitDialog(&controls_);
  name->setFocus();
}

void StationDialog::accept() {
  if (logic_.OnOK()) QDialog::accept();
}

void StationDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  ShowFocusFromTheStart(this);
}

// ---------------------------------------------------------- block dialog

BlockDialog::BlockDialog(QWidget* parent, CCommBlockDlg& logic)
    : QDialog(parent, FixedDialogFrame()), logic_(logic), controls_(this) {
  setObjectName("dlg9005");
  setFont(DialogFont());
  setWindowTitle(QString::fromUtf8("통신블록 설정"));
  const DialogUnits du(font());
  setFixedSize(du.Size(159, 135));

  MakeFrame(this, du, 8, 8, 144, 92);
  MakeLabel(this, du, "데이터 종류", 16, 20, 39, 8, true);
  QComboBox* area = MakeList(this, du, kIdArea, 60, 16, 88);
  for (const DeviceArea& a : kDeviceAreas) area->addItem(QString::fromUtf8(a.list_entry));
  MakeLabel(this, du, "선두어드레스", 12, 40, 44, 8, true);
  QLineEdit* start = MakeEdit(this, du, kIdStart, 60, 36, 88, 14, true);
  MakeLabel(this, du, "데이터 개수", 16, 59, 40, 8, true);
  QLineEdit* count = MakeEdit(this, du, kIdCount, 60, 56, 32 - kSpinWidthDu, 14, false);
  auto* count_spin = new UpDownCtrl(this, count, nullptr);
  count_spin->setObjectName(Name("spin", kIdCountSpin));
  count_spin->setGeometry(du.Rect(60 + 32 - kSpinWidthDu, 56, kSpinWidthDu, 14));
  count_spin->SetOnStep([count, count_spin](int delta) {
    StepIntegerBuddy(count, count_spin->Lower(), count_spin->Upper(), delta);
  });
  MakeLabel(this, du, "(Bit : 1 - 8)", 96, 55, 52, 8);
  MakeLabel(this, du, "통신주기", 28, 79, 28, 8, true);
  QLineEdit* period = MakeEdit(this, du, kIdPeriod, 60, 76, 32 - kSpinWidthDu, 14, false);
  auto* period_spin = new CFloatSpinCtrl(this);
  period_spin->setObjectName(Name("spin", kIdPeriodSpin));
  period_spin->setGeometry(du.Rect(60 + 32 - kSpinWidthDu, 76, kSpinWidthDu, 14));
  period_spin->SetBuddy(period);
  MakeLabel(this, du, "(초) ", 96, 79, 16, 8);
  QPushButton* ok = MakeButton(this, du, kIdOk, "등 록", 36, 112, 40, 14);
  QPushButton* cancel = MakeButton(this, du, kIdCancel, "취 소", 92, 112, 40, 14);
  MakeLabel(this, du, "(Word : 1 ~ 60)", 96, 65, 52, 8);
  ok->setDefault(true);
  ShowButtonFocus(this);
  connect(ok, &QPushButton::clicked, this, [this] { accept(); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });

  controls_.Add(kIdArea, area);
  controls_.Add(kIdStart, start);
  controls_.Add(kIdCount, count);
  controls_.Add(kIdCountSpin, count_spin);
  controls_.Add(kIdPeriod, period);
  controls_.Add(kIdPeriodSpin, period_spin);
  logic_.OnInitDialog(&controls_);
  FitListToEntries(area);
  area->setFocus();
}

void BlockDialog::accept() {
  if (logic_.OnOK()) QDialog::accept();
}

void BlockDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  ShowFocusFromTheStart(this);
}

}  // namespace dravik::qt
