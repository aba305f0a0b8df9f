#include "editor/qt/qt_controls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QSpacerItem>
#include <QStyleOptionComboBox>
#include <QToolButton>
#include <algorithm>
#include <cmath>

#include "host/ui/tarsel_sub_ui.h"
#include "model/string_table.h"

namespace dravik::qt {

QFont DialogFont() {
  QFont font;
  font.setFamilies({"MS Sans Serif", "NanumGothic", "DejaVu Sans"});
  font.setPointSize(8);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetricsF metrics(font);
  static const QString kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  base_x_ = metrics.horizontalAdvance(kAlphabet) / 52.0;
  base_y_ = metrics.height();
}

int DialogUnits::X(int du) const { return static_cast<int>(std::lround(du * base_x_ / 4.0)); }
int DialogUnits::Y(int du) const { return static_cast<int>(std::lround(du * base_y_ / 8.0)); }

Qt::WindowFlags FixedDialogFrame(bool close_box) {
  // Spelled out in full: left to itself the toolkit adds frame buttons of
  // its own choosing.
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::MSWindowsFixedSizeDialogHint;
  if (close_box) flags |= Qt::WindowCloseButtonHint;
  return flags;
}

namespace {
// Distance of the focus rectangle from the button's edge, in pixels: inside
// the style's bevel, clear of the label.
constexpr int kFocusInset = 3;

class ButtonFocusStyle : public QProxyStyle {
 public:
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    QProxyStyle::drawControl(element, option, painter, widget);
    if (element != CE_PushButton || !(option->state & State_HasFocus)) return;
    painter->save();
    QPen pen(option->palette.color(QPalette::ButtonText));
    pen.setStyle(Qt::DotLine);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(
        option->rect.adjusted(kFocusInset, kFocusInset, -kFocusInset - 1, -kFocusInset - 1));
    painter->restore();
  }
};

// Room a title bar takes beside its caption: the frame's icon, three frame
// buttons and the padding between them, in pixels.
constexpr int kTitleBarExtras = 144;
// The smallest title bar font size assumed, in points; window managers
// commonly draw captions larger and bolder than the dialog font.
constexpr double kTitleFontPoints = 11.0;

// A message box sizes itself to its text, and a caption wider than the box
// would be cut in its title bar. The box is kept at least as wide as the
// caption in a title bar font, with room for the frame's icon and buttons.
void FitCaption(QMessageBox& box) {
  QFont font = QApplication::font("QMdiSubWindowTitleBar");
  font.setBold(true);
  font.setPointSizeF(std::max(font.pointSizeF(), kTitleFontPoints));
  const int width = QFontMetrics(font).horizontalAdvance(box.windowTitle()) + kTitleBarExtras;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(width, 0), grid->rowCount(), 0, 1, grid->columnCount());
  }
}

void PrepareBox(QMessageBox& box, const QString& name) {
  box.setObjectName(name);
  FitCaption(box);
  ShowButtonFocus(&box);
}

// Has no Cancel, so nothing but its two buttons answers it.
class YesNoBox : public QMessageBox {
 public:
  YesNoBox(QWidget* parent, const QString& text)
      : QMessageBox(QMessageBox::Question, MessageTitle(), text, QMessageBox::Yes | QMessageBox::No,
                    parent) {
    // The box adds a close box of its own; the frame takes it away again.
    setWindowFlags(FixedDialogFrame(false));
  }
  void reject() override {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->matches(QKeySequence::Cancel)) {
      event->accept();
      return;
    }
    QMessageBox::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override { event->ignore(); }
};
}  // namespace

void ShowButtonFocus(QWidget* window) {
  // One style for the window's buttons; as its child it outlives them.
  auto* style = new ButtonFocusStyle();
  style->setParent(window);
  for (QPushButton* button : window->findChildren<QPushButton*>()) button->setStyle(style);
}

void FieldEdit::SelectAllFromStart() {
  const auto length = static_cast<int>(text().size());
  setSelection(length, -length);
}

void FieldEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  if (!text().isEmpty() && selectedText() == text()) SelectAllFromStart();
}

