// CStationDlg: the logic of the station dialog (resource 9004). It collects a
// station's name, number and description for adding or editing and validates
// them on OK; it never changes a record itself. Constructed and run by the
// configuration dialog's command; user-interface thread only.
#pragma once

#include <string>

#include "editor/editor_views.h"
#include "editor/hex_spin.h"

namespace dravik {

class CDravikNetDoc;
class CStationInfoDVK;
class CConfigDlg;

class CStationDlg {
 public:
  // `editing` is the station being edited, or null for a new one.
  CStationDlg(CConfigDlg* parent, CDravikNetDoc& doc, CStationInfoDVK* editing);

  // The window exists: put the fields into the controls.
  void OnInitDialog(IControlView* view);
  // True when every rule passed and the dialog may close with OK; otherwise
  // the error has been shown and the focus moved.
  bool OnOK();

  CHexSpinCtrl& HexSpin() { return spin_; }
  CStationInfoDVK* Editing() const { return editing_; }
  CConfigDlg* Parent() const { return parent_; }
  CDravikNetDoc& Document() const { return doc_; }

  // Fields, valid after a successful OK.
  std::string name;
  std::string description;
  std::string number_text = "FF";
  int number = 255;

 private:
  CConfigDlg* parent_;
  CDravikNetDoc& doc_;
  CStationInfoDVK* editing_;
  IControlView* view_ = nullptr;
  CHexSpinCtrl spin_;
};

}  // namespace dravik
