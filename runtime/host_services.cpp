#include "runtime/host_services.h"

#include <atomic>
#include <cstdio>
#include <vector>

#include "host/tarsel_dbm.h"
#include "host/wendro_r.h"
#include "platform/dynamic_library.h"

namespace dravik {

const char* const kTarselDbmLibrary = "libTarselDbm.so";
const char* const kWendroRLibrary = "libWendroR.so";
const char* const kWendroLibrary = "libWendro.so";

namespace {

// The message catalogue, indexed by message number.
const char* const kCatalogue[kMessageCount] = {
    "",
    "통신시작",
    "통신종료",
    "통신포트 초기화 완료",
    "통신포트[%s]를 열 수 없습니다.",
    "지정된 파일[%s]을 열 수 없습니다.",
    "태그[%s]의 I/O 어드레스[%s]가 잘못 설정되었습니다.",
    "태그[%s]에 설정된 I/O 디바이스[%s]가 통신드라이버에 등록되지 않았습니다.",
    "스테이션[%s]에 데이터를 송신할 수 없습니다.",
    "스테이션[%s]으로부터 데이터를 수신할 수 없습니다.",
    "스테이션[%s]과의 통신 중 수신 Time Out이 발생하였습니다.",
    "스테이션[%s]로부터 수신한 데이터가 지정된 형식과 일치하지 않습니다.",
    "스테이션[%s]로부터 에러번호[%s]를 수신받았습니다.",
    "스테이션[%s]로부터 수신받은 데이터의 Check Sum이 일치하지 않습니다.",
    "태그[%s]의 어드레스가 통신블록에 등록되지 않아 개별 통신합니다.",
    "지정된 태그[%s]의 어드레스는 읽기만 가능합니다.",
    "스테이션[%s]과 통신할 수 없습니다.",
    "스테이션[%s]과의 통신이 정상적으로 복구되었습니다.",
    "국번이 잘못 입력되었습니다. 1에서 FF 사이의 16진수로 입력하십시오.",
};

// One host library: handle owned by the host thread, table readable anywhere.
struct Binding {
  DynamicLibrary library;
  std::atomic<void**> table{nullptr};
};

// On the heap rather than static: the module's unload step, which releases
// them, may run after this module's static destructors (at process exit).
struct Bindings {
  Binding dbm;
  Binding wendro_r;
  Binding wendro;
};
Bindings* g_bindings = new Bindings;
Binding& g_dbm = g_bindings->dbm;
Binding& g_wendro_r = g_bindings->wendro_r;
Binding& g_wendro = g_bindings->wendro;

// By name first (the platform's search rules: LD_LIBRARY_PATH, then the
// driver's RUNPATH), then from the driver's own folder by full path, which
// also works where an interposed dlopen hides the driver's RUNPATH.
bool LoadBesideDriver(DynamicLibrary& library, const char* file) {
  if (library.Load(file)) return true;
  const std::string folder = DynamicLibrary::FolderOf(reinterpret_cast<const void*>(&LoadBesideDriver));
  return !folder.empty() && library.Load(folder + file);
}

void BindOne(Binding& b, const char* file, const char* export_name) {
  if (b.library.IsLoaded()) return;  // loaded once; a missing export stays missing
  if (!LoadBesideDriver(b.library, file)) return;
  b.table = static_cast<void**>(b.library.Symbol(export_name));
}

void ReleaseOne(Binding& b) {
  b.table = nullptr;
  b.library.Free();
}

// printf-style formatting of a catalogue entry with up to two %s arguments.
std::string FormatMessage(const char* format, const char* first, const char* second) {
  std::string out;
  const char* args[2] = {first ? first : "", second ? second : ""};
  int next = 0;
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (next < 2) out += args[next++];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

const char* MessageFormat(int number) {
  if (number < 0 || number >= kMessageCount) return nullptr;
  return kCatalogue[number];
}

int ReportDriverMessage(int number, int flags, const char* first, const char* second) {
  void** table = g_wendro_r.table.load();
  if (table == nullptr || number < 0) return number;
  // Numbers above the catalogue are a programming error; never read past it.
  const char* format = MessageFormat(number);
  if (format == nullptr) return number;
  const std::string text = kMessagePrefix + FormatMessage(format, first, second);
  auto log = reinterpret_cast<WendroRLogFn>(table[kWendroRSlotLog]);
  if (log) log(3, flags | 0x100, text.c_str());
  return -number;
}

bool ReportDriverNote(int flags, const std::string& text) {
  void** table = g_wendro_r.table.load();
  if (table == nullptr) return false;
  auto log = reinterpret_cast<WendroRLogFn>(table[kWendroRSlotLog]);
  if (log == nullptr) return false;
  log(3, flags | 0x100, (kMessagePrefix + text).c_str());
  return true;
}

std::string LookupTagName(int tag_id) {
  CString name;
  void** table = g_dbm.table.load();
  if (table == nullptr) return name;
  auto lookup = reinterpret_cast<TarselDbmTagNameFn>(table[kTarselDbmSlotTagName]);
  if (lookup) lookup(tag_id, &name);
  return name;
}

bool PostValueToHost(int tag_id, CTagVal* value) {
  void** table = g_dbm.table.load();
  if (table == nullptr) return false;
  auto post = reinterpret_cast<TarselDbmPostValueFn>(table[kTarselDbmSlotPostValue]);
  if (post == nullptr) return false;
  post(tag_id, value);
  return true;
}

void BindRuntimeLibraries() {
  BindOne(g_dbm, kTarselDbmLibrary, "FuncTable");
  BindOne(g_wendro_r, kWendroRLibrary, "FuncTable");
}

bool BindEditorLibrary() {
  if (!LoadBesideDriver(g_wendro.library, kWendroLibrary)) return false;
  g_wendro.table = static_cast<void**>(g_wendro.library.Symbol("WdrFuncTable"));
  if (g_wendro.table.load() == nullptr) {
    ReleaseOne(g_wendro);
    return false;
  }
  return true;
}

void ReleaseEditorLibrary() { ReleaseOne(g_wendro); }

void ReleaseHostLibraries() {
  ReleaseOne(g_wendro);
  ReleaseOne(g_wendro_r);
  ReleaseOne(g_dbm);
}

void DestroyHostBindings() {
  ReleaseHostLibraries();
  delete g_bindings;
  g_bindings = nullptr;
}

}  // namespace dravik
