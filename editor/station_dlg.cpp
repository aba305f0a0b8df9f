#include "editor/station_dlg.h"

#include <cstdint>
#include <cstdio>

#include "editor/field_text.h"
#include "host/tarsel_sub.h"
#include "model/device_areas.h"
#include "model/dravik_doc.h"

namespace dravik {

namespace {
constexpr int kNumberLower = 1;
constexpr int kNumberUpper = 255;

void ShowError(IControlView* view, int id, int focus) {
  CTarselError::ErrMsg(id, 0, nullptr);
  view->SetFocus(focus);
}
}  // namespace

CStationDlg::CStationDlg(CConfigDlg* parent, CDravikNetDoc& doc, CStationInfoDVK* editing)
    : parent_(parent), doc_(doc), editing_(editing) {
  if (editing_) {
    name = editing_->name;
    description = editing_->description;
    number = editing_->number;
  }
}

void CStationDlg::OnInitDialog(IControlView* view) {
  view_ = view;
  view_->SetText(kIdName, name);
  view_->SetText(kIdDescription, description);
  view_->SetText(kIdNumber, number_text);
  spin_.Attach(view_, kIdNumber);
  spin_.SetRange(kNumberLower, kNumberUpper);
  view_->SetSpinRange(kIdNumberSpin, kNumberLower, kNumberUpper);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(number));
  view_->SetText(kIdNumber, hex);
}

bool CStationDlg::OnOK() {
  if (view_ == nullptr) return false;
  name = view_->GetText(kIdName);
  number_text = view_->GetText(kIdNumber);
  description = view_->GetText(kIdDescription);

  name = TrimWhiteSpace(name);
  if (name.empty()) {
    ShowError(view_, 2700, kIdName);
    return false;
  }
  if (const int error = doc_.CheckStationName(name.c_str(), editing_); error != 0) {
    ShowError(view_, error, kIdName);
    return false;
  }
  uint32_t value = 0;
  const bool whole = ReadUnsigned(number_text, 16, &value);
  number = static_cast<int>(value);
  if (!whole) {
    ShowError(view_, 18, kIdNumber);
    return false;
  }
  if (const int error = doc_.CheckStationNumber(number, editing_); error != 0) {
    ShowError(view_, error, kIdNumber);
    return false;
  }
  return true;
}

}  // namespace dravik
