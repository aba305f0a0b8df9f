// The abstract views through which the configuration editor's logic talks to
// a widget toolkit: control ids of the dialog resources, a control view for
// dialogs and pages, the tree view of the station page and the main dialog's
// view. The logic owns no widgets; a face (Qt, or a scripted test view)
// implements these interfaces. User-interface thread only.
#pragma once

#include <string>

namespace dravik {

class CStationDlg;
class CCommBlockDlg;

// Dialog results and control ids of resources 9001 to 9005.
enum EditorControlId : int {
  kIdOk = 1,
  kIdCancel = 2,
  kIdTab = 9006,
  kIdEdit = 9007,
  kIdDelete = 9008,
  kIdAddStation = 9009,
  kIdAddBlock = 9010,
  kIdSave = 9011,
  kIdTree = 9012,
  kIdPortList = 9013,
  kIdBaudList = 9014,
  kIdParityNone = 9015,  // first of three: None, Even, Odd
  kIdParityEven = 9016,
  kIdParityOdd = 9017,
  kIdDataBits7 = 9018,  // first of two: 7 Bits, 8 Bits
  kIdDataBits8 = 9019,
  kIdStopBits1 = 9020,  // first of two: 1 Stop Bit, 2 Stop Bits
  kIdStopBits2 = 9021,
  kIdChecksum = 9022,
  kIdName = 9023,
  kIdNumber = 9025,
  kIdNumberSpin = 9026,
  kIdDescription = 9027,
  kIdStart = 9028,
  kIdCount = 9029,
  kIdCountSpin = 9030,
  kIdPeriod = 9031,
  kIdPeriodSpin = 9032,
  kIdRtsCts = 9039,
  kIdArea = 9040,
};

// Controls of one dialog or page, addressed by id.
class IControlView {
 public:
  virtual ~IControlView() = default;
  virtual std::string GetText(int id) = 0;
  virtual void SetText(int id, const std::string& text) = 0;
  // Selected entry of a list control, -1 for none.
  virtual int GetCurSel(int id) = 0;
  virtual void SetCurSel(int id, int index) = 0;
  virtual void AddString(int id, const std::string& text) = 0;
  // Check state of a check box or radio button (0 or 1).
  virtual int GetCheck(int id) = 0;
  virtual void SetCheck(int id, int checked) = 0;
  virtual void EnableWindow(int id, bool enabled) = 0;
  virtual void SetSpinRange(int id, int lower, int upper) = 0;
  // The float spin: step and range.
  virtual void SetFloatSpin(int id, float lower, float upper, float step) = 0;
  virtual void SetFocus(int id) = 0;
  // The toolkit's own prompt for a field that is not a number or out of
  // range (an OK-only message box).
  virtual void ShowPrompt(const std::string& text) = 0;
};

// The station page's tree control. Items are opaque handles.
using TreeItem = void*;

class ITreeView {
 public:
  virtual ~ITreeView() = default;
  virtual void SetRedraw(bool on) = 0;
  virtual void DeleteAllItems() = 0;
  // Inserts as the last child of `parent` (null: top level); image is used
  // for both the normal and the selected state.
  virtual TreeItem InsertItem(const std::string& text, int image, TreeItem parent, void* data) = 0;
  virtual void SetItemText(TreeItem item, const std::string& text) = 0;
  // Selects the item; the view then reports the change to the page.
  virtual void SelectItem(TreeItem item) = 0;
  virtual TreeItem GetSelectedItem() = 0;
  virtual int GetItemImage(TreeItem item) = 0;
  virtual void* GetItemData(TreeItem item) = 0;
  virtual TreeItem GetParentItem(TreeItem item) = 0;
  // Deletes the item with everything under it. When it was selected the view
  // selects another item (a neighbour or the parent) and reports that change.
  virtual void DeleteItem(TreeItem item) = 0;
  virtual void Expand(TreeItem item) = 0;
};

// Pages of the configuration dialog's tab sheet.
enum EditorPage : int { kStationPageIndex = 0, kPortPageIndex = 1 };

// The configuration dialog's window.
class IConfigView {
 public:
  virtual ~IConfigView() = default;
  virtual void EnableButton(int id, bool enabled) = 0;
  // Creates the page's window (which initialises the page) and adds it to
  // the tab sheet.
  virtual void AddPage(int page) = 0;
  virtual void SetActivePage(int page) = 0;
  // A Yes/No question with string-table text `string_id`; true for Yes.
  virtual bool AskYesNo(int string_id) = 0;
  // Run a sub-dialog modally; kIdOk or kIdCancel.
  virtual int RunStationDlg(CStationDlg& dlg) = 0;
  virtual int RunBlockDlg(CCommBlockDlg& dlg) = 0;
  virtual void EndDialog(int result) = 0;
};

}  // namespace dravik
