// CConfigDlg: the logic of the configuration dialog (resource 9001), the
// editor's main window. It owns the two tab pages, runs the add, edit,
// delete, save and close commands on its document and keeps the modified and
// saved flags. Lives for one editor call; user-interface thread only.
#pragma once

#include "editor/comm_port_page.h"
#include "editor/editor_views.h"
#include "editor/station_page.h"

namespace dravik {

class CDravikNetDoc;
class CStationInfoDVK;
class CCommBlockDVK;

class CConfigDlg {
 public:
  static constexpr const char* kCaption = "Dravik Computer Link 설정";

  explicit CConfigDlg(CDravikNetDoc& doc);
  CConfigDlg(const CConfigDlg&) = delete;
  CConfigDlg& operator=(const CConfigDlg&) = delete;

  // The window and its controls exist: load the port page, set up the
  // station page and build the tab sheet with page 0 active.
  void OnInitDialog(IConfigView* view);

  void OnEdit();        // 9007, and a double click in the tree
  void OnDelete();      // 9008
  void OnAddStation();  // 9009
  void OnAddBlock();    // 9010
  void OnSave();        // 9011
  void OnCancel();      // close: button 2, Escape, the close box

  // Used by the pages.
  void EnableButton(int id, bool enabled);
  CDravikNetDoc& Document() { return doc_; }
  CStationPage& StationPage() { return station_page_; }
  CCommPortPage& PortPage() { return port_page_; }

  int Modified() const { return modified_; }
  int Saved() const { return saved_; }

 private:
  void RunStation(CStationInfoDVK* editing);
  void RunBlock(CCommBlockDVK* editing);

  CDravikNetDoc& doc_;
  int modified_ = 0;
  int saved_ = 0;
  CStationPage station_page_;
  CCommPortPage port_page_;
  IConfigView* view_ = nullptr;
};

// The widget face that runs the configuration dialog. The editor library's
// entry installs one before it calls CDravikNetDoc::EditConfig.
class IEditorFace {
 public:
  virtual ~IEditorFace() = default;
  // Shows `dlg` modally and returns once it has closed.
  virtual void RunConfigDlg(CConfigDlg& dlg) = 0;
};

// Installs the face used by EditConfig (null: none; EditConfig then returns
// 0 without a dialog). Not owned.
void SetEditorFace(IEditorFace* face);
IEditorFace* GetEditorFace();

}  // namespace dravik
