// The tag list of dravik-host: a CSV file with a header row naming the
// columns name, device, address, type and (optional) length and access, one host tag per
// row. Parsing is pure: rows that can't be used are reported with their line
// number and left out. Values owned by the caller; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "gateway/line/output.h"

namespace dravik::host {

// The host's data type codes with the names the tag list accepts.
struct TagTypeName {
  const char* name;
  int code;
  int default_length;  // bytes; 0 = none (bit: the address gives the bit)
  const char* meaning;
};

constexpr int kTypeBit = 13;
constexpr int kTypeString = 14;
// The driver keeps one poll's data in 122 bytes, so no tag can be longer.
constexpr int kMaxTagLength = 120;
// The host's tag names are at most 255 bytes; a longer one is refused, not cut.
constexpr size_t kMaxTagNameBytes = 255;

// Code 0..14 in order, then the aliases.
const std::vector<TagTypeName>& TagTypeNames();
// A type column: a code 0..14 or a name (case ignored). -1 when unknown.
int ParseTagType(const std::string& text);
// The name of a code, or the code as digits.
std::string TagTypeText(int code);

struct TagRow {
  int line = 0;  // 1-based line of the row in the file
  std::string name;
  std::string device;
  std::string address;
  int type = 0;
  int length = 0;  // bytes, or for a bit tag the given bit number (usually 0)
  // The access column: "r" or "rw". Without the column every tag is rw. It
  // governs writes taken from MQTT; the terminal's write command ignores it.
  bool writable = true;
};

struct TagListError {
  int line = 0;
  std::string text;
};

struct TagList {
  std::vector<TagRow> rows;
  std::vector<TagListError> errors;
  bool has_header = false;  // a header row naming the required columns was found
  int data_rows = 0;        // rows after the header, used or refused
};

// Parses the CSV text. Lines end with LF, CR or CR LF. Blank lines and lines
// starting with '#' are skipped; fields may be quoted with '"' (a doubled
// quote inside is one quote). A missing or incomplete header is one error at
// its line and yields no rows; a row with a NUL byte in a field is refused,
// as is a name longer than kMaxTagNameBytes. A field an error repeats is cut
// to a readable length (the reader of the file adds its name to each line).
TagList ParseTagList(const std::string& text);

// Reads and parses the tag list file: each refused row on stderr with the
// file and line (and as a tag_error record in JSON mode). False when the file
// cannot be read, has no header, or yields no tag although it lists some.
bool ReadTagFile(const std::string& path, Output* out, std::vector<TagRow>* rows);

}  // namespace dravik::host
