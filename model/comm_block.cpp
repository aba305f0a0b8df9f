#include "model/comm_block.h"

#include <cstdio>
#include <type_traits>

#include "platform/archive.h"

namespace dravik {

// Count, period, area and start are int32 on disk; the fields are exactly that.
static_assert(std::is_same_v<decltype(CCommBlockDVK::count), int32_t> &&
                  std::is_same_v<decltype(CCommBlockDVK::period_ms), int32_t> &&
                  std::is_same_v<decltype(CCommBlockDVK::area), int32_t> &&
                  std::is_same_v<decltype(CCommBlockDVK::start), int32_t>,
              "block fields are stored as int32");

void CCommBlockDVK::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar.PutString(address_text);
    ar.PutInt32(count);
    ar.PutInt32(period_ms);
    ar.PutInt32(area);
    ar.PutInt32(start);
  } else {
    address_text = ar.GetString();
    count = ar.GetInt32();
    period_ms = ar.GetInt32();
    area = ar.GetInt32();
    start = ar.GetInt32();
  }
}

std::string CCommBlockDVK::Label() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, area <= 4 ? ", %02d Bit" : ", %02d Word", count);
  return address_text + buf;
}

}  // namespace dravik
