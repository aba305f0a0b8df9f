// Text encodings of project files: UTF-8, which everything in memory uses, and
// code page 949, which the Windows original writes. Checking UTF-8 is plain
// code; the conversions are the operating system's (iconv on POSIX), because
// another system converts differently. Stateless; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dravik {

// Bytes of a value an error message repeats before it cuts the rest.
constexpr size_t kEchoBytes = 60;

// `text` as an error message repeats it, so one bad value can neither flood
// nor garble the terminal or a log: at most `limit` bytes (cut before a
// UTF-8 character that would not fit whole), control bytes such as NUL shown
// as \xNN, and, when cut, "..." with the whole length: `R1000000... (1048576
// bytes)`.
std::string EchoText(std::string_view text, size_t limit = kEchoBytes);

enum class TextEncoding { kUtf8, kCp949 };

// "utf-8" or "cp949": the names the tools print and accept.
const char* TextEncodingName(TextEncoding encoding);
// Accepts the names above, ignoring case (also "utf8", "949" and "uhc").
bool TextEncodingFromName(std::string_view name, TextEncoding* encoding);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF). ASCII is UTF-8.
bool IsUtf8(std::string_view text);

// `text` in `from` to UTF-8. False, with `error` naming the byte offset and
// the bytes, when `text` is not valid in `from`.
bool DecodeText(std::string_view text, TextEncoding from, std::string* utf8, std::string* error);

// UTF-8 `utf8` to `to`. False when a character has no place in `to`; `error`
// then names it, quoted and as U+XXXX.
bool EncodeText(std::string_view utf8, TextEncoding to, std::string* out, std::string* error);

}  // namespace dravik
