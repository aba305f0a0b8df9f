#include "editor/field_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace dravik {

namespace {
constexpr const char* kWhiteSpace = " \t\r\n\v\f";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text between leading and trailing blanks.
std::string_view Core(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::string_view(text).substr(begin, end - begin);
}
}  // namespace

std::string TrimWhiteSpace(const std::string& text) {
  const size_t begin = text.find_first_not_of(kWhiteSpace);
  if (begin == std::string::npos) return {};
  const size_t end = text.find_last_not_of(kWhiteSpace);
  return text.substr(begin, end - begin + 1);
}

std::optional<float> ParseFloatField(const std::string& text) {
  std::string_view core = Core(text);
  if (core.empty()) return std::nullopt;
  const char first = core.front();
  // from_chars reads no plus sign; the C reader does.
  if (first == '+') core.remove_prefix(1);
  if (core.empty() || core.front() == '+' || core.front() == ' ') return std::nullopt;
  float value = 0.0f;
  const auto [end, ec] = std::from_chars(core.data(), core.data() + core.size(), value);
  if (ec != std::errc() || end != core.data() + core.size()) return std::nullopt;
  // "inf" and "nan" read as floats here but are no numbers a user can mean;
  // they get the not-a-number prompt, not the range prompt.
  if (!std::isfinite(value)) return std::nullopt;
  if (value == 0.0f && first != '0') return std::nullopt;
  return value;
}

std::optional<int64_t> ParseIntField(const std::string& text) {
  std::string_view core = Core(text);
  bool negative = false;
  if (!core.empty() && (core.front() == '+' || core.front() == '-')) {
    negative = core.front() == '-';
    core.remove_prefix(1);
  }
  if (core.empty() || core.front() < '0' || core.front() > '9') return std::nullopt;
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(core.data(), core.data() + core.size(), value);
  if (ec != std::errc() || end != core.data() + core.size()) return std::nullopt;
  return negative ? -value : value;
}

std::string FormatFloatField(float value) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
  if (ec != std::errc()) return "0";
  std::string out(buf, end);
  // to_chars keeps trailing zeros in the general form only when needed;
  // "1.50000" cannot come out, but trim defensively for the field.
  if (out.find('.') != std::string::npos && out.find('e') == std::string::npos) {
    while (!out.empty() && out.back() == '0') out.pop_back();
    if (!out.empty() && out.back() == '.') out.pop_back();
  }
  return out;
}

std::string PromptNumberField(const std::string& field_subject, const std::string& lower,
                              const std::string& upper, bool integer) {
  return field_subject + " 잘못 입력되었습니다.\r\n" + lower + "에서 " + upper + " 사이의 " +
         (integer ? "정수" : "숫자") + "로 입력하십시오.";
}

}  // namespace dravik
