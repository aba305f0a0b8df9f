#include "tools/host/tag_list.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>

#include "platform/text_encoding.h"

namespace dravik::host {

namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// One CSV line into fields; false on an unterminated quote.
bool SplitCsv(const std::string& line, std::vector<std::string>* fields) {
  fields->clear();
  std::string field;
  bool quoted = false;      // inside quotes
  bool was_quoted = false;  // this field used quotes: keep its spaces
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"' && !was_quoted && Trim(field).empty()) {
      // A quote opens quoting only at the start of a field; elsewhere it is text.
      quoted = true;
      was_quoted = true;
      field = Trim(field);
    } else if (c == ',') {
      fields->push_back(was_quoted ? field : Trim(field));
      field.clear();
      was_quoted = false;
    } else {
      field += c;
    }
  }
  if (quoted) return false;
  fields->push_back(was_quoted ? field : Trim(field));
  return true;
}

bool ParseInt(const std::string& text, long lo, long hi, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

// A field as a message repeats it: quoted, a huge one cut (EchoText).
std::string Quoted(const std::string& text) { return "\"" + EchoText(text) + "\""; }

}  // namespace

const std::vector<TagTypeName>& TagTypeNames() {
  static const std::vector<TagTypeName> kNames = {
      {"int8", 0, 1, "signed 8-bit"},
      {"int16", 1, 2, "signed 16-bit"},
      {"int32", 2, 4, "signed 32-bit"},
      {"uint", 3, 2, "unsigned, read as a 16-bit word"},
      {"uint16", 4, 2, "unsigned 16-bit"},
      {"uint32", 5, 4, "unsigned 32-bit"},
      {"bcd2s", 6, 1, "signed BCD, 2 digits (sign bit 0x80)"},
      {"bcd4s", 7, 2, "signed BCD, 4 digits (sign bit 0x8000)"},
      {"bcd8s", 8, 4, "signed BCD, 8 digits (sign bit 0x80000000)"},
      {"bcd2", 9, 1, "BCD, 2 digits"},
      {"bcd4", 10, 2, "BCD, 4 digits"},
      {"bcd8", 11, 4, "BCD, 8 digits"},
      {"int-write", 12, 4, "whole number, written only (no value is read)"},
      {"bit", 13, 0, "one bit (C17, R100.3)"},
      {"string", 14, 0, "text of LENGTH bytes (length required)"},
      {"word", 4, 2, "same as uint16"},
  };
  return kNames;
}

int ParseTagType(const std::string& text) {
  const std::string t = Lower(Trim(text));
  int code = 0;
  if (ParseInt(t, 0, 14, &code)) return code;
  for (const auto& n : TagTypeNames()) {
    if (t == n.name) return n.code;
  }
  return -1;
}

std::string TagTypeText(int code) {
  for (const auto& n : TagTypeNames()) {
    if (n.code == code) return n.name;
  }
  return std::to_string(code);
}

