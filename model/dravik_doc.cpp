#include "model/dravik_doc.h"

#include <strings.h>

#include <cstdio>

#include "model/project_text.h"
#include "platform/archive.h"
#include "platform/file_io.h"

namespace dravik {

namespace {
// A station record is at least: class reference word, two empty strings,
// number, block count.
constexpr size_t kMinStationRecordBytes = 2 + 1 + 1 + 4 + 2;

bool SameNameIgnoringCase(const std::string& a, const char* b) {
  return ::strcasecmp(a.c_str(), b) == 0;
}
}  // namespace

CDravikNetDoc::CDravikNetDoc() : header_(kHeaderValue) { header_.SetDesc(kHeaderDesc); }

CDravikNetDoc::~CDravikNetDoc() {
  // The engine goes first: its destructor stops the worker threads, which
  // still point at the stations.
  engine_.reset();
  stations_.clear();
}

void CDravikNetDoc::SetEngine(std::unique_ptr<CEngineBase> engine) { engine_ = std::move(engine); }

void CDravikNetDoc::Serialize(CArchive& ar) {
  header_.Serialize(ar);
  if (ar.IsStoring()) {
    ar.PutCount(station_names_.size());
    for (const auto& name : station_names_) ar.PutString(name);
    port_.Serialize(ar);
    ar.PutCount(stations_.size());
    for (const auto& station : stations_) {
      ar.PutClassRef(CStationInfoDVK::kClassName, kSchema);
      station->Serialize(ar);
    }
    return;
  }
  station_names_.clear();
  const uint32_t names = ar.GetCount(1);
  for (uint32_t i = 0; i < names && ar.ok(); ++i) station_names_.push_back(ar.GetString());
  port_.Serialize(ar);
  const uint32_t count = ar.GetCount(kMinStationRecordBytes);
  for (uint32_t i = 0; i < count && ar.ok(); ++i) {
    if (!ar.GetClassRef(CStationInfoDVK::kClassName, kSchema)) break;
    auto station = std::make_unique<CStationInfoDVK>();
    station->Serialize(ar);
    stations_.push_back(std::move(station));
  }
}

int CDravikNetDoc::LoadFile(const char* path) {
  last_error_.clear();
  if (path == nullptr) {
    last_error_ = "no path given";
    return 0;
  }
  path_ = path;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, kMaxFileBytes, &bytes, &last_error_)) return 0;
  CArchive ar(std::move(bytes));
  Serialize(ar);
  if (!ar.ok()) {
    last_error_ = std::string(path) + ": " + ar.Error();
    return 0;
  }
  std::string why;
  if (!DecodeProjectTexts(&station_names_, &stations_, &encoding_, &why)) {
    last_error_ = std::string(path) + ": " + why;
    return 0;
  }
  return 1;
}

namespace {
// Why a save failed, in the words of the editor's user.
std::string SaveProblemText(WriteProblem problem, const std::string& detail) {
  switch (problem) {
    case WriteProblem::kFileReadOnly:
      return "읽기 전용 파일이어서 바꿀 수 없습니다.";
    case WriteProblem::kNoPermission:
      return "이 파일을 쓸 권한이 없습니다.";
    case WriteProblem::kFolderReadOnly:
      return "폴더가 읽기 전용이어서 파일을 만들 수 없습니다.";
    case WriteProblem::kNoFolder:
      return "폴더가 없습니다.";
    case WriteProblem::kDiskFull:
      return "디스크 공간이 부족합니다.";
    default:
      return "파일을 쓰는 중 오류가 발생했습니다: " + detail;
  }
}
}  // namespace

bool CDravikNetDoc::SaveFileReporting() {
  station_names_.clear();
  for (const auto& station : stations_) station_names_.push_back(station->name);
  last_error_.clear();
  save_reason_.clear();
  // A text the file's encoding cannot hold refuses the save before anything
  // is written: the file keeps the encoding its other readers expect.
  if (!CheckProjectTexts(station_names_, stations_, encoding_, &last_error_, &save_reason_)) {
    ShowSaveError();
    return false;
  }
  CArchive ar;
  ar.SetTextEncoding(encoding_);
  Serialize(ar);
  std::string note;
  WriteProblem problem = WriteProblem::kNone;
  if (!ar.ok()) {
    last_error_ = ar.Error();
    save_reason_ = "프로젝트를 파일 형식으로 만들 수 없습니다: " + last_error_;
  } else if (WriteFileReplacing(path_, ar.Bytes(), &last_error_, &note, &problem)) {
    if (!note.empty()) std::fprintf(stderr, "DravikNet: %s\n", note.c_str());
    return true;
  } else {
    save_reason_ = SaveProblemText(problem, last_error_);
  }
  ShowSaveError();
  return false;
}

void CDravikNetDoc::ShowSaveError() const {
  // The box's own text names the file; the reason goes on the line below.
  const std::string text = path_ + "\n" + save_reason_;
  CTarselError::ErrMsg(2005, 1, text.c_str());
}

void CDravikNetDoc::SaveFile() { SaveFileReporting(); }

CStationInfoDVK* CDravikNetDoc::FindStation(const char* name) const {
  if (name == nullptr) return nullptr;
  for (const auto& station : stations_) {
    if (SameNameIgnoringCase(station->name, name)) return station.get();
  }
  return nullptr;
}

int CDravikNetDoc::CheckStationName(const char* name, const CStationInfoDVK* editing) const {
  for (const auto& station : stations_) {
    if (station.get() != editing && SameNameIgnoringCase(station->name, name ? name : "")) {
      return 2701;
    }
  }
  return 0;
}

int CDravikNetDoc::CheckStationNumber(int number, const CStationInfoDVK* editing) const {
  if (number < 1 || number > 255) return 18;
  for (const auto& station : stations_) {
    if (station.get() != editing && station->number == number) return 2702;
  }
  return 0;
}

void CDravikNetDoc::SetPath(const std::string& path) {
  path_ = path;
  title_ = TitleOf(path);
}

std::string CDravikNetDoc::TitleOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace dravik
