// The editor's Qt windows: the configuration dialog (9001) with its station
// tree page (9002) and port page (9003), and the station (9004) and block
// (9005) dialogs. Each window implements the view its logic class talks to
// and forwards the user's actions to that logic. Controls carry object names
// from their ids ("btn9007", "edit9023", "tree9012", ...). GUI thread only.
#pragma once

#include <QDialog>
#include <QTreeWidget>
#include <QWidget>
#include <map>
#include <vector>

#include "editor/editor_views.h"
#include "editor/qt/qt_controls.h"

class QComboBox;
class QLabel;
class QPushButton;
class CTabSheet;

namespace dravik {
class CConfigDlg;
class CStationPage;
class CCommPortPage;
}  // namespace dravik

namespace dravik::qt {

// A tree control that draws connecting lines and boxed expand buttons.
class LinedTree : public QTreeWidget {
 public:
  using QTreeWidget::QTreeWidget;

 protected:
  void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;
};

// The station page. Its tree reports the selection (not the focused item)
// to the page, and labels wider than the tree scroll sideways.
class StationPageWidget : public QWidget, public ITreeView {
 public:
  StationPageWidget(QWidget* parent, CStationPage& page);
  ~StationPageWidget() override;
  QTreeWidget* Tree() const { return tree_; }

  void SetRedraw(bool on) override;
  void DeleteAllItems() override;
  TreeItem InsertItem(const std::string& text, int image, TreeItem parent, void* data) override;
  void SetItemText(TreeItem item, const std::string& text) override;
  void SelectItem(TreeItem item) override;
  TreeItem GetSelectedItem() override;
  int GetItemImage(TreeItem item) override;
  void* GetItemData(TreeItem item) override;
  TreeItem GetParentItem(TreeItem item) override;
  void DeleteItem(TreeItem item) override;
  void Expand(TreeItem item) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  CStationPage& page_;
  LinedTree* tree_;
  std::vector<QIcon> icons_;
};

class PortPageWidget : public QWidget {
 public:
  PortPageWidget(QWidget* parent, CCommPortPage& page);
  QtControls& Controls() { return controls_; }
  // Once the lists are filled: widens them so every entry can be read.
  void FitLists();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  CCommPortPage& page_;
  QtControls controls_;
  QComboBox* port_list_ = nullptr;
  QLabel* baud_label_ = nullptr;
  QComboBox* baud_list_ = nullptr;
};

// The main dialog. Its edit button is the default button: Enter runs the
// edit command while edit is enabled and does nothing otherwise, unless a
// push button has the focus: that button then carries the default frame and
// Enter presses it. In the tree, Enter is the edit command for the
// selection. Ctrl+Tab and Ctrl+Shift+Tab turn the pages.
class ConfigDialog : public QDialog, public IConfigView {
 public:
  explicit ConfigDialog(CConfigDlg& logic, QWidget* parent = nullptr);

  void EnableButton(int id, bool enabled) override;
  void AddPage(int page) override;
  void SetActivePage(int page) override;
  bool AskYesNo(int string_id) override;
  int RunStationDlg(CStationDlg& dlg) override;
  int RunBlockDlg(CCommBlockDlg& dlg) override;
  void EndDialog(int result) override;

  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QPushButton* AddButton(int id, const char* text, int x, int y);

  CConfigDlg& logic_;
  DialogUnits du_;
  CTabSheet* tabs_;
  std::map<int, QPushButton*> buttons_;
  StationPageWidget* station_page_ = nullptr;
  PortPageWidget* port_page_ = nullptr;
};

class StationDialog : public QDialog {
 public:
  StationDialog(QWidget* parent, CStationDlg& logic);
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  CStationDlg& logic_;
  QtControls controls_;
};

class BlockDialog : public QDialog {
 public:
  BlockDialog(QWidget* parent, CCommBlockDlg& logic);
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  CCommBlockDlg& logic_;
  QtControls controls_;
};

}  // namespace dravik::qt
