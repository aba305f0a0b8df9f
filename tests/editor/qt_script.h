// Drives modal Qt windows from a test the way a user would: a list of steps,
// each waiting for a modal window with a given object name to be active and
// then acting on it (typing, clicking). Each action runs from its own
// zero-delay timer so that a click which opens another modal window does not
// block the script. A stuck script closes every window and reports failure.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << text.toStdString(); }

namespace dravik::test {

// A QApplication for the whole test program (offscreen platform).
inline QApplication& App() {
  static int argc = 1;
  static char name[] = "editor_qt_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

template <typename T>
T* Find(QWidget* root, const QString& name) {
  T* found = root->findChild<T*>(name);
  EXPECT_NE(found, nullptr) << "no " << name.toStdString() << " in "
                            << root->objectName().toStdString();
  return found;
}

inline void Click(QWidget* root, const QString& name) {
  if (auto* b = Find<QAbstractButton>(root, name)) {
    EXPECT_TRUE(b->isEnabled()) << name.toStdString() << " is disabled";
    b->click();
  }
}

inline void Type(QWidget* root, const QString& name, const QString& text) {
  if (auto* e = Find<QWidget>(root, name)) {
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);  // what is typed replaces it all
    QTest::keyClicks(e, text);
  }
}

inline void ClickMessageButton(QWidget* box, QMessageBox::StandardButton which) {
  auto* mb = qobject_cast<QMessageBox*>(box);
  ASSERT_NE(mb, nullptr) << box->objectName().toStdString() << " is not a message box";
  QAbstractButton* b = mb->button(which);
  ASSERT_NE(b, nullptr);
  b->click();
}

inline QString MessageText(QWidget* box) {
  auto* mb = qobject_cast<QMessageBox*>(box);
  return mb ? mb->text() : QString();
}

// Saves a picture of `w` under the build folder's screenshots/.
inline void Shot(QWidget* w, const std::string& name) {
  const QString dir = QString::fromUtf8(DRAVIK_SCREENSHOT_DIR);
  QDir().mkpath(dir);
  EXPECT_TRUE(w->grab().save(dir + "/" + QString::fromStdString(name) + ".png"));
}

inline QTreeWidgetItem* ItemAt(QTreeWidget* tree, const std::vector<int>& path) {
  QTreeWidgetItem* item = nullptr;
  for (int i : path) {
    item = item ? item->child(i) : tree->topLevelItem(i);
    if (item == nullptr) return nullptr;
  }
  return item;
}

inline void ClickItem(QTreeWidget* tree, QTreeWidgetItem* item) {
  ASSERT_NE(item, nullptr);
  tree->scrollToItem(item);
  // The middle of the item, or of its visible part when it is wider.
  const QRect rect = tree->visualItemRect(item) & tree->viewport()->rect();
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
}

class ModalScript {
 public:
  using Action = std::function<void(QWidget*)>;

  ModalScript() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
    idle_.start();
  }
  ~ModalScript() { timer_.stop(); }

  // Waits for the modal window called `name`, then runs `action` on it.
  ModalScript& On(const QString& name, Action action) {
    steps_.push_back({name, std::move(action)});
    return *this;
  }
  bool Done() const { return steps_.empty() && !stuck_; }
  // Names of the windows the steps acted on, in order.
  const std::vector<std::string>& Seen() const { return seen_; }

 private:
  struct Step {
    QString name;
    Action action;
  };

  void Poll() {
    QWidget* active = QApplication::activeModalWidget();
    if (stuck_) {
      CloseAll(active);
      return;
    }
    if (active == nullptr) return;
    if (settle_.isValid() && settle_.elapsed() < 40) return;
    if (!steps_.empty() && active->objectName() == steps_.front().name) {
      Step step = std::move(steps_.front());
      steps_.pop_front();
      seen_.push_back(step.name.toStdString());
      settle_.start();
      idle_.start();
      QTimer::singleShot(0, active, [active, action = std::move(step.action)] { action(active); });
      return;
    }
    if (idle_.elapsed() > 5000) {
      ADD_FAILURE() << "waiting for "
                    << (steps_.empty() ? std::string("nothing") : steps_.front().name.toStdString())
                    << " but " << active->objectName().toStdString() << " is open";
      stuck_ = true;
    }
  }

  static void CloseAll(QWidget* active) {
    if (active == nullptr) return;
    if (auto* box = qobject_cast<QMessageBox*>(active)) {
      QTimer::singleShot(0, box, [box] { box->done(QMessageBox::No); });
    } else if (auto* dlg = qobject_cast<QDialog*>(active)) {
      QTimer::singleShot(0, dlg, [dlg] { dlg->QDialog::done(QDialog::Rejected); });
    }
  }

  QTimer timer_;
  QElapsedTimer settle_;
  QElapsedTimer idle_;
  std::deque<Step> steps_;
  std::vector<std::string> seen_;
  bool stuck_ = false;
};

}  // namespace dravik::test
