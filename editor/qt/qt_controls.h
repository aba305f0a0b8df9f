// Building blocks of the editor's Qt face: dialog-unit geometry from the
// dialog font, the window frame of the fixed-size dialogs, visible focus on
// push buttons, the control map that implements IControlView over Qt
// widgets, the small up/down control, the edit fields (upper-case forcing,
// long texts shown from their start, a one-line text wrapped over a tall
// box), and message boxes for questions, prompts and the host's error box.
// GUI thread only.
#pragma once

#include <QFont>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRect>
#include <QString>
#include <QValidator>
#include <QWidget>
#include <functional>
#include <map>
#include <string>

#include "editor/editor_views.h"

class QComboBox;
class QLabel;
class QToolButton;
class CFloatSpinCtrl;

namespace dravik::qt {

// "MS Sans Serif" 8 pt, the dialogs' font, with a Korean fallback.
QFont DialogFont();

// Dialog units of a font: base units from its average character width and
// height; x = du_x * base_x / 4, y = du_y * base_y / 8.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int du) const;
  int Y(int du) const;
  QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }
  QSize Size(int w, int h) const { return QSize(X(w), Y(h)); }
  double BaseX() const { return base_x_; }
  double BaseY() const { return base_y_; }

 private:
  double base_x_;
  double base_y_;
};

// The frame of a dialog that cannot be resized: caption, system menu and
// (unless `close_box` is false) a close box; never a minimise or maximise
// box.
Qt::WindowFlags FixedDialogFrame(bool close_box = true);

// Makes the keyboard focus visible on every push button under `window`, the
// default button included: a dotted rectangle inside the focused button.
// Some styles draw a focused button exactly like the default one, so
// neither the focus nor the default frame's move to the focused button
// could be seen. Call once the buttons exist.
void ShowButtonFocus(QWidget* window);

// A single-line edit field that keeps the start of a long text in view: when
// its text is set and when the Tab key selects it all, the cursor stands at
// the beginning (the selection still covers the whole text).
class FieldEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;
  // Selects the whole text with the cursor at its start.
  void SelectAllFromStart();

 protected:
  void focusInEvent(QFocusEvent* event) override;
};

// A one-line text shown wrapped over the lines of a tall box, so that the
// whole of it can be read. It holds no line breaks: Enter goes to the
// dialog (its default button), pasted line breaks become blanks, and Tab
// moves the focus on.
class WrappedLineEdit : public QPlainTextEdit {
 public:
  explicit WrappedLineEdit(QWidget* parent);
  void SetText(const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void insertFromMimeData(const QMimeData* source) override;
};

// Forces letters to upper case as the user types.
class UpperCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

// An up/down pair of arrows beside a buddy field; the arrow keys in the
// buddy step too. What a step does is the owner's `on_step`.
class UpDownCtrl : public QWidget {
 public:
  UpDownCtrl(QWidget* parent, QLineEdit* buddy, std::function<void(int)> on_step);
  void SetOnStep(std::function<void(int)> on_step) { on_step_ = std::move(on_step); }
  void Step(int delta) {
    if (on_step_) on_step_(delta);
  }
  int Lower() const { return lower_; }
  int Upper() const { return upper_; }
  void SetRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QToolButton* up_;
  QToolButton* down_;
  std::function<void(int)> on_step_;
  int lower_ = 0;
  int upper_ = 100;
};

// Writes the integer after one step into the buddy, clamped to the range
// (the standard spin with an integer buddy).
void StepIntegerBuddy(QLineEdit* buddy, int lower, int upper, int delta);

// The caption used for the editor's message boxes.
QString MessageTitle();
// A plain Yes/No question with an editor string; object name "msg<id>".
// Only Yes or No answers it: Escape and the close box do nothing.
bool AskQuestion(QWidget* parent, int string_id);
// The host's error box: object name "err<id>".
void ShowErrorBox(QWidget* parent, int id, const char* message);
// The toolkit's prompt for a field; object name "prompt".
void ShowPromptBox(QWidget* parent, const std::string& text);

// Qt text from the narrow UTF-8 strings the model uses, and back; CR LF is
// shown as a line break.
QString FromNarrow(const std::string& text);
std::string ToNarrow(const QString& text);

// IControlView over registered widgets, by control id.
class QtControls : public IControlView {
 public:
  explicit QtControls(QWidget* owner) : owner_(owner) {}
  void Add(int id, QWidget* widget) { widgets_[id] = widget; }
  QWidget* Widget(int id) const;

  std::string GetText(int id) override;
  void SetText(int id, const std::string& text) override;
  int GetCurSel(int id) override;
  void SetCurSel(int id, int index) override;
  void AddString(int id, const std::string& text) override;
  int GetCheck(int id) override;
  void SetCheck(int id, int checked) override;
  void EnableWindow(int id, bool enabled) override;
  void SetSpinRange(int id, int lower, int upper) override;
  void SetFloatSpin(int id, float lower, float upper, float step) override;
  void SetFocus(int id) override;
  void ShowPrompt(const std::string& text) override;

 private:
  QWidget* owner_;
  std::map<int, QWidget*> widgets_;
};

// Width in pixels of the field in which a drop-down list shows its chosen
// entry, at the list's present size.
int ListTextRoom(const QComboBox* combo);
// Widens a drop-down list until every one of its entries fits that field
// in the list's font; returns the pixels added (0 when all fit already).
int FitListToEntries(QComboBox* combo);
// Makes a drop-down list pop up as a list below the box, with a scroll bar
// past its maximum of visible entries, in every style (some styles would
// show a menu as tall as the screen instead).
void UseDropDownPopup(QComboBox* combo);

// Widget factories that set the object name from the control id.
QLabel* MakeLabel(QWidget* parent, const DialogUnits& du, const char* text, int x, int y, int w,
                  int h, bool right_aligned = false);

}  // namespace dravik::qt
