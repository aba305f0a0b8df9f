// Fuzzes dravik-project's JSON import: parse as `import` does, build the
// project with and without the editor's checks. Whatever the text, the import
// ends in a clean refusal or in a project whose file bytes load back as a
// project file, and whose JSON export imports to the same bytes. An exception
// escaping the import (the tool would abort) is a finding too.
#include <cstddef>
#include <cstdint>
#include <string>
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

  const std::vector<uint8_t> bytes = dravik::project::ImageBytes(image);
  dravik::CArchive in(bytes);
  dravik::CDravikNetDoc doc;
  doc.Serialize(in);
  Check(in.ok());  // what import writes, the driver must load

  ProjectImage back;
  std::vector<std::string> back_errors;
  Check(dravik::project::ImageFromJson(dravik::project::ImageToJson(image), false, &back,
                                       &back_errors));
  Check(dravik::project::ImageBytes(back) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Json json = Json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return 0;
  ImportAndCheck(json, true);
  ImportAndCheck(json, false);
  return 0;
}
