// Text helpers shared by the editor's dialogs: trimming, the toolkit's number
// reading for float and integer fields (blanks around the number allowed,
// nothing else left over), and locale-independent formatting. Stateless.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dravik {

// Strips white space (blank, tab, CR, LF, VT, FF) from both ends.
std::string TrimWhiteSpace(const std::string& text);

// A float field: optional blanks, a number, optional blanks. A text reading
// as zero must start with the digit 0 (".0" and "-0" are not numbers here,
// as in the original toolkit).
std::optional<float> ParseFloatField(const std::string& text);
// An integer field: optional blanks, optional sign, digits, optional blanks.
// Values beyond 64 bits are refused as not a number.
std::optional<int64_t> ParseIntField(const std::string& text);

// Shortest round-tripping form with at most six significant digits ("1.5").
std::string FormatFloatField(float value);

// The toolkit's standard prompts.
std::string PromptNumber();
std::string PromptInteger();
std::string PromptNumberRange(const std::string& lower, const std::string& upper);
std::string PromptIntegerRange(int lower, int upper);

}  // namespace dravik
