#include "host/tarsel_sub.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/archive.h"

void CTagVal::SetVal(double v) {
  value_ = v;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  text_ = buf;
  has_value_ = true;
  is_text_ = false;
}

void CTagVal::SetVal(const char* text) {
  text_ = text ? text : "";
  value_ = std::strtod(text_.c_str(), nullptr);
  has_value_ = true;
  is_text_ = true;
}

CEventVal::~CEventVal() = default;

void CEventVal::Serialize(dravik::CArchive& ar) {
  if (ar.IsStoring()) {
    ar.PutInt32(tag_id_);
    ar.PutString(value_.GetValStr());
  } else {
    tag_id_ = ar.GetInt32();
    const std::string text = ar.GetString();
    value_.SetVal(text.c_str());
  }
}

const char* CEventVal::GetRuntimeClass() const { return "CEventVal"; }

namespace {

struct ErrorBox {
  std::mutex mutex;
  CTarselError::Handler handler = nullptr;
  void* context = nullptr;
  std::map<int, std::string> strings;
};

// Never destroyed: a driver unloaded at process exit unregisters its strings
// after the static destructors have run.
ErrorBox& Box() {
  static ErrorBox* box = new ErrorBox;
  return *box;
}

// The host's own texts for the numbers it owns.
const char* HostText(int id) {
  switch (id) {
    case 18:
      return "국번이 잘못 입력되었습니다. 1에서 FF 사이의 16진수로 입력하십시오.";
    case 2002:
      return "프로젝트 파일[%s]을 읽을 수 없습니다.";
    case 2005:
      return "프로젝트 파일[%s]에 저장할 수 없습니다.";
    default:
      return nullptr;
  }
}

}  // namespace

std::string CTarselError::LookupString(int id) {
  {
    std::lock_guard lock(Box().mutex);
    const auto it = Box().strings.find(id);
    if (it != Box().strings.end()) return it->second;
  }
  const char* host = HostText(id);
  return host ? host : "";
}

int CTarselError::ErrMsg(int id, int flags, const char* text, ...) {
  std::string message = LookupString(id);
  if (message.find("%s") != std::string::npos) {
    const std::string pattern = message;
    const std::string given = text ? text : "";
    const size_t line_break = given.find('\n');
    const std::string fill = given.substr(0, line_break);
    message.clear();
    for (size_t i = 0; i < pattern.size(); ++i) {
      if (pattern.compare(i, 2, "%s") == 0) {
        message += fill;
        ++i;
      } else {
        message += pattern[i];
      }
    }
    if (line_break != std::string::npos) message += given.substr(line_break);
  } else if (text && *text) {
    message += message.empty() ? text : std::string(" ") + text;
  }
  if (message.empty()) message = "error " + std::to_string(id);

  Handler handler;
  void* context;
  {
    std::lock_guard lock(Box().mutex);
    handler = Box().handler;
    context = Box().context;
  }
  if (handler) {
    handler(context, id, flags, message.c_str());
  } else {
    std::fprintf(stderr, "[%d] %s\n", id, message.c_str());
  }
  return id;
}

void CTarselError::InstallHandler(Handler handler, void* context) {
  std::lock_guard lock(Box().mutex);
  Box().handler = handler;
  Box().context = context;
}

CTarselError::Handler CTarselError::CurrentHandler(void** context) {
  std::lock_guard lock(Box().mutex);
  if (context) *context = Box().context;
  return Box().handler;
}

void CTarselError::RegisterString(int id, const char* text) {
  std::lock_guard lock(Box().mutex);
  Box().strings[id] = text ? text : "";
}

void CTarselError::UnregisterString(int id) {
  std::lock_guard lock(Box().mutex);
  Box().strings.erase(id);
}

CTarselHeader::~CTarselHeader() = default;

void CTarselHeader::Serialize(dravik::CArchive& ar) {
  if (ar.IsStoring()) {
    ar.PutInt32(value_);
    ar.PutString(desc_);
    return;
  }
  const int32_t value = ar.GetInt32();
  const std::string desc = ar.GetString();
  if (!ar.ok()) return;
  if (value != value_ || desc != desc_) {
    ar.Fail("not a " + desc_ + " project file (header " + std::to_string(value) + ", \"" + desc +
            "\")");
  }
}
