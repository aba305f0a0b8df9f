#include "platform/archive.h"

#include <cstdio>
#include <type_traits>

namespace dravik {

namespace {
constexpr uint16_t kNewClassTag = 0xFFFF;
constexpr uint16_t kClassTag = 0x8000;
constexpr uint16_t kBigObjectTag = 0x7FFF;
constexpr uint32_t kBigClassTag = 0x80000000u;
constexpr uint32_t kMaxSmallValue = 0x7FFF;

// Counts and string lengths are read as unsigned 32-bit numbers (an int32
// length of 0x80000000 or more is a length beyond the file, never a negative
// one) and compared with the bytes left as size_t: it must hold any of them.
static_assert(sizeof(size_t) >= sizeof(uint32_t), "a count read from a file fits a size_t");
// Record bytes are uint8_t, the same type the strings' chars alias.
static_assert(std::is_same_v<uint8_t, unsigned char>, "archive bytes are unsigned chars");
}  // namespace

CArchive::CArchive() : mode_(Mode::kStore) {}

CArchive::CArchive(std::vector<uint8_t> bytes) : mode_(Mode::kLoad), bytes_(std::move(bytes)) {}

void CArchive::Fail(const std::string& why) {
  if (!error_.empty()) return;
  char where[48];
  std::snprintf(where, sizeof where, "at byte %zu: ", IsStoring() ? bytes_.size() : pos_);
  error_ = where + why;
}

uint32_t CArchive::TakeValue() { return next_value_++; }

// ---- storing ---------------------------------------------------------------

void CArchive::PutByte(uint8_t v) { bytes_.push_back(v); }

void CArchive::PutWord(uint16_t v) {
  PutByte(static_cast<uint8_t>(v & 0xFF));
  PutByte(static_cast<uint8_t>(v >> 8));
}

void CArchive::PutInt32(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  PutWord(static_cast<uint16_t>(u & 0xFFFF));
  PutWord(static_cast<uint16_t>(u >> 16));
}

void CArchive::PutString(const std::string& text) {
  std::string converted;
  const std::string* stored = &text;
  if (text_encoding_ != TextEncoding::kUtf8) {
    std::string why;
    if (!EncodeText(text, text_encoding_, &converted, &why)) {
      Fail(why);
      return;
    }
    stored = &converted;
  }
  const std::string& s = *stored;
  const size_t n = s.size();
  if (n < 255) {
    PutByte(static_cast<uint8_t>(n));
  } else if (n < 0xFFFE) {
    PutByte(0xFF);
    PutWord(static_cast<uint16_t>(n));
  } else {
    PutByte(0xFF);
    PutWord(0xFFFF);
    PutInt32(static_cast<int32_t>(n));
  }
  bytes_.insert(bytes_.end(), s.begin(), s.end());
}

void CArchive::PutCount(size_t count) {
  if (count < 0xFFFF) {
    PutWord(static_cast<uint16_t>(count));
  } else {
    PutWord(0xFFFF);
    PutInt32(static_cast<int32_t>(count));
  }
}

void CArchive::PutClassRef(const std::string& name, uint16_t schema) {
  const auto known = stored_classes_.find(name);
  if (known == stored_classes_.end()) {
    PutWord(kNewClassTag);
    PutWord(schema);
    PutWord(static_cast<uint16_t>(name.size()));
    bytes_.insert(bytes_.end(), name.begin(), name.end());
    stored_classes_[name] = TakeValue();
  } else if (known->second < kMaxSmallValue) {
    PutWord(static_cast<uint16_t>(kClassTag + known->second));
  } else {
    PutWord(kBigObjectTag);
    PutInt32(static_cast<int32_t>(kBigClassTag + known->second));
  }
  TakeValue();  // the object itself
}

// ---- loading ---------------------------------------------------------------

bool CArchive::Need(size_t n, const char* what) {
  if (!ok()) return false;
  if (BytesLeft() < n) {
    char why[96];
    std::snprintf(why, sizeof why, "file ends inside %s (%zu bytes needed, %zu left)", what, n,
                  BytesLeft());
    Fail(why);
    return false;
  }
  return true;
}

uint8_t CArchive::GetByte() {
  if (!Need(1, "a byte")) return 0;
  return bytes_[pos_++];
}

uint16_t CArchive::GetWord() {
  if (!Need(2, "a word")) return 0;
  const uint16_t v = static_cast<uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
  pos_ += 2;
  return v;
}

int32_t CArchive::GetInt32() {
  if (!Need(4, "an int32")) return 0;
  const uint32_t v = static_cast<uint32_t>(bytes_[pos_]) |
                     (static_cast<uint32_t>(bytes_[pos_ + 1]) << 8) |
                     (static_cast<uint32_t>(bytes_[pos_ + 2]) << 16) |
                     (static_cast<uint32_t>(bytes_[pos_ + 3]) << 24);
  pos_ += 4;
  return static_cast<int32_t>(v);
}

std::string CArchive::GetString() {
  uint32_t n = GetByte();
  if (n == 0xFF) {
    n = GetWord();
    if (n == 0xFFFE) {
      Fail("wide-character string marker is not supported");
      return {};
    }
    if (n == 0xFFFF) n = static_cast<uint32_t>(GetInt32());
  }
  if (!Need(n, "a string")) return {};
  std::string s(reinterpret_cast<const char*>(bytes_.data() + pos_), n);
  pos_ += n;
  return s;
}

uint32_t CArchive::GetCount(size_t min_item_bytes) {
  uint32_t n = GetWord();
  if (n == 0xFFFF) n = static_cast<uint32_t>(GetInt32());
  if (!ok()) return 0;
  if (min_item_bytes > 0 && static_cast<uint64_t>(n) * min_item_bytes > BytesLeft()) {
    char why[96];
    std::snprintf(why, sizeof why, "count %u cannot fit in the %zu bytes left", n, BytesLeft());
    Fail(why);
    return 0;
  }
  return n;
}

bool CArchive::GetClassRef(const std::string& expected, uint16_t schema) {
  const uint16_t tag = GetWord();
  if (!ok()) return false;
  std::string name;
  if (tag == kNewClassTag) {
    const uint16_t got_schema = GetWord();
    const uint16_t len = GetWord();
    if (!Need(len, "a class name")) return false;
    name.assign(reinterpret_cast<const char*>(bytes_.data() + pos_), len);
    pos_ += len;
    if (got_schema != schema) {
      Fail("class " + name + " has schema " + std::to_string(got_schema) + ", expected " +
           std::to_string(schema));
      return false;
    }
    loaded_classes_[TakeValue()] = name;
  } else {
    uint32_t ref = tag;
    if (tag == kBigObjectTag) {
      ref = static_cast<uint32_t>(GetInt32());
      if (!ok()) return false;
    } else if (tag & kClassTag) {
      ref = kBigClassTag | (tag & ~kClassTag);
    }
    if (ref == 0) {
      Fail("null object where a " + expected + " is expected");
      return false;
    }
    if ((ref & kBigClassTag) == 0) {
      Fail("reference to an earlier object where a " + expected + " is expected");
      return false;
    }
    const auto known = loaded_classes_.find(ref & ~kBigClassTag);
    if (known == loaded_classes_.end()) {
      Fail("class value " + std::to_string(ref & ~kBigClassTag) + " was never defined");
      return false;
    }
    name = known->second;
  }
  if (name != expected) {
    Fail("found class " + name + " where " + expected + " is expected");
    return false;
  }
  TakeValue();  // the object itself
  return true;
}

}  // namespace dravik
