#include "editor/station_page.h"

#include "editor/config_dlg.h"
#include "model/dravik_doc.h"

namespace dravik {

void CStationPage::OnInitDialog(ITreeView* tree) {
  tree_ = tree;
  if (tree_ == nullptr || owner_ == nullptr) return;
  CDravikNetDoc& doc = owner_->Document();
  tree_->SetRedraw(false);
  tree_->DeleteAllItems();
  root_ = tree_->InsertItem(doc.Title(), kItemRoot, nullptr, nullptr);
  for (const auto& station : doc.Stations()) {
    station->tree_item = tree_->InsertItem(station->Label(), kItemStation, root_, station.get());
    for (const auto& block : station->blocks) {
      block->tree_item =
          tree_->InsertItem(block->Label(), kItemBlock, station->tree_item, block.get());
    }
  }
  tree_->Expand(root_);
  tree_->SetRedraw(true);
}

void CStationPage::OnShow(bool visible) {
  if (visible) UpdateButtons();
}

void CStationPage::OnSelChanged(TreeItem item) {
  if (tree_ == nullptr) return;
  if (item == nullptr) {
    current_station_ = nullptr;
  } else if (tree_->GetItemImage(item) < kItemBlock) {
    current_station_ = static_cast<CStationInfoDVK*>(tree_->GetItemData(item));
  } else {
    current_station_ =
        static_cast<CStationInfoDVK*>(tree_->GetItemData(tree_->GetParentItem(item)));
  }
  UpdateButtons();
}

void CStationPage::OnDblClick() {
  if (owner_) owner_->OnEdit();
}

void CStationPage::OnReturnKey() {
  if (owner_) owner_->OnEdit();
}

void* CStationPage::GetSelection(int* kind) {
  if (tree_ == nullptr) return nullptr;
  TreeItem item = tree_->GetSelectedItem();
  if (item == nullptr) return nullptr;
  *kind = tree_->GetItemImage(item);
  return tree_->GetItemData(item);
}

void CStationPage::InsertStation(CStationInfoDVK* station) {
  if (tree_ == nullptr) return;
  station->tree_item = tree_->InsertItem(station->Label(), kItemStation, root_, station);
  tree_->SelectItem(station->tree_item);
}

void CStationPage::UpdateStation(CStationInfoDVK* station) {
  if (tree_ == nullptr || station->tree_item == nullptr) return;
  tree_->SetItemText(station->tree_item, station->Label());
}

void CStationPage::InsertBlock(CCommBlockDVK* block) {
  if (tree_ == nullptr || current_station_ == nullptr) return;
  block->tree_item =
      tree_->InsertItem(block->Label(), kItemBlock, current_station_->tree_item, block);
  tree_->SelectItem(block->tree_item);
}

void CStationPage::UpdateBlock(CCommBlockDVK* block) {
  if (tree_ == nullptr || block->tree_item == nullptr) return;
  tree_->SetItemText(block->tree_item, block->Label());
}

void CStationPage::DeleteSelection() {
  if (tree_ == nullptr) return;
  TreeItem item = tree_->GetSelectedItem();
  if (item != nullptr) tree_->DeleteItem(item);
}

void CStationPage::UpdateButtons() {
  if (owner_ == nullptr) return;
  const bool has_station = current_station_ != nullptr;
  owner_->EnableButton(kIdEdit, has_station);
  owner_->EnableButton(kIdDelete, has_station);
  owner_->EnableButton(kIdAddStation, true);
  owner_->EnableButton(kIdAddBlock, has_station);
}

}  // namespace dravik
