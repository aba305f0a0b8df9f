// Fuzzes dravik-project's JSON import: parse as `import` does, build the
// project with and without the editor's checks. Whatever the text, the import
// ends in a clean refusal or in a project whose file bytes load back as a
// project file, and whose JSON export imports to the same bytes. An exception
// escaping the import (the tool would abort) is a finding too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/dravik_doc.h"
#include "platform/archive.h"
#include "tools/project/project_json.h"

namespace {

using dravik::project::Json;
using dravik::project::ProjectImage;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void ImportAndCheck(const Json& json, bool validate) {
  ProjectImage image;
  std::vector<std::string> errors;
  const bool ok = dravik::project::ImageFromJson(json, validate, &image, &errors);
  Check(ok == errors.empty());
  if (!ok) return;

  // A text the file's encoding cannot hold is refused here, as import does.
  std::vector<uint8_t> bytes;
  std::string bytes_error;
  if (!dravik::project::ImageBytes(image, &bytes, &bytes_error)) {
    Check(!bytes_error.empty());
    return;
  }
  dravik::CArchive in(bytes);
  dravik::CDravikNetDoc doc;
  doc.Serialize(in);
  Check(in.ok());  // what import writes, the driver must load

  ProjectImage back;
  std::vector<std::string> back_errors;
  Check(dravik::project::ImageFromJson(dravik::project::ImageToJson(image), false, &back,
                                       &back_errors));
  std::vector<uint8_t> back_bytes;
  Check(dravik::project::ImageBytes(back, &back_bytes, &bytes_error));
  Check(back_bytes == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Parse as `import` does: its depth limit is what keeps a deeply nested
  // text from overflowing the stack.
  Json json;
  std::string error;
  if (!dravik::project::ParseProjectJson(
          std::string_view(reinterpret_cast<const char*>(data), size), &json, &error)) {
    return 0;
  }
  ImportAndCheck(json, true);
  ImportAndCheck(json, false);
  return 0;
}
