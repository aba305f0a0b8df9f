#include "gateway/line/write_value_check.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace dravik::host {

namespace {

constexpr int kTypeBitCode = 13;
constexpr int kTypeStringCode = 14;
constexpr int kTypeIntWrite = 12;
constexpr size_t kShownChars = 60;

// The value as the error line echoes it: at most about 60 characters.
std::string Shown(const std::string& text) {
  if (text.size() <= kShownChars) return "\"" + text + "\"";
  size_t cut = kShownChars;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // UTF-8
  return "\"" + text.substr(0, cut) + "\"... (" + std::to_string(text.size()) + " bytes)";
}

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", v);
  return text;
}

struct Range {
  double lo;
  double hi;
};

// What `bytes` bytes hold as a signed or an unsigned whole number.
Range BytesRange(int bytes, bool is_signed) {
  // The encoder works on a signed 64-bit number: from 8 bytes on, that is
  // the limit (its largest double below 2^63).
  if (bytes >= 8) return {is_signed ? -std::ldexp(1.0, 63) : 0.0, std::ldexp(1.0, 63) - 1024};
  const int bits = 8 * bytes;
  if (is_signed) return {-std::ldexp(1.0, bits - 1), std::ldexp(1.0, bits - 1) - 1};
  return {0.0, std::ldexp(1.0, bits) - 1};
}

Range Intersect(Range a, Range b) { return {std::fmax(a.lo, b.lo), std::fmin(a.hi, b.hi)}; }

// The whole numbers a tag of `type` and `length` bytes takes unchanged.
bool RangeOf(int type, int length, Range* range, std::string* what) {
  switch (type) {
    case 0:
      *what = "int8";
      *range = Intersect({-128, 127}, BytesRange(length, true));
      return true;
    case 1:
      *what = "int16";
      *range = Intersect({-32768, 32767}, BytesRange(length, true));
      return true;
    case 2:
      *what = "int32";
      *range = Intersect({-2147483648.0, 2147483647.0}, BytesRange(length, true));
      return true;
    case 3:
    case 4:
      *what = "uint16";
      *range = Intersect({0, 65535}, BytesRange(length, false));
      return true;
    case 5:
      *what = "uint32";
      *range = Intersect({0, 4294967295.0}, BytesRange(length, false));
      return true;
    case kTypeIntWrite:
      // Written as a bit pattern: signed or unsigned, whatever the bytes hold.
      *what = "int-write";
      *range = {BytesRange(length, true).lo, BytesRange(length, false).hi};
      return true;
    default:
      break;
  }
  if (type >= 6 && type <= 11) {
    // Digits the code carries (2, 4, 8), and no more than the bytes hold.
    const int code_bytes = type == 6 || type == 9 ? 1 : (type == 7 || type == 10 ? 2 : 4);
    const bool is_signed = type <= 8;
    const int bytes = length < code_bytes ? length : code_bytes;
    const double all_digits = std::pow(10.0, 2 * bytes) - 1;
    double hi = all_digits;
    // A signed code keeps its highest nibble's top bit for the sign, so the
    // highest digit stays at 7 or below; with fewer bytes the sign is not sent.
    if (is_signed && bytes == code_bytes) hi = 8 * std::pow(10.0, 2 * bytes - 1) - 1;
    const bool has_sign = is_signed && bytes == code_bytes;
    *what =
        std::string(is_signed ? "signed " : "") + "BCD, " + std::to_string(2 * bytes) + " digits";
    *range = {has_sign ? -hi : 0.0, hi};
    return true;
  }
  return false;
}

// A number as people write it in decimal: an optional sign, digits with at
// most one point, an optional exponent. strtod would also take hexadecimal
// ("0x10" is 16), leading blanks, "inf" and "nan", which no one means here.
bool IsDecimalNumber(const std::string& text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  size_t digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    size_t exponent = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) ++exponent;
    if (exponent == 0) return false;
  }
  return i == text.size();
}

