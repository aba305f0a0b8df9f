// What a value handed to the driver's write slot may be, worked out apart from
// CheckWriteValue so that the MQTT and Sparkplug targets can hold its answers
// against it: the whole numbers each host type code and length hold, from the
// table in write_value_check.h, and the exact value of a decimal text (no
// double in between, so "127.00000000000000001" is not 127).
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

#include "host/tarsel_sub.h"

namespace dravik::fuzz {

inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// A decimal number as digits and a power of ten: value = digits * 10^exponent,
// digits without leading or trailing zeros ("" for zero).
struct Decimal {
  bool negative = false;
  std::string digits;
  long long exponent = 0;
  bool operator==(const Decimal&) const = default;
};

inline void Normalize(Decimal* d) {
  const size_t first = d->digits.find_first_not_of('0');
  if (first == std::string::npos) {
    *d = Decimal{};
    return;
  }
  d->digits.erase(0, first);
  while (d->digits.back() == '0') {
    d->digits.pop_back();
    ++d->exponent;
  }
}

// [+-]digits[.digits][(e|E)[+-]digits], at least one digit before the
// exponent. False for anything else (hexadecimal, inf, blanks, a NUL).
inline bool ReadDecimal(const std::string& text, Decimal* d) {
  *d = Decimal{};
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) d->negative = text[i++] == '-';
  long long fraction = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      d->digits += text[i];
      if (point) ++fraction;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (d->digits.empty()) return false;
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool minus = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) minus = text[i++] == '-';
    const size_t start = i;
    // Held below a billion: far past any value a tag takes, and no overflow.
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (i == start) return false;
    if (minus) exponent = -exponent;
  }
  if (i != text.size()) return false;
  d->exponent = exponent - fraction;
  Normalize(d);
  if (d->digits.empty()) d->negative = false;
  return true;
}

// A whole double as a Decimal ("%.0f" prints a whole double exactly).
inline Decimal WholeDecimal(double v) {
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", std::fabs(v));
  Decimal d;
  d.negative = v < 0;
  d.digits = text;
  Normalize(&d);
  if (d.digits.empty()) d.negative = false;
  return d;
}

// The whole numbers [lo, end) a tag of host type `type` and `length` bytes
// takes; both bounds are exact doubles. False for a type that takes none.
inline bool WholeRange(int type, int length, double* lo, double* end) {
  if (length < 1) return false;
  const int bytes = length < 8 ? length : 8;  // the encoder works on 64 bits
  const double signed_lo = -std::ldexp(1.0, 8 * bytes - 1);
  const double signed_end = std::ldexp(1.0, 8 * bytes - 1);
  const double unsigned_end = bytes == 8 ? signed_end : std::ldexp(1.0, 8 * bytes);
  const auto fit = [&](double type_lo, double type_end, bool is_signed) {
    *lo = std::fmax(type_lo, is_signed ? signed_lo : 0.0);
    *end = std::fmin(type_end, is_signed ? signed_end : unsigned_end);
  };
  switch (type) {
    case 0:
      fit(-128, 128, true);
      return true;
    case 1:
      fit(-32768, 32768, true);
      return true;
    case 2:
      fit(-2147483648.0, 2147483648.0, true);
      return true;
    case 3:
    case 4:
      fit(0, 65536, false);
      return true;
    case 5:
      fit(0, 4294967296.0, false);
      return true;
    case 12:  // a bit pattern: signed or unsigned
      *lo = signed_lo;
      *end = unsigned_end;
      return true;
    default:
      break;
  }
  if (type < 6 || type > 11) return false;
  // BCD: two digits a byte; a signed code keeps the top bit of its highest
  // digit for the sign, unless the tag is too short to carry it.
  const int code_bytes = type == 6 || type == 9 ? 1 : (type == 7 || type == 10 ? 2 : 4);
  const int used = length < code_bytes ? length : code_bytes;
  const bool sign = type <= 8 && used == code_bytes;
  *end = sign ? 8 * std::pow(10.0, 2 * used - 1) : std::pow(10.0, 2 * used);
  *lo = sign ? -(*end - 1) : 0.0;
  return true;
}

// Traps unless what CheckWriteValue answered for `text` fits the tag: an
// accepted value is exactly the text's number (or string) and within the
// tag's range; a refused one has a reason and left the value unset.
inline void CheckAnswer(int type, int length, const std::string& text, bool accepted,
                        const CTagVal& value, const std::string& error) {
  if (!accepted) {
    Check(!error.empty() && !value.HasValue());
    return;
  }
  Check(value.HasValue());
  if (type == 14) {
    Check(length >= 1 && text.size() <= static_cast<size_t>(length));
    Check(text.find('\0') == std::string::npos && value.GetValStr() == text);
    return;
  }
  const double v = value.GetVal();
  Check(std::isfinite(v) && v == std::trunc(v));
  if (type == 13) {
    Check(v == 0.0 || v == 1.0);
    if (text == "true" || text == "false") {
      Check(v == (text == "true" ? 1.0 : 0.0));
      return;
    }
  } else {
    double lo = 0, end = 0;
    Check(WholeRange(type, length, &lo, &end));
    Check(v >= lo && v < end);
  }
  Decimal given;
  Check(ReadDecimal(text, &given));
  Check(given == WholeDecimal(v));  // the value sent is the value given, unrounded
}

}  // namespace dravik::fuzz
