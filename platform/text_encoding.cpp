#include "platform/text_encoding.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>

namespace dravik {

std::string EchoText(std::string_view text, size_t limit) {
  size_t cut = text.size();
  if (cut > limit) {
    cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  }
  std::string out;
  for (size_t i = 0; i < cut; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (cut < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

const char* TextEncodingName(TextEncoding encoding) {
  return encoding == TextEncoding::kCp949 ? "cp949" : "utf-8";
}

bool TextEncodingFromName(std::string_view name, TextEncoding* encoding) {
  const std::string text(name);
  for (const char* utf8 : {"utf-8", "utf8"}) {
    if (::strcasecmp(text.c_str(), utf8) == 0) {
      *encoding = TextEncoding::kUtf8;
      return true;
    }
  }
  for (const char* cp949 : {"cp949", "949", "uhc"}) {
    if (::strcasecmp(text.c_str(), cp949) == 0) {
      *encoding = TextEncoding::kCp949;
      return true;
    }
  }
  return false;
}

bool IsUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t trail = 0;
    uint32_t code = 0;
    uint32_t lowest = 0;
    if ((lead & 0xE0) == 0xC0) {
      trail = 1, code = lead & 0x1F, lowest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      trail = 2, code = lead & 0x0F, lowest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      trail = 3, code = lead & 0x07, lowest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= trail) return false;
    for (size_t k = 1; k <= trail; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += trail + 1;
  }
  return true;
}

}  // namespace dravik
