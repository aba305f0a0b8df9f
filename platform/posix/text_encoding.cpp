// Code page 949 through the C library's iconv. glibc calls it "CP949" (the
// Unified Hangul Code of Korean Windows); no transliteration is asked for, so
// a character without a place in the target stops the conversion instead of
// turning into a question mark.
#include "platform/text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace dravik {

namespace {

constexpr const char* kIconvUtf8 = "UTF-8";
constexpr const char* kIconvCp949 = "CP949";

const char* IconvName(TextEncoding encoding) {
  return encoding == TextEncoding::kCp949 ? kIconvCp949 : kIconvUtf8;
}

// One conversion descriptor for the length of one call.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~IconvHandle() {
    if (ok()) ::iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

enum class ConvertResult { kDone, kBadInput, kNoConverter };

// Converts all of `in`; on kBadInput `*bad_offset` is where the sequence that
// could not be converted starts.
ConvertResult Convert(std::string_view in, const char* to, const char* from, std::string* out,
                      size_t* bad_offset) {
  IconvHandle cd(to, from);
  if (!cd.ok()) return ConvertResult::kNoConverter;
  out->clear();
  // iconv's interface is not const-correct; it does not write through inbuf.
  char* inbuf = const_cast<char*>(in.data());
  size_t inleft = in.size();
  char chunk[256];
  while (inleft > 0) {
    char* outbuf = chunk;
    size_t outleft = sizeof chunk;
    const size_t rc = ::iconv(cd.get(), &inbuf, &inleft, &outbuf, &outleft);
    out->append(chunk, sizeof chunk - outleft);
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    *bad_offset = in.size() - inleft;  // EILSEQ, or EINVAL for a cut sequence
    return ConvertResult::kBadInput;
  }
  char* outbuf = chunk;
  size_t outleft = sizeof chunk;
  ::iconv(cd.get(), nullptr, nullptr, &outbuf, &outleft);
  out->append(chunk, sizeof chunk - outleft);
  return ConvertResult::kDone;
}

std::string NoConverterText(const char* to, const char* from) {
  return std::string("the C library cannot convert from ") + from + " to " + to;
}

// The UTF-8 character that starts at `offset`, quoted, with its code point.
std::string DescribeCharacter(std::string_view utf8, size_t offset) {
  if (offset >= utf8.size()) return "a character past the end of the text";
  const auto lead = static_cast<uint8_t>(utf8[offset]);
  const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  const std::string_view ch = utf8.substr(offset, length);
  uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t k = 1; k < ch.size(); ++k) code = (code << 6) | (static_cast<uint8_t>(ch[k]) & 0x3F);
  char hex[16];
  std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
  // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on
  // "literal" + std::string&&.
  std::string out = "\"";
  out.append(ch).append("\" (").append(hex).append(")");
  return out;
}

std::string DescribeBytes(std::string_view text, size_t offset) {
  std::string out = "byte " + std::to_string(offset) + " (";
  char two[8];
  for (size_t k = offset; k < text.size() && k < offset + 2; ++k) {
    std::snprintf(two, sizeof two, "%s0x%02X", k == offset ? "" : " ",
                  static_cast<unsigned>(static_cast<uint8_t>(text[k])));
    out += two;
  }
  return out + ")";
}

}  // namespace

bool DecodeText(std::string_view text, TextEncoding from, std::string* utf8, std::string* error) {
  if (from == TextEncoding::kUtf8) {
    if (!IsUtf8(text)) {
      *error = "the text is not valid UTF-8";
      return false;
    }
    utf8->assign(text);
    return true;
  }
  size_t bad = 0;
  switch (Convert(text, kIconvUtf8, IconvName(from), utf8, &bad)) {
    case ConvertResult::kDone:
      return true;
    case ConvertResult::kBadInput:
      *error = DescribeBytes(text, bad) + " is not valid in code page 949";
      return false;
    case ConvertResult::kNoConverter:
      *error = NoConverterText(kIconvUtf8, IconvName(from));
      return false;
  }
  return false;
}

bool EncodeText(std::string_view utf8, TextEncoding to, std::string* out, std::string* error) {
  if (!IsUtf8(utf8)) {
    *error = "the text is not valid UTF-8";
    return false;
  }
  if (to == TextEncoding::kUtf8) {
    out->assign(utf8);
    return true;
  }
  size_t bad = 0;
  switch (Convert(utf8, IconvName(to), kIconvUtf8, out, &bad)) {
    case ConvertResult::kDone:
      return true;
    case ConvertResult::kBadInput:
      *error = "the character " + DescribeCharacter(utf8, bad) + " has no place in code page 949";
      return false;
    case ConvertResult::kNoConverter:
      *error = NoConverterText(IconvName(to), kIconvUtf8);
      return false;
  }
  return false;
}

}  // namespace dravik
