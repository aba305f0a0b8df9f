// Fuzz target: the project file loader. Whatever the bytes, loading must end
// with a clean failure or a document that saves and loads back to the same
// bytes; it never reads past the input or allocates for counts it cannot hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "model/dravik_doc.h"
#include "platform/archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dravik::CArchive in(std::vector<uint8_t>(data, data + size));
  dravik::CDravikNetDoc doc;
  doc.Serialize(in);
  if (!in.ok()) return 0;

  dravik::CArchive out;
  doc.Serialize(out);
  dravik::CArchive again(out.Bytes());
  dravik::CDravikNetDoc back;
  back.Serialize(again);
  if (!again.ok()) std::abort();  // what we wrote, we must read
  dravik::CArchive out2;
  back.Serialize(out2);
  if (out2.Bytes() != out.Bytes()) std::abort();
  return 0;
}
