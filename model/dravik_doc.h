// CDravikNetDoc: the whole configuration of one driver instance (port settings,
// stations with their blocks, the project file's path) and, once prepared, the
// instance's run-time engine, which it owns. Runtime documents live in the
// driver's instance registry and are used on the host's calling thread; an
// editor document is private to one editor call.
//
// The run-time operations below are declared here but defined by the runtime
// library, and the editor entry by the editor library, so this model builds
// and links without either.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/tarsel_sub.h"
#include "model/engine_base.h"
#include "model/object_registry.h"
#include "model/serial_port.h"
#include "model/station_info.h"
#include "platform/text_encoding.h"

namespace dravik {

class CArchive;

class CDravikNetDoc : public CPersistentObject {
 public:
  static constexpr const char* kClassName = "CDravikNetDoc";
  static constexpr const char* kHeaderDesc = "DravikNet.Dll";
  static constexpr int kHeaderValue = 3;
  // Project files are a few kilobytes; anything far larger is not ours.
  static constexpr size_t kMaxFileBytes = 64u << 20;

  CDravikNetDoc();
  ~CDravikNetDoc() override;
  CDravikNetDoc(const CDravikNetDoc&) = delete;
  CDravikNetDoc& operator=(const CDravikNetDoc&) = delete;

  const char* GetRuntimeClassName() const override { return kClassName; }
  void Serialize(CArchive& ar);

  // 1 loaded, 0 failed (the reason is kept in LastError()). Texts are UTF-8
  // in memory; a file whose texts are not all UTF-8 is read as code page 949
  // (see model/project_text.h) and the document remembers that.
  int LoadFile(const char* path);
  // Writes the file in the encoding it was loaded with (a new document: UTF-8)
  // through a symbolic link to its target, keeping the old file's mode and
  // owner. A failure shows host error 2005 with the path, and on a second
  // line why, in Korean (no permission, a read-only file or folder, a full
  // disk, a text that code page 949 cannot hold with its station and field);
  // any earlier file at the path stays as it was.
  void SaveFile();
  // The same, reporting success; the error box is shown on failure too.
  bool SaveFileReporting();
  const std::string& LastError() const { return last_error_; }
  // The second line of the last save error box.
  const std::string& LastSaveReason() const { return save_reason_; }
  TextEncoding Encoding() const { return encoding_; }
  void SetEncoding(TextEncoding encoding) { encoding_ = encoding; }

  CStationInfoDVK* FindStation(const char* name) const;
  int CheckStationName(const char* name, const CStationInfoDVK* editing) const;
  int CheckStationNumber(int number, const CStationInfoDVK* editing) const;

  // Path and title. SetPath also sets the title (file name without folder and
  // last extension).
  void SetPath(const std::string& path);
  const std::string& Path() const { return path_; }
  const std::string& Title() const { return title_; }
  static std::string TitleOf(const std::string& path);

  std::vector<std::unique_ptr<CStationInfoDVK>>& Stations() { return stations_; }
  const std::vector<std::unique_ptr<CStationInfoDVK>>& Stations() const { return stations_; }
  CSerialPort& Port() { return port_; }
  const CSerialPort& Port() const { return port_; }
  const std::vector<std::string>& StationNames() const { return station_names_; }
  const CTarselHeader& Header() const { return header_; }

  CEngineBase* Engine() const { return engine_.get(); }
  void SetEngine(std::unique_ptr<CEngineBase> engine);

  // ---- run-time operations (runtime library) ----
  int PrepareComm();
  int BuildTagRequests();
  int Stop();
  int BindTag(const char* device, const char* address, int type, int bit_or_length, int tag_id);
  int WriteTag(int handle, CTagVal* value);
  void SetRunState(const char* station, int state);
  void ResetCounters(const char* station);
  int GetStatistics(const char* station, int* writes_sent, int* writes_failed, int* reads_sent,
                    int* reads_failed);
  void GetStationTexts(const char* station, CString* number_text, CString* description);

  // ---- editor entry (editor library) ----
  int EditConfig(const char* path);

 private:
  void ShowSaveError() const;
  std::string path_;
  std::string title_;
  std::unique_ptr<CEngineBase> engine_;
  CTarselHeader header_;
  std::vector<std::string> station_names_;
  CSerialPort port_;
  std::vector<std::unique_ptr<CStationInfoDVK>> stations_;
  std::string last_error_;
  std::string save_reason_;
  TextEncoding encoding_ = TextEncoding::kUtf8;
};

}  // namespace dravik
