// The field reader the JSON import reads every value through, and the port
// settings reader built on it. It reads without throwing and gathers each
// problem as one error line naming where it is, so one import reports all it
// finds instead of stopping at the first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/serial_port.h"
#include "tools/project/project_json.h"

namespace dravik::project::internal {

// Collects errors with the context they belong to, and reads JSON values
// without throwing: a value of the wrong type is an error, not an exception.
// An absent or null key counts as not given, so each reader reports
// `present` apart from success.
class FieldReader {
 public:
  explicit FieldReader(std::vector<std::string>* errors) : errors_(errors) {}

  // One error line, prefixed by `where` when there is one.
  void Error(const std::string& where, const std::string& what);

  // An optional whole number that fits in int32 (or, with `as_unsigned`, in
  // uint32). Returns false (after an error) when present but unfit.
  bool Int(const Json& obj, const char* key, const std::string& where, int64_t* out, bool* present,
           bool as_unsigned = false);

  // An optional text without NUL characters.
  bool String(const Json& obj, const char* key, const std::string& where, std::string* out,
              bool* present);

  bool Bool(const Json& obj, const char* key, const std::string& where, bool* out, bool* present);

  // Every key of `obj` must be one of `known`.
  void Keys(const Json& obj, const std::vector<const char*>& known, const std::string& where);

 private:
  bool Bad(const std::string& where, const char* key, const std::string& what);

  std::vector<std::string>* errors_;
};

// The "port" object into `port`, over the defaults it holds; with `validate`
// each stored index must be one the editor offers. False when anything was
// refused (the errors say what).
bool ReadPort(FieldReader& r, const Json& json, bool validate, CSerialPort* port);

}  // namespace dravik::project::internal
