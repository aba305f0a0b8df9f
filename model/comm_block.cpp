#include "model/comm_block.h"

#include <cstdio>

#include "platform/archive.h"

namespace dravik {

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
