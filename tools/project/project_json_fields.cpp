// Reading single JSON values for the import: numbers checked against the
// stored field's range, texts refused when they hold a NUL, unknown keys
// named with the list of known ones. Every refusal becomes an error line, not
// an exception.
#include "tools/project/project_json_fields.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tools/project/project_json_internal.h"

namespace dravik::project::internal {

void FieldReader::Error(const std::string& where, const std::string& what) {
  errors_->push_back("error: " + (where.empty() ? what : where + ": " + what));
}

bool FieldReader::Int(const Json& obj, const char* key, const std::string& where, int64_t* out,
                      bool* present, bool as_unsigned) {
  *present = false;
  const auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return true;
  const int64_t lo = as_unsigned ? 0 : std::numeric_limits<int32_t>::min();
  const int64_t hi = as_unsigned ? int64_t{std::numeric_limits<uint32_t>::max()}
                                 : int64_t{std::numeric_limits<int32_t>::max()};
  int64_t v = 0;
  if (it->is_number_unsigned()) {
    const uint64_t u = it->get<uint64_t>();
    if (u > static_cast<uint64_t>(hi)) return Bad(where, key, "is out of range");
    v = static_cast<int64_t>(u);
  } else if (it->is_number_integer()) {
    v = it->get<int64_t>();
  } else if (it->is_number_float()) {
    const double d = it->get<double>();
    if (std::trunc(d) != d) return Bad(where, key, "must be a whole number");
    // Range first: converting a double beyond int64 is undefined.
    if (d < static_cast<double>(lo) || d > static_cast<double>(hi)) {
      return Bad(where, key, "is out of range");
    }
    v = static_cast<int64_t>(d);
  } else {
    return Bad(where, key, "must be a number");
  }
  if (v < lo || v > hi) return Bad(where, key, "is out of range");
  *out = v;
  *present = true;
  return true;
}

bool FieldReader::String(const Json& obj, const char* key, const std::string& where,
                         std::string* out, bool* present) {
  *present = false;
  const auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return true;
  if (!it->is_string()) return Bad(where, key, "must be a string");
  const std::string& text = it->get_ref<const std::string&>();
  // The file stores zero-terminated texts: a NUL would cut the text there.
  if (text.find('\0') != std::string::npos) {
    return Bad(where, key, Quote(text) + " holds a NUL character");
  }
  *out = text;
  *present = true;
  return true;
}

bool FieldReader::Bool(const Json& obj, const char* key, const std::string& where, bool* out,
                       bool* present) {
  *present = false;
  const auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return true;
  if (!it->is_boolean()) return Bad(where, key, "must be true or false");
  *out = it->get<bool>();
  *present = true;
  return true;
}

void FieldReader::Keys(const Json& obj, const std::vector<const char*>& known,
                       const std::string& where) {
  for (const auto& item : obj.items()) {
    const bool ok =
        std::any_of(known.begin(), known.end(), [&item](const char* k) { return item.key() == k; });
    if (ok) continue;
    std::string list;
    for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
    Error(where.empty() ? "top level" : where,
          "unknown key " + Quote(item.key()) + " (known: " + list + ")");
  }
}

bool FieldReader::Bad(const std::string& where, const char* key, const std::string& what) {
  Error(where, Quote(key) + " " + what);
  return false;
}

}  // namespace dravik::project::internal
