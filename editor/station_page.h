// CStationPage: tab page 0 of the configuration dialog. Shows the document
// as a tree (root, stations, blocks), keeps the current station that block
// commands apply to and drives the dialog's four command buttons from the
// selection. Holds no data of its own: item data point at the document's
// records. Owned by CConfigDlg; user-interface thread only.
#pragma once

#include "editor/editor_views.h"

namespace dravik {

class CConfigDlg;
class CStationInfoDVK;
class CCommBlockDVK;

// Item kinds; an item's image index is its kind.
enum TreeItemKind : int { kItemRoot = 0, kItemStation = 1, kItemBlock = 2 };

class CStationPage {
 public:
  static constexpr const char* kClassName = "CStationPage";
  static constexpr const char* kCaption = "스테이션";

  void SetOwner(CConfigDlg* owner) { owner_ = owner; }
  CConfigDlg* Owner() const { return owner_; }

  // The page window exists: fill the tree from the owner's document.
  void OnInitDialog(ITreeView* tree);
  // The page was shown (true) or hidden (false).
  void OnShow(bool visible);
  // The tree's selection moved to `item` (null: nothing selected, which
  // leaves no current station even when the tree still has a focused item).
  void OnSelChanged(TreeItem item);
  // A double click in the tree: the owner's edit command.
  void OnDblClick();
  // Enter in the tree: the edit command too, for the selected item, whether
  // or not the edit button is enabled (it does nothing without a record).
  void OnReturnKey();

  // The selected item's record (null for the root) and kind; null with kind
  // untouched when nothing is selected.
  void* GetSelection(int* kind);
  void InsertStation(CStationInfoDVK* station);
  void UpdateStation(CStationInfoDVK* station);
  void InsertBlock(CCommBlockDVK* block);
  void UpdateBlock(CCommBlockDVK* block);
  void DeleteSelection();
  void UpdateButtons();

  CStationInfoDVK* CurrentStation() const { return current_station_; }
  TreeItem RootItem() const { return root_; }

 private:
  ITreeView* tree_ = nullptr;
  CStationInfoDVK* current_station_ = nullptr;
  CConfigDlg* owner_ = nullptr;
  TreeItem root_ = nullptr;
};

}  // namespace dravik
