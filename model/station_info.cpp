#include "model/station_info.h"

#include <cstdio>
#include <type_traits>

#include "platform/archive.h"

namespace dravik {

namespace {
// A block record is at least: class reference word, empty string, four int32.
constexpr size_t kMinBlockRecordBytes = 2 + 1 + 16;
}  // namespace

// The station number is an int32 on disk.
static_assert(std::is_same_v<decltype(CStationInfoDVK::number), int32_t>,
              "the station number is stored as int32");

void CStationInfoDVK::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar.PutString(name);
    ar.PutString(description);
    ar.PutInt32(number);
    ar.PutCount(blocks.size());
    for (const auto& block : blocks) {
      ar.PutClassRef(CCommBlockDVK::kClassName, kSchema);
      block->Serialize(ar);
    }
    return;
  }
  name = ar.GetString();
  description = ar.GetString();
  number = ar.GetInt32();
  const uint32_t count = ar.GetCount(kMinBlockRecordBytes);
  for (uint32_t i = 0; i < count && ar.ok(); ++i) {
    if (!ar.GetClassRef(CCommBlockDVK::kClassName, kSchema)) break;
    auto block = std::make_unique<CCommBlockDVK>();
    block->Serialize(ar);
    blocks.push_back(std::move(block));
  }
}

std::string CStationInfoDVK::Label() const {
  char num[16];
  std::snprintf(num, sizeof num, "%02X", static_cast<unsigned>(number));
  return name + " (" + num + "H국) : " + description;
}

void CStationInfoDVK::GetTexts(std::string* number_text, std::string* description_out) const {
  char num[16];
  std::snprintf(num, sizeof num, "%02d", number);
  if (number_text) *number_text = num;
  if (description_out) *description_out = description;
}

void CStationInfoDVK::ResetRuntime() {
  enabled = 1;
  ResetCounters();
  consecutive_failures = 0;
}

void CStationInfoDVK::ResetCounters() {
  writes_sent = 0;
  writes_failed = 0;
  reads_sent = 0;
  reads_failed = 0;
}

int CStationInfoDVK::GetCounters(int* ws, int* wf, int* rs, int* rf) const {
  if (ws) *ws = writes_sent;
  if (wf) *wf = writes_failed;
  if (rs) *rs = reads_sent;
  if (rf) *rf = reads_failed;
  if (enabled == 0) return -1;
  return consecutive_failures > 0 ? 1 : 0;
}

}  // namespace dravik
