// The document's run-time operations (driver function table slots 3-7 and
// 13-16), on the host's calling thread. Operations that need the engine do
// nothing and return the refused value until slot 3 has created it.
#include <cstring>

#include "model/device_areas.h"
#include "model/dravik_doc.h"
#include "runtime/comm_engine.h"
#include "runtime/host_services.h"
#include "runtime/tag_poller.h"

namespace dravik {

namespace {
constexpr int kMsgBadAddress = 6;
constexpr int kMsgUnknownDevice = 7;

CCommEngine* EngineOf(const CDravikNetDoc& doc) { return static_cast<CCommEngine*>(doc.Engine()); }
}  // namespace

int CDravikNetDoc::PrepareComm() {
  // A second preparation replaces the engine: the old one stops its threads
  // and closes its port as it is deleted, before the new one opens the port.
  engine_.reset();
  auto engine = std::make_unique<CCommEngine>(this);
  CCommEngine* raw = engine.get();
  engine_ = std::move(engine);
  return raw->BuildPollers();
}

int CDravikNetDoc::BuildTagRequests() {
  CCommEngine* engine = EngineOf(*this);
  return engine ? engine->BuildTagRequests() : 0;
}

int CDravikNetDoc::Stop() {
  CCommEngine* engine = EngineOf(*this);
  return engine ? engine->Stop() : 0;
}

int CDravikNetDoc::BindTag(const char* device, const char* address, int type, int bit_or_length,
                           int tag_id) {
  CCommEngine* engine = EngineOf(*this);
  if (engine == nullptr) return -1;
  const char* device_text = device ? device : "";
  const char* address_text = address ? address : "";
  const char* point = std::strchr(device_text, '.');
  const char* station_name = point ? point + 1 : device_text;

  CStationInfoDVK* station = nullptr;
  for (auto& s : stations_) {
    if (s->name == station_name) {
      station = s.get();
      break;
    }
  }
  if (station == nullptr) {
    const std::string name = LookupTagName(tag_id);
    ReportDriverMessage(kMsgUnknownDevice, 0, name.c_str(), device_text);
    return -1;
  }

  TagBinding prototype;
  prototype.tag_id = tag_id;
  prototype.type = static_cast<uint16_t>(type & 0xFFFF);
  prototype.bit_or_length = static_cast<uint16_t>(bit_or_length & 0xFFFF);
  int area = -1;
  uint32_t number = 0;
  if (prototype.IsExchangeReport()) {
    // The address names a point the line reads, a word, a bit or a bit of a
    // word; the tag follows whichever poller reads it.
    TagBinding as_word = prototype;
    as_word.type = 1;
    TagBinding as_bit = prototype;
    as_bit.type = kTypeBit;
    if (ParseTagAddress(address_text, &area, &number, &as_word) == 0 &&
        ParseTagAddress(address_text, &area, &number, &as_bit) == 0) {
      const std::string name = LookupTagName(tag_id);
      ReportDriverMessage(kMsgBadAddress, 0, name.c_str(), address_text);
      return -1;
    }
    return engine->BindExchangeStatus(station, address_text, area, number, prototype);
  }
  if (ParseTagAddress(address_text, &area, &number, &prototype) == 0) {
    const std::string name = LookupTagName(tag_id);
    ReportDriverMessage(kMsgBadAddress, 0, name.c_str(), address_text);
    return -1;
  }
  // A tag longer than a poller's data image could never be read whole.
  if (!prototype.IsBit() && prototype.bit_or_length > kDataImageBytes) {
    const std::string name = LookupTagName(tag_id);
    ReportDriverNote(0, "태그[" + name + "]의 길이(" + std::to_string(prototype.bit_or_length) +
                            " 바이트)가 최대 " + std::to_string(kDataImageBytes) +
                            " 바이트를 넘어 연결하지 않습니다.");
    return -1;
  }
  // A tag whose last word runs past its area's highest address would be
  // refused by the PLC on every poll; it is as wrongly addressed as a start
  // address out of range.
  const int words = CTagPoller::CountFor(prototype);
  if (BlockFitsArea(area, number, static_cast<uint32_t>(words)) == 0) {
    const std::string name = LookupTagName(tag_id);
    ReportDriverMessage(kMsgBadAddress, 0, name.c_str(), address_text);
    return -1;
  }
  return engine->BindTag(station, address_text, area, number, prototype);
}

int CDravikNetDoc::WriteTag(int handle, CTagVal* value) {
  CCommEngine* engine = EngineOf(*this);
  return engine ? engine->WriteTag(handle, value) : 0;
}

void CDravikNetDoc::SetRunState(const char* station, int state) {
  if (station == nullptr) {
    if (CCommEngine* engine = EngineOf(*this)) engine->SetRunning(state);
    return;
  }
  CStationInfoDVK* s = FindStation(station);
  if (s == nullptr) return;
  s->enabled = state;
  // Enabling is the operator saying "try it now": a demotion ends with it.
  CCommEngine* engine = EngineOf(*this);
  if (LineHealth* health = engine ? engine->Health() : nullptr; health && state != 0) {
    health->LiftDemotion(*s);
  }
}

void CDravikNetDoc::ResetCounters(const char* station) {
  // Once prepared, the host's counters are the engine's published ones.
  CCommEngine* engine = EngineOf(*this);
  if (LineHealth* health = engine ? engine->Health() : nullptr) {
    if (station == nullptr) {
      health->ResetCounters(nullptr);
    } else if (CStationInfoDVK* s = FindStation(station)) {
      health->ResetCounters(s);
    }
    return;
  }
  if (station == nullptr) {
    for (auto& s : stations_) s->ResetCounters();
  } else if (CStationInfoDVK* s = FindStation(station)) {
    s->ResetCounters();
  }
}

int CDravikNetDoc::GetStatistics(const char* station, int* writes_sent, int* writes_failed,
                                 int* reads_sent, int* reads_failed) {
  CCommEngine* engine = EngineOf(*this);
  if (engine == nullptr) return -1;
  if (!engine->IsPortOpen()) return 1;
  LineHealth* health = engine->Health();
  // Published counters: an exchange in progress is in none of them, so sent
  // is always good + failed. A demoted station counts as failing.
  auto counters = [health](CStationInfoDVK& s, int* ws, int* wf, int* rs, int* rf) {
    return health ? health->Statistics(s, ws, wf, rs, rf) : s.GetCounters(ws, wf, rs, rf);
  };
  if (station != nullptr) {
    CStationInfoDVK* s = FindStation(station);
    if (s == nullptr) return -1;
    return counters(*s, writes_sent, writes_failed, reads_sent, reads_failed);
  }
  int enabled = 0;
  int failing = 0;
  for (auto& s : stations_) {
    int ws = 0, wf = 0, rs = 0, rf = 0;
    const int status = counters(*s, &ws, &wf, &rs, &rf);
    if (writes_sent) *writes_sent += ws;
    if (writes_failed) *writes_failed += wf;
    if (reads_sent) *reads_sent += rs;
    if (reads_failed) *reads_failed += rf;
    if (status != -1) ++enabled;
    if (status == 1) ++failing;
  }
  if (!engine->IsRunning() || enabled == 0) return -1;
  return failing > 0 ? 1 : 0;
}

void CDravikNetDoc::GetStationTexts(const char* station, CString* number_text,
                                    CString* description) {
  if (const CStationInfoDVK* s = FindStation(station)) s->GetTexts(number_text, description);
}

}  // namespace dravik
