#include "gateway/line/tag_list.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "platform/file_io.h"
#include "platform/text_encoding.h"

namespace dravik::host {

namespace {

// A tag list larger than this is no tag list.
constexpr size_t kMaxTagFileBytes = 16u << 20;

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
      {"int-write", 12, 4, "whole number, written only (no value decoded; polled if in no block)"},
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

namespace {

// The columns of the header row, -1 where a column is missing.
struct Columns {
  int name = -1, device = -1, address = -1, type = -1, length = -1, access = -1;
};

bool ReadHeader(const std::vector<std::string>& fields, Columns* cols) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string f = Lower(fields[i]);
    const int idx = static_cast<int>(i);
    if (f == "name") cols->name = idx;
    if (f == "device") cols->device = idx;
    if (f == "address") cols->address = idx;
    if (f == "type") cols->type = idx;
    if (f == "length") cols->length = idx;
    if (f == "access") cols->access = idx;
  }
  return cols->name >= 0 && cols->device >= 0 && cols->address >= 0 && cols->type >= 0;
}

// The length column of a row whose type is known: "" when taken, else why not.
std::string ReadLength(const std::string& length_text, TagRow* row) {
  if (row->type == kTypeBit) {
    row->length = 0;
    if (!length_text.empty() && !ParseInt(length_text, 0, 15, &row->length)) {
      return "tag " + Quoted(row->name) + ": bit number " + Quoted(length_text) +
             " is not 0..15; row skipped";
    }
  } else if (length_text.empty()) {
    int default_length = 0;
    for (const auto& n : TagTypeNames()) {
      if (n.code == row->type) default_length = n.default_length;
    }
    if (default_length == 0) {
      return "tag " + Quoted(row->name) + ": a " + TagTypeText(row->type) +
             " tag needs a length; row skipped";
    }
    row->length = default_length;
  } else if (!ParseInt(length_text, 1, kMaxTagLength, &row->length)) {
    return "tag " + Quoted(row->name) + ": length " + Quoted(length_text) + " is not 1.." +
           std::to_string(kMaxTagLength) + "; row skipped";
  }
  return "";
}

// One data row: "" when `row` holds it, else why it is skipped.
std::string ReadRow(const std::vector<std::string>& fields, const Columns& cols,
                    const std::set<std::string>& names, TagRow* row) {
  // A NUL would end the text the driver sees: "R1\0 23" must not bind as R1.
  if (const auto nul = std::find_if(fields.begin(), fields.end(),
                                    [](const std::string& f) { return f.find('\0') != f.npos; });
      nul != fields.end()) {
    return "field " + std::to_string(nul - fields.begin() + 1) + " holds a NUL byte; row skipped";
  }
  auto field = [&fields](int col) -> std::string {
    return col >= 0 && col < static_cast<int>(fields.size()) ? fields[col] : std::string();
  };
  const int needed = std::max({cols.name, cols.device, cols.address, cols.type}) + 1;
  if (static_cast<int>(fields.size()) < needed) {
    return "expected at least " + std::to_string(needed) + " fields, found " +
           std::to_string(fields.size()) + "; row skipped";
  }
  row->name = field(cols.name);
  row->device = field(cols.device);
  row->address = field(cols.address);
  if (row->name.empty()) return "the tag has no name; row skipped";
  if (row->name.size() > kMaxTagNameBytes) {
    return "tag name " + Quoted(row->name) + " is " + std::to_string(row->name.size()) +
           " bytes long, more than " + std::to_string(kMaxTagNameBytes) + "; row skipped";
  }
  if (names.count(row->name) != 0)
    return "tag " + Quoted(row->name) + " is listed twice; row skipped";
  if (row->device.empty()) return "tag " + Quoted(row->name) + " has no device; row skipped";
  row->type = ParseTagType(field(cols.type));
  if (row->type < 0) {
    return "tag " + Quoted(row->name) + ": unknown type " + Quoted(field(cols.type)) +
           " (0..14 or a type name); row skipped";
  }
  if (std::string why = ReadLength(field(cols.length), row); !why.empty()) return why;
  if (cols.access >= 0) {
    const std::string access = Lower(Trim(field(cols.access)));
    if (access != "r" && access != "rw") {
      return "tag " + Quoted(row->name) + ": access " + Quoted(field(cols.access)) +
             " is not r or rw; row skipped";
    }
    row->writable = access == "rw";
  }
  return "";
}

}  // namespace

TagList ParseTagList(const std::string& text) {
  TagList list;
  Columns cols;
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
      if (!ReadHeader(fields, &cols)) {
        error("the header row must name the columns name, device, address, type (and length)");
        return list;
      }
      have_header = true;
      list.has_header = true;
      continue;
    }
    TagRow row;
    row.line = line_no;
    if (const std::string why = ReadRow(fields, cols, names, &row); !why.empty()) {
      error(why);
      continue;
    }
    names.insert(row.name);
    list.rows.push_back(row);
  }
  if (!have_header) list.errors.push_back({line_no, "the tag list has no header row"});
  return list;
}

bool ReadTagFile(const std::string& path, Output* out, std::vector<TagRow>* rows) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!dravik::ReadWholeFile(path, kMaxTagFileBytes, &bytes, &error)) {
    std::fprintf(stderr, "error: cannot read the tag list: %s\n", error.c_str());
    return false;
  }
  const TagList list = ParseTagList(std::string(bytes.begin(), bytes.end()));
  for (const auto& e : list.errors) {
    std::fprintf(stderr, "%s:%d: %s\n", path.c_str(), e.line, e.text.c_str());
    if (out->json()) {
      out->Plain("",
                 Json{{"kind", "tag_error"}, {"file", path}, {"line", e.line}, {"text", e.text}});
    }
  }
  // A list that yields no tag is a mistake unless it lists none on purpose.
  if (list.has_header && list.rows.empty()) {
    const bool refused_all = list.data_rows > 0;
    const std::string text = refused_all ? "error: " + path + ": no usable tag in the list"
                                         : "note: " + path + " lists no tags";
    std::fprintf(stderr, "%s\n", text.c_str());
    if (refused_all) return false;
  }
  *rows = list.rows;
  return list.has_header;
}

}  // namespace dravik::host