// The whole number a decimal text names exactly, as its digits without
// leading zeros ("-" before a negative one), or "" when it names a number
// with a fraction. strtod rounds to the nearest double: "127.00000000000000001"
// reads as 127 and 9007199254740993 as ...992, and either would be written
// as a value nobody asked for. The text has passed IsDecimalNumber.
std::string ExactWhole(const std::string& text) {
  size_t i = 0;
  const bool negative = text[0] == '-';
  if (text[0] == '-' || text[0] == '+') ++i;
  std::string digits;
  long whole_digits = -1;  // digits before the point
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    if (text[i] == '.') {
      whole_digits = static_cast<long>(digits.size());
    } else {
      digits += text[i];
    }
  }
  if (whole_digits < 0) whole_digits = static_cast<long>(digits.size());
  if (i < text.size()) {
    // Far beyond any tag's range either way; strtod has refused the large ones.
    const long exponent = std::strtol(text.c_str() + i + 1, nullptr, 10);
    whole_digits += std::clamp(exponent, -100000L, 100000L);
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  whole_digits -= static_cast<long>(first);
  digits.erase(0, first);
  if (whole_digits <= 0) return "";  // below 1
  if (static_cast<size_t>(whole_digits) < digits.size()) {
    if (digits.find_first_not_of('0', static_cast<size_t>(whole_digits)) != std::string::npos) {
      return "";
    }
    digits.resize(static_cast<size_t>(whole_digits));
  } else {
    digits.append(static_cast<size_t>(whole_digits) - digits.size(), '0');
  }
  return (negative ? "-" : "") + digits;
}

}  // namespace

bool CheckWriteValue(int type, int length, const std::string& text, CTagVal* value,
                     std::string* error) {
  if (type == kTypeStringCode) {
    if (const size_t nul = text.find('\0'); nul != std::string::npos) {
      *error = "the text holds a NUL byte at byte " + std::to_string(nul + 1);
      return false;
    }
    if (length < 1 || text.size() > static_cast<size_t>(length)) {
      *error = "the text " + Shown(text) + " has " + std::to_string(text.size()) +
               " bytes; the tag holds " + std::to_string(length);
      return false;
    }
    value->SetVal(text.c_str());
    return true;
  }

  if (type == kTypeBitCode && (text == "true" || text == "false")) {
    value->SetVal(text == "true" ? 1.0 : 0.0);
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (!IsDecimalNumber(text) || end == text.c_str() || *end != '\0' || errno == ERANGE ||
      !std::isfinite(v)) {
    *error = Shown(text) + " is not a decimal number";
    return false;
  }
  const std::string exact = ExactWhole(text);
  if (type == kTypeBitCode) {
    if (exact != "0" && exact != "1") {
      *error = Shown(text) + " is not 0, 1, true or false (bit)";
      return false;
    }
    value->SetVal(v);
    return true;
  }
  Range range{};
  std::string what;
  if (!RangeOf(type, length, &range, &what) || length < 1) {
    *error = "a tag of type " + std::to_string(type) + " and length " + std::to_string(length) +
             " cannot be written";
    return false;
  }
  if (exact.empty()) {
    *error = Shown(text) + " is not a whole number (" + what + ")";
    return false;
  }
  if (v < range.lo || v > range.hi) {
    *error = Shown(text) + " is outside " + Number(range.lo) + ".." + Number(range.hi) + " (" +
             what + ", " + std::to_string(length) + (length == 1 ? " byte)" : " bytes)");
    return false;
  }
  // Past 2^53 not every whole number has a double of its own.
  if (exact != (v == 0.0 ? "0" : Number(v))) {
    *error = Shown(text) + " cannot be carried exactly: whole numbers are exact up to " +
             "9007199254740992 (" + what + ")";
    return false;
  }
  value->SetVal(v);
  return true;
}

std::string WriteTextFor(int type, const std::string& value_text) {
  if (type == kTypeStringCode && value_text.size() >= 2 && value_text.front() == '"' &&
      value_text.back() == '"') {
    return value_text.substr(1, value_text.size() - 2);
  }
  return value_text;
}

}  // namespace dravik::host
