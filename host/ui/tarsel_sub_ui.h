// Stand-in for the two user-interface controls of the host's support library:
// CTabSheet, a tab control that hosts pages and shows one at a time, and
// CFloatSpinCtrl, an up/down control that steps a decimal number in a buddy
// edit field. Qt widgets, owned by their parent widget; GUI thread only.
#pragma once

#include <QTabWidget>
#include <QWidget>

class QLineEdit;
class QToolButton;

// Pages are plain widgets; each page's window title is its tab label.
class CTabSheet : public QTabWidget {
 public:
  explicit CTabSheet(QWidget* parent = nullptr);
  // Appends a page; returns its index.
  int AddPage(QWidget* page);
  void SetActivePage(int index);
  int GetActiveIndex() const { return currentIndex(); }
  int GetPageCount() const { return count(); }
};

// Steps the buddy's number by the increment within the range; the buddy's
// text is the only state. The arrow keys in the buddy step too.
class CFloatSpinCtrl : public QWidget {
 public:
  explicit CFloatSpinCtrl(QWidget* parent = nullptr);
  void SetBuddy(QLineEdit* buddy);
  QLineEdit* GetBuddy() const { return buddy_; }
  void SetRange(double lower, double upper);
  // Increment per step and the number of decimals written back.
  void SetDeltaInc(double increment, int decimals);
  // One step up (+1) or down (-1); a text that is not a number starts from
  // the lower bound.
  void Step(int direction);

  double Lower() const { return lower_; }
  double Upper() const { return upper_; }
  double Increment() const { return increment_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QLineEdit* buddy_ = nullptr;
  QToolButton* up_;
  QToolButton* down_;
  double lower_ = 0.0;
  double upper_ = 100.0;
  double increment_ = 1.0;
  int decimals_ = 0;
};