WrappedLineEdit::WrappedLineEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setTabChangesFocus(true);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void WrappedLineEdit::SetText(const QString& text) {
  setPlainText(text);
  moveCursor(QTextCursor::Start);
}

void WrappedLineEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->ignore();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void WrappedLineEdit::insertFromMimeData(const QMimeData* source) {
  if (!source->hasText()) return;
  QString text = source->text();
  text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  text.replace(QChar('\r'), QChar(' '));
  text.replace(QChar('\n'), QChar(' '));
  insertPlainText(text);
}

QValidator::State UpperCaseValidator::validate(QString& input, int&) const {
  input = input.toUpper();
  return Acceptable;
}

UpDownCtrl::UpDownCtrl(QWidget* parent, QLineEdit* buddy, std::function<void(int)> on_step)
    : QWidget(parent),
      up_(new QToolButton(this)),
      down_(new QToolButton(this)),
      on_step_(std::move(on_step)) {
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);
  up_->setObjectName("up");
  down_->setObjectName("down");
  for (QToolButton* b : {up_, down_}) {
    b->setAutoRepeat(true);
    b->setFocusPolicy(Qt::NoFocus);
  }
  connect(up_, &QToolButton::clicked, this, [this] { Step(+1); });
  connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
  if (buddy) buddy->installEventFilter(this);
}

bool UpDownCtrl::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Step(key == Qt::Key_Up ? +1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void UpDownCtrl::resizeEvent(QResizeEvent*) {
  const int half = height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}

void StepIntegerBuddy(QLineEdit* buddy, int lower, int upper, int delta) {
  bool ok = false;
  long long value = buddy->text().trimmed().toLongLong(&ok);
  if (!ok) value = lower;
  value += delta;
  if (value > upper) value = upper;
  if (value < lower) value = lower;
  buddy->setText(QString::number(value));
}

QString MessageTitle() { return QString::fromUtf8("Dravik RS232/422"); }

QString FromNarrow(const std::string& text) {
  QString out = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return out;
}

std::string ToNarrow(const QString& text) { return text.toUtf8().toStdString(); }

bool AskQuestion(QWidget* parent, int string_id) {
  const char* text = EditorString(string_id);
  YesNoBox box(parent, FromNarrow(text ? text : ""));
  box.setDefaultButton(QMessageBox::Yes);
  PrepareBox(box, QString("msg%1").arg(string_id));
  return box.exec() == QMessageBox::Yes;
}

void ShowErrorBox(QWidget* parent, int id, const char* message) {
  QMessageBox box(QMessageBox::Warning, MessageTitle(), FromNarrow(message ? message : ""),
                  QMessageBox::Ok, parent);
  box.setWindowFlags(FixedDialogFrame());
  PrepareBox(box, QString("err%1").arg(id));
  box.exec();
}

void ShowPromptBox(QWidget* parent, const std::string& text) {
  QMessageBox box(QMessageBox::Warning, MessageTitle(), FromNarrow(text), QMessageBox::Ok, parent);
  box.setWindowFlags(FixedDialogFrame());
  PrepareBox(box, "prompt");
  box.exec();
}

QWidget* QtControls::Widget(int id) const {
  const auto it = widgets_.find(id);
  return it == widgets_.end() ? nullptr : it->second;
}

std::string QtControls::GetText(int id) {
  if (auto* edit = qobject_cast<QLineEdit*>(Widget(id))) return ToNarrow(edit->text());
  if (auto* edit = qobject_cast<QPlainTextEdit*>(Widget(id))) {
    return ToNarrow(edit->toPlainText());
  }
  if (auto* label = qobject_cast<QLabel*>(Widget(id))) return ToNarrow(label->text());
  return {};
}

void QtControls::SetText(int id, const std::string& text) {
  if (auto* edit = qobject_cast<QLineEdit*>(Widget(id))) {
    edit->setText(FromNarrow(text));
    // A text longer than the field is shown from its start.
    edit->setCursorPosition(0);
  } else if (auto* wrapped = dynamic_cast<WrappedLineEdit*>(Widget(id))) {
    wrapped->SetText(FromNarrow(text));
  } else if (auto* label = qobject_cast<QLabel*>(Widget(id))) {
    label->setText(FromNarrow(text));
  }
}

int QtControls::GetCurSel(int id) {
  auto* combo = qobject_cast<QComboBox*>(Widget(id));
  return combo ? combo->currentIndex() : -1;
}

void QtControls::SetCurSel(int id, int index) {
  if (auto* combo = qobject_cast<QComboBox*>(Widget(id))) {
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
  }
}

void QtControls::AddString(int id, const std::string& text) {
  if (auto* combo = qobject_cast<QComboBox*>(Widget(id))) combo->addItem(FromNarrow(text));
}

int QtControls::GetCheck(int id) {
  auto* button = qobject_cast<QAbstractButton*>(Widget(id));
  return button && button->isChecked() ? 1 : 0;
}

void QtControls::SetCheck(int id, int checked) {
  auto* button = qobject_cast<QAbstractButton*>(Widget(id));
  if (button == nullptr) return;
  // An exclusive group refuses to uncheck its checked button; a group with
  // no valid index must show none checked.
  QButtonGroup* group = button->group();
  const bool exclusive = group && group->exclusive();
  if (exclusive && !checked) group->setExclusive(false);
  button->setChecked(checked != 0);
  if (exclusive && !checked) group->setExclusive(true);
}

void QtControls::EnableWindow(int id, bool enabled) {
  if (QWidget* w = Widget(id)) w->setEnabled(enabled);
}

void QtControls::SetSpinRange(int id, int lower, int upper) {
  if (auto* spin = dynamic_cast<UpDownCtrl*>(Widget(id))) spin->SetRange(lower, upper);
}

void QtControls::SetFloatSpin(int id, float lower, float upper, float step) {
  if (auto* spin = dynamic_cast<CFloatSpinCtrl*>(Widget(id))) {
    spin->SetDeltaInc(step, 1);
    spin->SetRange(lower, upper);
  }
}

void QtControls::SetFocus(int id) {
  QWidget* w = Widget(id);
  if (w == nullptr) return;
  w->setFocus(Qt::OtherFocusReason);
  if (auto* field = dynamic_cast<FieldEdit*>(w)) {
    field->SelectAllFromStart();
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    edit->selectAll();
  }
}

void QtControls::ShowPrompt(const std::string& text) { ShowPromptBox(owner_, text); }

namespace {
// The style draws the chosen entry one pixel in from each side of the field.
constexpr int kListTextMargin = 2;

class DropDownPopupStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == QStyle::SH_ComboBox_Popup) return 0;
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};
}  // namespace

