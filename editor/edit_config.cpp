// The editor entry of the driver document: load the project file if there is
// one and run the configuration dialog through the installed face.
#include "editor/config_dlg.h"
#include "host/tarsel_sub.h"
#include "model/dravik_doc.h"
#include "platform/file_io.h"

namespace dravik {

namespace {
IEditorFace* g_face = nullptr;  // user-interface thread only
}  // namespace

void SetEditorFace(IEditorFace* face) { g_face = face; }
IEditorFace* GetEditorFace() { return g_face; }

int CDravikNetDoc::EditConfig(const char* path) {
  const std::string file = path ? path : "";
  SetPath(file);
  if (FileExists(file) && !LoadFile(file.c_str())) {
    CTarselError::ErrMsg(2002, 1, file.c_str());
    return 0;
  }
  if (g_face == nullptr) return 0;
  CConfigDlg dlg(*this);
  g_face->RunConfigDlg(dlg);
  return dlg.Saved();
}

}  // namespace dravik
