#include "host/ui/tarsel_sub_ui.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <cmath>

CTabSheet::CTabSheet(QWidget* parent) : QTabWidget(parent) {}

int CTabSheet::AddPage(QWidget* page) { return addTab(page, page->windowTitle()); }

void CTabSheet::SetActivePage(int index) {
  if (index >= 0 && index < count()) setCurrentIndex(index);
}

CFloatSpinCtrl::CFloatSpinCtrl(QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);
  for (QToolButton* b : {up_, down_}) {
    b->setAutoRepeat(true);
    b->setFocusPolicy(Qt::NoFocus);
  }
  up_->setObjectName("up");
  down_->setObjectName("down");
  connect(up_, &QToolButton::clicked, this, [this] { Step(+1); });
  connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

void CFloatSpinCtrl::SetBuddy(QLineEdit* buddy) {
  if (buddy_) buddy_->removeEventFilter(this);
  buddy_ = buddy;
  if (buddy_) buddy_->installEventFilter(this);
}

void CFloatSpinCtrl::SetRange(double lower, double upper) {
  lower_ = lower;
  upper_ = upper;
}

void CFloatSpinCtrl::SetDeltaInc(double increment, int decimals) {
  increment_ = increment;
  decimals_ = decimals < 0 ? 0 : decimals;
}

void CFloatSpinCtrl::Step(int direction) {
  if (buddy_ == nullptr) return;
  bool ok = false;
  double value = buddy_->text().trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(value)) value = lower_;
  value += direction * increment_;
  // Land on the grid of the written decimals so repeated steps do not drift.
  const double scale = std::pow(10.0, decimals_);
  value = std::round(value * scale) / scale;
  if (value > upper_) value = upper_;
  if (value < lower_) value = lower_;
  buddy_->setText(QString::number(value, 'f', decimals_));
}

bool CFloatSpinCtrl::eventFilter(QObject* watched, QEvent* event) {
  if (watched == buddy_ && event->type() == QEvent::KeyPress && isEnabled()) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Step(key == Qt::Key_Up ? +1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void CFloatSpinCtrl::resizeEvent(QResizeEvent*) {
  const int half = height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}
