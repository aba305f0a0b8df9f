#include "driver/editor_launcher.h"

#include <cstdio>

#include "draviknet/driver_table.h"
#include "platform/dynamic_library.h"
#include "runtime/host_services.h"

namespace dravik {

namespace {
constexpr const char* kEditorLibrary = "libdraviknet-editor.so";
}

int RunEditor(const char* path) {
  if (!BindEditorLibrary()) return 0;
  int result = 0;
  DynamicLibrary editor;
  const std::string folder = DynamicLibrary::FolderOf(reinterpret_cast<const void*>(&RunEditor));
  if (editor.Load(folder + kEditorLibrary)) {
    auto entry = reinterpret_cast<DrvEditorEntryFn>(editor.Symbol(DRAVIKNET_EDITOR_ENTRY));
    if (entry) {
      result = entry(path ? path : "");
    } else {
      std::fprintf(stderr, "%s%s has no entry %s\n", kMessagePrefix, kEditorLibrary,
                   DRAVIKNET_EDITOR_ENTRY);
    }
  } else {
    std::fprintf(stderr, "%scannot load the editor: %s\n", kMessagePrefix, editor.Error().c_str());
  }
  editor.Free();
  ReleaseEditorLibrary();
  return result;
}

}  // namespace dravik