TagList ParseTagList(const std::string& text) {
  TagList list;
  int col_name = -1, col_device = -1, col_address = -1, col_type = -1, col_length = -1,
      col_access = -1;
  bool have_header = false;
  std::set<std::string> names;
  std::vector<std::string> fields;

  size_t pos = 0;
  int line_no = 0;
  while (pos < text.size()) {
    // A line ends at LF, CR or CR LF, whichever the file was saved with.
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    ++line_no;
    if (line_no == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // BOM
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;

    auto error = [&list, line_no](const std::string& what) {
      list.errors.push_back({line_no, what});
    };
    if (have_header) ++list.data_rows;
    if (!SplitCsv(line, &fields)) {
      error(have_header ? "unterminated quote; row skipped" : "unterminated quote in the header");
      if (!have_header) return list;
      continue;
    }

    if (!have_header) {
      for (size_t i = 0; i < fields.size(); ++i) {
        const std::string f = Lower(fields[i]);
        const int idx = static_cast<int>(i);
        if (f == "name") col_name = idx;
        if (f == "device") col_device = idx;
        if (f == "address") col_address = idx;
        if (f == "type") col_type = idx;
        if (f == "length") col_length = idx;
        if (f == "access") col_access = idx;
      }
      if (col_name < 0 || col_device < 0 || col_address < 0 || col_type < 0) {
        error("the header row must name the columns name, device, address, type (and length)");
        return list;
      }
      have_header = true;
      list.has_header = true;
      continue;
    }

    // A NUL would end the text the driver sees: "R1\0 23" must not bind as R1.
    if (const auto nul = std::find_if(fields.begin(), fields.end(),
                                      [](const std::string& f) { return f.find('\0') != f.npos; });
        nul != fields.end()) {
      error("field " + std::to_string(nul - fields.begin() + 1) + " holds a NUL byte; row skipped");
      continue;
    }
    auto field = [&fields](int col) -> std::string {
      return col >= 0 && col < static_cast<int>(fields.size()) ? fields[col] : std::string();
    };
    const int needed = std::max({col_name, col_device, col_address, col_type}) + 1;
    if (static_cast<int>(fields.size()) < needed) {
      error("expected at least " + std::to_string(needed) + " fields, found " +
            std::to_string(fields.size()) + "; row skipped");
      continue;
    }
    TagRow row;
    row.line = line_no;
    row.name = field(col_name);
    row.device = field(col_device);
    row.address = field(col_address);
    if (row.name.empty()) {
      error("the tag has no name; row skipped");
      continue;
    }
    if (row.name.size() > kMaxTagNameBytes) {
      error("tag name " + Quoted(row.name) + " is " + std::to_string(row.name.size()) +
            " bytes long, more than " + std::to_string(kMaxTagNameBytes) + "; row skipped");
      continue;
    }
    if (names.count(row.name) != 0) {
      error("tag " + Quoted(row.name) + " is listed twice; row skipped");
      continue;
    }
    if (row.device.empty()) {
      error("tag " + Quoted(row.name) + " has no device; row skipped");
      continue;
    }
    row.type = ParseTagType(field(col_type));
    if (row.type < 0) {
      error("tag " + Quoted(row.name) + ": unknown type " + Quoted(field(col_type)) +
            " (0..14 or a type name); row skipped");
      continue;
    }
    const std::string length_text = field(col_length);
    if (row.type == kTypeBit) {
      row.length = 0;
      if (!length_text.empty() && !ParseInt(length_text, 0, 15, &row.length)) {
        error("tag " + Quoted(row.name) + ": bit number " + Quoted(length_text) +
              " is not 0..15; row skipped");
        continue;
      }
    } else if (length_text.empty()) {
      int default_length = 0;
      for (const auto& n : TagTypeNames()) {
        if (n.code == row.type) default_length = n.default_length;
      }
      if (default_length == 0) {
        error("tag " + Quoted(row.name) + ": a " + TagTypeText(row.type) +
              " tag needs a length; row skipped");
        continue;
      }
      row.length = default_length;
    } else if (!ParseInt(length_text, 1, kMaxTagLength, &row.length)) {
      error("tag " + Quoted(row.name) + ": length " + Quoted(length_text) + " is not 1.." +
            std::to_string(kMaxTagLength) + "; row skipped");
      continue;
    }
    if (col_access >= 0) {
      const std::string access = Lower(Trim(field(col_access)));
      if (access != "r" && access != "rw") {
        error("tag " + Quoted(row.name) + ": access " + Quoted(field(col_access)) +
              " is not r or rw; row skipped");
        continue;
      }
      row.writable = access == "rw";
    }
    names.insert(row.name);
    list.rows.push_back(row);
  }
  if (!have_header) list.errors.push_back({line_no, "the tag list has no header row"});
  return list;
}

}  // namespace dravik::host