int ListTextRoom(const QComboBox* combo) {
  QStyleOptionComboBox option;
  option.initFrom(combo);
  option.editable = combo->isEditable();
  option.frame = combo->hasFrame();
  option.subControls = QStyle::SC_All;
  return combo->style()
      ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo)
      .width();
}

int FitListToEntries(QComboBox* combo) {
  const QFontMetrics metrics(combo->font());
  int longest = 0;
  for (int i = 0; i < combo->count(); ++i) {
    longest = std::max(longest, metrics.horizontalAdvance(combo->itemText(i)));
  }
  const int needed = longest + kListTextMargin;
  const int start = combo->width();
  // The field grows with the box in every style we know; a few rounds cover
  // one that reserves a share of the width for its arrow.
  for (int round = 0; round < 4; ++round) {
    const int room = ListTextRoom(combo);
    if (room >= needed) break;
    combo->resize(combo->width() + needed - room, combo->height());
  }
  return combo->width() - start;
}

void UseDropDownPopup(QComboBox* combo) {
  // A child of the box: it lives exactly as long as the box that uses it.
  auto* style = new DropDownPopupStyle();
  style->setParent(combo);
  combo->setStyle(style);
}

QLabel* MakeLabel(QWidget* parent, const DialogUnits& du, const char* text, int x, int y, int w,
                  int h, bool right_aligned) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setGeometry(du.Rect(x, y, w, h));
  label->setAlignment((right_aligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
  return label;
}

}  // namespace dravik::qt
