#include "runtime/value_conversion.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/frame_codec.h"

namespace dravik {

namespace {

constexpr int kCodeSigned8 = 0;
constexpr int kCodeSigned16 = 1;
constexpr int kCodeSigned32 = 2;
constexpr int kCodeUnsigned16Alt = 3;
constexpr int kCodeUnsigned16 = 4;
constexpr int kCodeUnsigned32 = 5;
constexpr int kCodeFirstSignedBcd = 6;
constexpr int kCodeLastSignedBcd = 8;
constexpr int kCodeFirstUnsignedBcd = 9;
constexpr int kCodeLastUnsignedBcd = 11;
constexpr int kCodeWholeOnWrite = 12;
constexpr int kCodeCount = 15;

// BCD constants indexed by the data type code; zero for the codes that are
// not BCD. Place value of the highest encoded digit, sign bit, and the mask
// that keeps the magnitude when decoding.
constexpr uint32_t kBcdPlace[kCodeCount] = {0,        0,  0,    0,        0, 0, 10, 1000,
                                            10000000, 10, 1000, 10000000, 0, 0, 0};
constexpr uint32_t kBcdSign[kCodeCount] = {0,           0, 0, 0, 0, 0, 0x80, 0x8000,
                                           0x80000000u, 0, 0, 0, 0, 0, 0};
constexpr uint32_t kBcdMagnitudeMask[kCodeCount] = {0,          0, 0, 0, 0, 0, 0x7F, 0x7FFF,
                                                    0x7FFFFFFF, 0, 0, 0, 0, 0, 0};

bool IsSignedBcd(int code) { return code >= kCodeFirstSignedBcd && code <= kCodeLastSignedBcd; }
bool IsUnsignedBcd(int code) {
  return code >= kCodeFirstUnsignedBcd && code <= kCodeLastUnsignedBcd;
}

// Truncation toward zero without undefined behaviour: NaN becomes 0 and values
// beyond the int64 range are clamped to its ends. Within the range this is the
// plain C++ conversion.
int64_t TruncateToInt64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// |v| truncated toward zero as an unsigned 32-bit magnitude; NaN gives 0 and
// magnitudes of 2^32 or more are clamped to 0xFFFFFFFF.
uint32_t TruncatedMagnitude(double v) {
  if (std::isnan(v)) return 0;
  const double m = std::fabs(v);
  if (m >= 4294967296.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(m);
}

// The digit loop shared by both BCD encoders, in unsigned 32-bit arithmetic.
// A digit is not checked against 9: a magnitude beyond the code's digits
// spills into higher nibbles (and bits shifted past bit 31 are lost).
uint32_t EncodeBcdDigits(uint32_t m, uint32_t place) {
  uint32_t r = 0;
  while (place > 1) {
    r |= m / place;
    m %= place;
    place /= 10;
    r <<= 4;
  }
  return r | m;
}

// Writes the low `length` bytes of `n`, least significant first; bytes past
// the eighth repeat the sign (two's complement of a wider number).
void PutLowBytes(int64_t n, size_t length, std::span<uint8_t> dest) {
  const uint64_t bits = static_cast<uint64_t>(n);
  const uint8_t fill = n < 0 ? 0xFF : 0x00;
  for (size_t i = 0; i < length; ++i)
    dest[i] = i < 8 ? static_cast<uint8_t>(bits >> (8 * i)) : fill;
}

// Reads the tag's bytes in host order. Bytes past the span (the end of the
// poller's data image) read as 0, so a 32-bit read of a tag in the image's last
// word uses only the bytes that exist.
class TagBytes {
 public:
  explicit TagBytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint8_t Byte(size_t i) const { return i < bytes_.size() ? bytes_[i] : 0; }
  uint16_t Word() const { return static_cast<uint16_t>(Byte(0) | (Byte(1) << 8)); }
  // The word at the lower PLC address holds the low 16 bits.
  uint32_t Long() const {
    return static_cast<uint32_t>(Byte(0)) | static_cast<uint32_t>(Byte(1)) << 8 |
           static_cast<uint32_t>(Byte(2)) << 16 | static_cast<uint32_t>(Byte(3)) << 24;
  }

 private:
  std::span<const uint8_t> bytes_;
};

// 2 x L BCD digits of `raw`, least significant nibble first. Only 32 bits were
// read, so no more than eight digits can carry a value. False when a nibble is
// 10 or more: the data holds no valid value.
bool DecodeBcdDigits(uint32_t raw, size_t length, uint32_t* value) {
  const size_t digits = 2 * length < 8 ? 2 * length : 8;
  uint32_t sum = 0;
  uint32_t weight = 1;
  for (size_t k = 0; k < digits; ++k) {
    const uint32_t nibble = (raw >> (4 * k)) & 0xF;
    if (nibble >= 10) return false;
    sum += nibble * weight;
    weight *= 10;
  }
  *value = sum;
  return true;
}

std::unique_ptr<CEventVal> NewEvent(const TagBinding& binding) {
  auto event = std::make_unique<CEventVal>();
  event->SetTagId(binding.tag_id);
  return event;
}

}  // namespace

void ValueEventList::Append(std::unique_ptr<CEventVal> event) {
  if (!event) return;
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

std::unique_ptr<CEventVal> ValueEventList::PopFront() {
  std::lock_guard lock(mutex_);
  if (events_.empty()) return nullptr;
  std::unique_ptr<CEventVal> event = std::move(events_.front());
  events_.pop_front();
  return event;
}

void ValueEventList::Clear() {
  // Destroy the events outside the lock: a host destructor never runs while
  // the list is held.
  std::deque<std::unique_ptr<CEventVal>> doomed;
  {
    std::lock_guard lock(mutex_);
    doomed.swap(events_);
  }
}

size_t ValueEventList::Size() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

int EncodeTagValue(const TagBinding& binding, const CTagVal& value,
                   std::span<uint8_t, kEncodeAreaBytes> dest) {
  const int code = binding.type;
  const double v = value.GetVal();
  if (code == kTypeBit) {
    // One byte whatever the binding's length; any non-zero value (NaN too) is on.
    dest[0] = v == 0.0 ? 0 : 1;
    return 1;
  }
  // A write frame carries at most kMaxWriteDataBytes data bytes; a length of
  // 0 (or a longer one) cannot be written.
  const size_t length = binding.bit_or_length;
  if (length == 0 || length > kMaxWriteDataBytes) return -1;

  if (code == kTypeString) {
    // The text is cut to L bytes; a shorter text is followed by zero bytes so
    // no undefined byte goes on the wire. An odd-length text that leaves room
    // gets the space that pads it to whole words.
    std::memset(dest.data(), 0, dest.size());
    const std::string& text = value.GetValStr();
    size_t n = text.find('\0');
    if (n == std::string::npos) n = text.size();
    if (n > length) n = length;
    std::memcpy(dest.data(), text.data(), n);
    if (n < length && n % 2 == 1) dest[n] = ' ';
    return static_cast<int>(length);
  }
  if (IsSignedBcd(code)) {
    uint32_t r = EncodeBcdDigits(TruncatedMagnitude(v), kBcdPlace[code]);
    if (v < 0.0) r |= kBcdSign[code];
    PutLowBytes(r, length, dest);
    return static_cast<int>(length);
  }
  if (IsUnsignedBcd(code)) {
    // The magnitude is the low 32 bits of the truncated value, so a negative
    // value keeps its two's complement bit pattern (and spills digits).
    const uint32_t m = static_cast<uint32_t>(static_cast<uint64_t>(TruncateToInt64(v)));
    PutLowBytes(EncodeBcdDigits(m, kBcdPlace[code]), length, dest);
    return static_cast<int>(length);
  }
  // Codes 0..5 and 12, and any unknown code: the truncated whole number in two's
  // complement, so unsigned 32-bit values and negative values alike keep their
  // bit pattern in the low L bytes. Range is not checked (the host's value is
  // trusted): 70000 to a 16-bit tag sends its low 16 bits.
  PutLowBytes(TruncateToInt64(v), length, dest);
  return static_cast<int>(length);
}

void PostValueEvent(ValueEventList& list, const TagBinding& binding,
                    std::span<const uint8_t> tag_bytes) {
  auto event = NewEvent(binding);
  const TagBytes in(tag_bytes);
  const int code = binding.type;
  const size_t length = binding.bit_or_length;
  CTagVal& out = event->Value();
  switch (code) {
    case kCodeSigned8:
      out.SetVal(static_cast<double>(static_cast<int8_t>(in.Byte(0))));
      break;
    case kCodeSigned16:
      out.SetVal(static_cast<double>(static_cast<int16_t>(in.Word())));
      break;
    case kCodeSigned32:
      out.SetVal(static_cast<double>(static_cast<int32_t>(in.Long())));
      break;
    case kCodeUnsigned16Alt:
    case kCodeUnsigned16:
      out.SetVal(static_cast<double>(in.Word()));
      break;
    case kCodeUnsigned32:
      out.SetVal(static_cast<double>(in.Long()));
      break;
    case kTypeString: {
      // At most L bytes, ending at the first zero byte or the image's end.
      std::string text;
      for (size_t i = 0; i < length && i < tag_bytes.size() && tag_bytes[i] != 0; ++i) {
        text.push_back(static_cast<char>(tag_bytes[i]));
      }
      out.SetVal(text.c_str());
      break;
    }
    case kCodeWholeOnWrite:
    case kTypeBit:
      // Code 12 is written only, and a bit tag's events come from
      // PostBitEvent: no value is decoded, the event carries the value a new
      // CEventVal holds.
      break;
    default:
      if (IsSignedBcd(code)) {
        uint32_t raw = in.Long();
        const bool negative = (raw & kBcdSign[code]) != 0;
        if (negative) raw &= kBcdMagnitudeMask[code];
        uint32_t magnitude = 0;
        if (DecodeBcdDigits(raw, length, &magnitude)) {
          const double d = static_cast<double>(magnitude);
          out.SetVal(negative && magnitude != 0 ? -d : d);
        }
      } else if (IsUnsignedBcd(code)) {
        uint32_t magnitude = 0;
        if (DecodeBcdDigits(in.Long(), length, &magnitude)) {
          out.SetVal(static_cast<double>(magnitude));
        }
      }
      // Unknown codes decode no value either.
      break;
  }
  list.Append(std::move(event));
}

bool PostExchangeStatus(ValueEventList& list, std::span<const TagBinding> status_tags, int result,
                        uint32_t took_ms) {
  for (const TagBinding& binding : status_tags) {
    auto event = NewEvent(binding);
    event->Value().SetVal(binding.type == kTypeExchangeTime ? static_cast<double>(took_ms)
                                                             : static_cast<double>(result));
    list.Append(std::move(event));
  }
  return !status_tags.empty();
}

void PostBitEvent(ValueEventList& list, const TagBinding& binding, uint16_t value) {
  auto event = NewEvent(binding);
  event->Value().SetVal(value != 0 ? 1.0 : 0.0);
  list.Append(std::move(event));
}

}  // namespace dravik
