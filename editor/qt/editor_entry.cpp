// The editor library's one export, looked up by the driver's slot 2.
#include "draviknet/driver_table.h"
#include "editor/qt/qt_face.h"

extern "C" __attribute__((visibility("default"))) int DravikNetEditConfig(const char* path) {
  try {
    return dravik::qt::RunEditorCall(path);
  } catch (...) {
    // Nothing may cross into the driver; an editor that failed saved nothing
    // it could report.
    return 0;
  }
}
