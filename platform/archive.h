// CArchive: the object archive of the original's class framework, byte for
// byte, as the project file uses it. One archive is either storing (bytes
// appended to a buffer) or loading (bytes read from a buffer).
//
// Layout written down here because the project file depends on it (all
// integers little-endian):
//   string   len < 255:        byte len, bytes
//            255..65533:       byte 0xFF, word len, bytes
//            longer:           byte 0xFF, word 0xFFFF, int32 len, bytes
//   count    < 0xFFFF:         word count;  else word 0xFFFF, int32 count
//   class reference (per archive counter starting at 1; a new class takes
//   the next value after its description, every object the next value after
//   its reference):
//            new class:        word 0xFFFF, word schema, word name length, name
//            known class v:    word 0x8000+v (v < 0x7FFF), else word 0x7FFF,
//                              int32 0x80000000+v
//   on reading also:           word 0 null object, 0x0001..0x7FFE (or 0x7FFF
//                              with top bit clear) a reference to an earlier
//                              object; both are refused by this driver's files.
//
// Loading never throws and never reads or allocates past the bytes it holds:
// the first problem sets a sticky failure (with the byte offset and the
// reason) and every later Get* returns zero or empty. Used by one thread.
//
// Strings are UTF-8 in memory. A storing archive writes them in its text
// encoding (UTF-8 unless set); a string that has no place in it fails the
// archive. Loading hands strings back as stored: whether a file's texts are
// UTF-8 or code page 949 is decided over all of them, by the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/text_encoding.h"

namespace dravik {

class CArchive {
 public:
  enum class Mode { kStore, kLoad };

  // A storing archive.
  CArchive();
  // A loading archive over `bytes`.
  explicit CArchive(std::vector<uint8_t> bytes);

  bool IsStoring() const { return mode_ == Mode::kStore; }
  bool IsLoading() const { return mode_ == Mode::kLoad; }

  bool ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  // Marks the archive failed (first reason wins); callable by record code.
  void Fail(const std::string& why);

  // Storing.
  void SetTextEncoding(TextEncoding encoding) { text_encoding_ = encoding; }
  TextEncoding GetTextEncoding() const { return text_encoding_; }
  void PutByte(uint8_t v);
  void PutWord(uint16_t v);
  void PutInt32(int32_t v);
  void PutString(const std::string& s);
  void PutCount(size_t count);
  // Writes the class reference of one object of class `name` with `schema`
  // and takes the object's counter value.
  void PutClassRef(const std::string& name, uint16_t schema);

  // Loading.
  uint8_t GetByte();
  uint16_t GetWord();
  int32_t GetInt32();
  std::string GetString();
  // Reads a count; fails when `count * min_item_bytes` exceeds the bytes left,
  // so a caller may reserve for it safely.
  uint32_t GetCount(size_t min_item_bytes);
  // Reads one object's class reference, requires class `expected` with
  // `schema`, and takes the object's counter value. False on any mismatch.
  bool GetClassRef(const std::string& expected, uint16_t schema);

  size_t Position() const { return pos_; }
  size_t BytesLeft() const { return bytes_.size() - pos_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  bool Need(size_t n, const char* what);
  uint32_t TakeValue();

  Mode mode_;
  std::vector<uint8_t> bytes_;
  size_t pos_ = 0;
  std::string error_;
  uint32_t next_value_ = 1;
  TextEncoding text_encoding_ = TextEncoding::kUtf8;
  std::map<std::string, uint32_t> stored_classes_;  // storing: class name -> value
  std::map<uint32_t, std::string> loaded_classes_;  // loading: value -> class name
};

}  // namespace dravik
