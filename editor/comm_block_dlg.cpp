#include "editor/comm_block_dlg.h"

#include <cstdint>

#include "editor/field_text.h"
#include "host/tarsel_sub.h"
#include "model/device_areas.h"
#include "model/dravik_doc.h"

namespace dravik {

namespace {
void ShowError(IControlView* view, int id, int focus) {
  CTarselError::ErrMsg(id, 0, nullptr);
  view->SetFocus(focus);
}
}  // namespace

CCommBlockDlg::CCommBlockDlg(CConfigDlg* parent, CDravikNetDoc& doc, CStationInfoDVK* station,
                             CCommBlockDVK* editing)
    : parent_(parent), doc_(doc), station_(station), editing_(editing) {
  if (editing_) {
    address_text = editing_->address_text;
    area = SplitAreaAddress(editing_->address_text, &address_text);
    period = static_cast<float>(editing_->period_ms) / 1000.0f;
    count = editing_->count;
  }
}

void CCommBlockDlg::OnInitDialog(IControlView* view) {
  view_ = view;
  view_->SetCurSel(kIdArea, area);
  view_->SetText(kIdStart, address_text);
  view_->SetText(kIdCount, std::to_string(count));
  view_->SetText(kIdPeriod, FormatFloatField(period));
  view_->SetSpinRange(kIdCountSpin, kCountLower, kCountUpper);
  view_->SetFloatSpin(kIdPeriodSpin, kPeriodLower, kPeriodUpper, kPeriodStep);
}

bool CCommBlockDlg::GetFields() {
  address_text = view_->GetText(kIdStart);

  const auto seconds = ParseFloatField(view_->GetText(kIdPeriod));
  if (!seconds || !(*seconds >= kPeriodLower && *seconds <= kPeriodUpper)) {
    view_->ShowPrompt(PromptNumberField("통신주기가", FormatFloatField(kPeriodLower),
                                        FormatFloatField(kPeriodUpper), false));
    view_->SetFocus(kIdPeriod);
    return false;
  }
  period = *seconds;

  const auto points = ParseIntField(view_->GetText(kIdCount));
  if (!points || *points < kCountLower || *points > kCountUpper) {
    // The range named is the one the chosen area takes: a word block holds
    // at most 60 words (counts of 61 to 480 meet error 2710 further on).
    const int chosen = view_->GetCurSel(kIdArea);
    const bool words = IsValidArea(chosen) && !IsBitArea(chosen);
    view_->ShowPrompt(PromptNumberField("데이터 개수가", std::to_string(kCountLower),
                                        std::to_string(words ? kMaxWordCount : kCountUpper), true));
    view_->SetFocus(kIdCount);
    return false;
  }
  count = static_cast<int>(*points);

  area = view_->GetCurSel(kIdArea);
  return true;
}

bool CCommBlockDlg::Overlaps() const {
  if (station_ == nullptr) return false;
  const int64_t new_first = start;
  const int64_t new_last = new_first + count - 1;
  for (const auto& block : station_->blocks) {
    if (block.get() == editing_ || block->area != area) continue;
    const int64_t first = block->start;
    const int64_t last = first + block->count - 1;
    if (new_first <= last && first <= new_last) return true;
  }
  return false;
}

bool CCommBlockDlg::OnOK() {
  if (view_ == nullptr) return false;
  if (!GetFields()) return false;

  address_text = TrimWhiteSpace(address_text);
  uint32_t first = 0;
  if (!ValidateBlockStart(address_text, area, &first)) {
    ShowError(view_, 2703, kIdStart);
    return false;
  }
  start = static_cast<int>(first);
  // The word limit is a property of the count alone, so it is judged before
  // the range check that combines count and start (the area is known valid
  // once the start address passed).
  if (!IsBitArea(area) && count > kMaxWordCount) {
    ShowError(view_, 2710, kIdCount);
    return false;
  }
  if (!BlockFitsArea(area, first, static_cast<uint32_t>(count))) {
    ShowError(view_, 2705, kIdCount);
    return false;
  }
  if (Overlaps()) {
    ShowError(view_, 2704, kIdStart);
    return false;
  }
  return true;
}

int CCommBlockDlg::PeriodMs() const { return static_cast<int>(period * 1000.0f); }

}  // namespace dravik
