// The document's run-time operations (driver function table slots 3-7 and
// 13-16). Operations that need the engine do nothing and return the refused
// value until slot 3 has created it.
#include "model/dravik_doc.h"

namespace dravik {

int CDravikNetDoc::PrepareComm() { return 0; }
int CDravikNetDoc::BuildTagRequests() { return 0; }
int CDravikNetDoc::Stop() { return 0; }
int CDravikNetDoc::BindTag(const char*, const char*, int, int, int) { return -1; }
int CDravikNetDoc::WriteTag(int, CTagVal*) { return 0; }

void CDravikNetDoc::SetRunState(const char* station, int state) {
  if (station == nullptr) return;
  if (CStationInfoDVK* s = FindStation(station)) s->enabled = state;
}

void CDravikNetDoc::ResetCounters(const char* station) {
  if (station == nullptr) {
    for (auto& s : stations_) s->ResetCounters();
  } else if (CStationInfoDVK* s = FindStation(station)) {
    s->ResetCounters();
  }
}

int CDravikNetDoc::GetStatistics(const char*, int*, int*, int*, int*) { return -1; }

void CDravikNetDoc::GetStationTexts(const char* station, CString* number_text,
                                    CString* description) {
  if (const CStationInfoDVK* s = FindStation(station)) s->GetTexts(number_text, description);
}

}  // namespace dravik
