// The Qt face of the editor: runs the configuration dialog as a Qt dialog,
// shows the host's error box as a message box while it is installed, and
// provides the editor library's entry (a QApplication is made for the call
// when the host has none). GUI thread only.
#pragma once

#include "editor/config_dlg.h"

namespace dravik::qt {

class QtEditorFace : public IEditorFace {
 public:
  void RunConfigDlg(CConfigDlg& dlg) override;
};

// Installs a CTarselError handler that shows a message box for as long as
// the object lives, then puts back the handler it replaced.
class ScopedErrorBox {
 public:
  ScopedErrorBox();
  ~ScopedErrorBox();
  ScopedErrorBox(const ScopedErrorBox&) = delete;
  ScopedErrorBox& operator=(const ScopedErrorBox&) = delete;

 private:
  void (*previous_)(void*, int, int, const char*) = nullptr;
  void* previous_context_ = nullptr;
};

// The whole editor call: application if needed, strings, face, error box,
// a document of its own, EditConfig. 1 when the user saved, else 0.
int RunEditorCall(const char* path);

}  // namespace dravik::qt
