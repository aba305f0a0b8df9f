#include "editor/config_dlg.h"

#include <algorithm>
#include <memory>

#include "editor/comm_block_dlg.h"
#include "editor/station_dlg.h"
#include "model/dravik_doc.h"

namespace dravik {

CConfigDlg::CConfigDlg(CDravikNetDoc& doc) : doc_(doc) {}

void CConfigDlg::OnInitDialog(IConfigView* view) {
  view_ = view;
  port_page_.LoadSettings(this, doc_.Port());
  station_page_.SetOwner(this);
  if (view_ == nullptr) return;
  view_->AddPage(kStationPageIndex);
  view_->AddPage(kPortPageIndex);
  view_->SetActivePage(kStationPageIndex);
}

void CConfigDlg::EnableButton(int id, bool enabled) {
  if (view_) view_->EnableButton(id, enabled);
}

void CConfigDlg::OnEdit() {
  int kind = kItemRoot;
  void* record = station_page_.GetSelection(&kind);
  if (record == nullptr) return;
  if (kind == kItemStation) {
    RunStation(static_cast<CStationInfoDVK*>(record));
  } else if (kind == kItemBlock) {
    RunBlock(static_cast<CCommBlockDVK*>(record));
  }
}

void CConfigDlg::OnAddStation() { RunStation(nullptr); }

void CConfigDlg::OnAddBlock() { RunBlock(nullptr); }

void CConfigDlg::RunStation(CStationInfoDVK* editing) {
  if (view_ == nullptr) return;
  CStationDlg dlg(this, doc_, editing);
  if (view_->RunStationDlg(dlg) != kIdOk) return;
  std::unique_ptr<CStationInfoDVK> created;
  CStationInfoDVK* station = editing;
  if (station == nullptr) {
    created = std::make_unique<CStationInfoDVK>();
    station = created.get();
  }
  station->name = dlg.name;
  station->description = dlg.description;
  station->number = dlg.number;
  if (editing) {
    station_page_.UpdateStation(station);
  } else {
    station_page_.InsertStation(station);
    doc_.Stations().push_back(std::move(created));
  }
  modified_ = 1;
}

void CConfigDlg::RunBlock(CCommBlockDVK* editing) {
  if (view_ == nullptr) return;
  CStationInfoDVK* station = station_page_.CurrentStation();
  // The add-block button is disabled without a current station; a block
  // needs a station to belong to.
  if (station == nullptr) return;
  CCommBlockDlg dlg(this, doc_, station, editing);
  if (view_->RunBlockDlg(dlg) != kIdOk) return;
  std::unique_ptr<CCommBlockDVK> created;
  CCommBlockDVK* block = editing;
  if (block == nullptr) {
    created = std::make_unique<CCommBlockDVK>();
    block = created.get();
  }
  block->address_text = dlg.address_text;
  block->count = dlg.count;
  block->period_ms = dlg.PeriodMs();
  block->area = dlg.area;
  block->start = dlg.start;
  if (editing) {
    station_page_.UpdateBlock(block);
  } else {
    station_page_.InsertBlock(block);
    station->blocks.push_back(std::move(created));
  }
  modified_ = 1;
}

void CConfigDlg::OnDelete() {
  if (view_ == nullptr) return;
  int kind = kItemRoot;
  void* record = station_page_.GetSelection(&kind);
  if (record == nullptr) return;
  if (kind == kItemStation) {
    if (!view_->AskYesNo(2708)) return;
    auto& stations = doc_.Stations();
    const auto it = std::find_if(stations.begin(), stations.end(),
                                 [record](const auto& s) { return s.get() == record; });
    if (it == stations.end()) return;
    // Keep the record alive until its tree items are gone: the tree's
    // selection change during the deletion must not see a freed record.
    std::unique_ptr<CStationInfoDVK> removed = std::move(*it);
    stations.erase(it);
    station_page_.DeleteSelection();
  } else if (kind == kItemBlock) {
    if (!view_->AskYesNo(2706)) return;
    CStationInfoDVK* station = station_page_.CurrentStation();
    if (station == nullptr) return;
    auto& blocks = station->blocks;
    const auto it = std::find_if(blocks.begin(), blocks.end(),
                                 [record](const auto& b) { return b.get() == record; });
    if (it == blocks.end()) return;
    std::unique_ptr<CCommBlockDVK> removed = std::move(*it);
    blocks.erase(it);
    station_page_.DeleteSelection();
  } else {
    return;
  }
  modified_ = 1;
}

void CConfigDlg::OnSave() {
  port_page_.StoreSettings(doc_.Port());
  // A failed write has shown its error box; the changes stay unsaved, so the
  // close command asks again and the entry does not report a save that did
  // not happen.
  if (!doc_.SaveFileReporting()) return;
  port_page_.ClearChanged();
  modified_ = 0;
  saved_ = 1;
}

void CConfigDlg::OnCancel() {
  if (view_ && (modified_ || port_page_.Changed())) {
    // Yes and a save that fails (its box has said why): the dialog stays
    // open with the edits, so nothing the user asked to keep is thrown away.
    if (view_->AskYesNo(2709)) {
      OnSave();
      if (modified_ || port_page_.Changed()) return;
    }
  }
  if (view_) view_->EndDialog(kIdCancel);
}

}  // namespace dravik
