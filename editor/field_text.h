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

// The prompt for a number field that holds no number or one out of its
// range, worded like the dialogs' own messages: it names the field (with its
// subject particle, for example "통신주기가") and the range it takes, and,
// like the station question, puts what to do on a second line:
// "통신주기가 잘못 입력되었습니다.\r\n0에서 999.9 사이의 숫자로 입력하십시오.".
// `integer` asks for a whole number.
std::string PromptNumberField(const std::string& field_subject, const std::string& lower,
                              const std::string& upper, bool integer);

}  // namespace dravik
