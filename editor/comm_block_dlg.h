// CCommBlockDlg: the logic of the communication block dialog (resource 9005).
// It collects a block's device area, start address, count and period for
// adding or editing and validates them on OK (address syntax, area range,
// the 60-word limit, overlap with the station's other blocks); it never
// changes a record itself. Run by the configuration dialog's command;
// user-interface thread only.
#pragma once

#include <string>

#include "editor/editor_views.h"

namespace dravik {

class CDravikNetDoc;
class CStationInfoDVK;
class CCommBlockDVK;
class CConfigDlg;

class CCommBlockDlg {
 public:
  static constexpr int kCountLower = 1;
  static constexpr int kCountUpper = 480;
  // The runtime holds one block's data in 61 words; a word block reads 60.
  static constexpr int kMaxWordCount = 60;
  static constexpr float kPeriodLower = 0.0f;
  static constexpr float kPeriodUpper = 999.9f;
  static constexpr float kPeriodStep = 0.1f;

  // `station` owns the block; `editing` is the block being edited or null.
  CCommBlockDlg(CConfigDlg* parent, CDravikNetDoc& doc, CStationInfoDVK* station,
                CCommBlockDVK* editing);

  void OnInitDialog(IControlView* view);
  // True when every rule passed; otherwise the prompt or error has been
  // shown and the focus moved.
  bool OnOK();

  // The period in whole milliseconds: seconds (single precision) times 1000,
  // truncated toward zero.
  int PeriodMs() const;

  CCommBlockDVK* Editing() const { return editing_; }
  CStationInfoDVK* Station() const { return station_; }
  CConfigDlg* Parent() const { return parent_; }
  CDravikNetDoc& Document() const { return doc_; }

  // Fields; after a successful OK the address text carries the area prefix.
  std::string address_text;
  float period = 1.5f;
  int count = 8;
  int area = 0;
  int start = 0;

 private:
  // Takes the fields from the controls; false after a prompt.
  bool GetFields();
  bool Overlaps() const;

  CConfigDlg* parent_;
  CDravikNetDoc& doc_;
  CStationInfoDVK* station_;
  CCommBlockDVK* editing_;
  IControlView* view_ = nullptr;
};

}  // namespace dravik
