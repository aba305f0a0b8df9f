// Stand-in for the host's support library TarselSub: the value classes the
// driver hands to the host (CTagVal, CEventVal), the host's error box
// (CTarselError) with the string registry the driver's texts live in, and the
// project file header (CTarselHeader). Value objects belong to whoever created
// them; the error box's handler and registry are guarded by their own lock.
#pragma once

#include <cstdint>
#include <string>

namespace dravik {
class CArchive;
}

using CString = std::string;

// A tag value readable as a number or as text. A value set from a number
// also reads as text, and one set from text reads as the number the text
// begins with (0 when it does not begin with one).
class CTagVal {
 public:
  CTagVal() = default;
  double GetVal() const { return value_; }
  void SetVal(double v);
  void SetVal(const char* text);
  CString& GetValStr() { return text_; }
  const CString& GetValStr() const { return text_; }
  // False for a value nobody has set (a decoder that found no valid value).
  bool HasValue() const { return has_value_; }
  bool IsText() const { return is_text_; }

 private:
  double value_ = 0.0;
  CString text_;
  bool has_value_ = false;
  bool is_text_ = false;
};

// A value-change event: the host's tag id and the new value.
class CEventVal {
 public:
  CEventVal() = default;
  virtual ~CEventVal();
  virtual void Serialize(dravik::CArchive& ar);
  virtual const char* GetRuntimeClass() const;

  int GetTagId() const { return tag_id_; }
  void SetTagId(int id) { tag_id_ = id; }
  CTagVal& Value() { return value_; }
  const CTagVal& Value() const { return value_; }

 private:
  int tag_id_ = 0;
  CTagVal value_;
};

// The host's error box. A user interface installs a handler (the editor shows
// a message box); without one the text goes to stderr. Texts come from the
// registry (the driver registers its string table at load) or, for the host's
// own numbers (2002, 2005, 18), from the host. A text for a message with
// %s fills it with its first line; the lines after a line break follow the
// message, each on a line of its own (a failure's reason below its summary).
class CTarselError {
 public:
  using Handler = void (*)(void* context, int id, int flags, const char* message);

  static int ErrMsg(int id, int flags, const char* text, ...);
  static void InstallHandler(Handler handler, void* context);
  // The handler installed now (null: none), so a user interface that installs
  // its own for a while can put the earlier one back.
  static Handler CurrentHandler(void** context);
  static void RegisterString(int id, const char* text);
  static void UnregisterString(int id);
  // The text for `id`: a registered string, else the host's own, else empty.
  static std::string LookupString(int id);
};

// The host's project file header: an int32 construction value followed by the
// description string. Loading checks both against what this header was built
// with and fails the archive on a mismatch.
class CTarselHeader {
 public:
  explicit CTarselHeader(int value) : value_(value) {}
  virtual ~CTarselHeader();
  void SetDesc(const char* desc) { desc_ = desc ? desc : ""; }
  virtual void Serialize(dravik::CArchive& ar);

  int Value() const { return value_; }
  const CString& Desc() const { return desc_; }

 private:
  int value_;
  CString desc_;
};
