// The check a host tool makes before it hands a value to the driver's write
// slot: the driver encodes whatever it gets into the tag's bytes, cutting
// what does not fit, so a value outside the tag's type and length must be
// refused here, with a reason, and never sent. Pure function on values owned
// by the caller; any thread (the `write` command and the MQTT `set` topic).
#pragma once

#include <string>

#include "host/tarsel_sub.h"

namespace dravik::host {

// Reads `text` as the value of a tag of host data type code `type` (0..14)
// and byte length `length` (for a bit tag, code 13, the length is not used)
// and checks that it is written unchanged:
//   whole-number codes 0..5 and 12: a whole number inside the type's range
//     and inside what `length` bytes hold;
//   BCD codes 6..11: a whole number with no more digits than the code (and
//     the length) carries, negative only for the signed codes, whose highest
//     digit stays below the sign bit (so 79, 7999, 79999999 at most);
//   code 13: 0 or 1;
//   code 14: the text as it is (no quotes removed), at most `length` bytes,
//     without a NUL.
// True with `value` set for the write slot; false with `error` naming the
// value (cut to about 60 characters) and the allowed range, `value` untouched.
bool CheckWriteValue(int type, int length, const std::string& text, CTagVal* value,
                     std::string* error);

// The text CheckWriteValue takes for a write asked as `value_text`: a string
// tag's (code 14) value may come in double quotes, which are not part of it.
std::string WriteTextFor(int type, const std::string& value_text);

}  // namespace dravik::host
