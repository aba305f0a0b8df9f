// Fuzzes the tag list reader (ParseTagList) with arbitrary texts. Besides
// memory errors it traps on a row that breaks the list's rules whatever the
// input: a named, unique tag of at most 255 bytes with a device, a known type
// and a length the type allows, no NUL in any field; rows and errors in line
// order and accounted for; an error line that repeats a field unreadably long
// or with raw control bytes.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "gateway/line/tag_list.h"

using namespace dravik::host;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const TagList list = ParseTagList(text);

  Check(list.has_header || (list.rows.empty() && list.data_rows == 0));
  Check(list.has_header || !list.errors.empty());
  std::set<std::string> names;
  int last_line = 0;
  for (const TagRow& row : list.rows) {
    Check(row.line > last_line);
    last_line = row.line;
    Check(!row.name.empty() && row.name.size() <= kMaxTagNameBytes);
    Check(names.insert(row.name).second);
    Check(!row.device.empty());
    Check(!HasNul(row.name) && !HasNul(row.device) && !HasNul(row.address));
    Check(row.type >= 0 && row.type <= kTypeString);
    if (row.type == kTypeBit) {
      Check(row.length >= 0 && row.length <= 15);
    } else {
      Check(row.length >= 1 && row.length <= kMaxTagLength);
    }
  }
  last_line = 0;
  for (const TagListError& e : list.errors) {
    Check(e.line >= last_line);
    last_line = e.line;
    // A field is echoed cut to about 60 bytes, a control byte as \xNN.
    Check(!e.text.empty() && e.text.size() <= 1024);
    for (const char c : e.text) Check(static_cast<unsigned char>(c) >= 0x20);
  }
  // Once the header is read, every row after it is a tag or one error.
  if (list.has_header) {
    Check(static_cast<int>(list.rows.size() + list.errors.size()) == list.data_rows);
  }
  return 0;
}
