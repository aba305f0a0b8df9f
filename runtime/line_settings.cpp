#include "runtime/line_settings.h"

#include <ini.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "runtime/host_services.h"

namespace dravik {

namespace {

constexpr const char* kSystemPath = "/etc/draviknet/draviknet.conf";
constexpr int kMaxDemoteAfter = 1000;
constexpr int kMaxDemoteSeconds = 86400;
constexpr int kMinProbeTimeoutMs = 50;
constexpr int kMaxProbeTimeoutMs = 3000;
constexpr int kMinStaleAfterMs = 1000;
constexpr int kMaxStaleAfterMs = 3600000;

// What the parse collects; the reader counts lines so that the handler can
// name the line it is looking at (inih passes no line number to it).
struct ParseState {
  std::FILE* file = nullptr;
  int line = 0;
  std::string port;
  LineSettingsFile settings;
  int problem_line = 0;
  std::string problem;
};

void Refuse(ParseState& state, const std::string& what);

// Hands libinih one whole line per call, so that its line numbers and ours
// agree. libinih reads into a buffer of its own fixed size; a line that does
// not fit would reach it in pieces, the tail of a long comment parsed as a
// key. Such a line, and one holding a NUL byte (binary junk), is refused by
// number and handed over empty.
char* CountingReader(char* buffer, int size, void* stream) {
  auto* state = static_cast<ParseState*>(stream);
  std::string line;
  bool nul = false;
  int c = 0;
  while ((c = std::fgetc(state->file)) != EOF) {
    if (c == '\0') nul = true;
    line.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  if (line.empty()) return nullptr;  // end of file
  ++state->line;
  // Room for the text, its newline and the terminating NUL.
  const size_t room = size > 2 ? static_cast<size_t>(size) - 2 : 0;
  const size_t text = line.back() == '\n' ? line.size() - 1 : line.size();
  // A refused line reaches inih as an empty one, so the parse goes on to
  // the end and the first problem is the one reported.
  bool refused = false;
  if (nul) {
    Refuse(*state, "line holds a NUL byte (not a text file?)");
    refused = true;
  } else if (text > room) {
    Refuse(*state, "line is " + std::to_string(text) + " bytes long, at most " +
                       std::to_string(room) + " are read");
    refused = true;
  }
  const std::string_view kept = refused ? std::string_view("\n") : std::string_view(line);
  std::memcpy(buffer, kept.data(), kept.size());
  buffer[kept.size()] = '\0';
  return buffer;
}

bool IsPortName(const char* section) {
  if (std::strncmp(section, "COM", 3) != 0 || section[3] == '\0' || section[3] == '0') return false;
  for (const char* p = section + 3; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || p - section > 6) return false;
  }
  return true;
}

bool ParseInt(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

void Refuse(ParseState& state, const std::string& what) {
  if (!state.problem.empty()) return;  // the first problem is the one reported
  state.problem_line = state.line;
  state.problem = what;
}

int OnEntry(void* user, const char* section, const char* name, const char* value) {
  auto& state = *static_cast<ParseState*>(user);
  if (!IsPortName(section)) {
    Refuse(state, *section == '\0' ? std::string("setting outside a [COMn] section")
                                   : "unknown port [" + std::string(section) + "]");
    return 1;
  }
  DemotionSettings& demotion = state.settings.demotion;
  int parsed = 0;
  if (std::strcmp(name, "demote_after") == 0) {
    if (!ParseInt(value, 0, kMaxDemoteAfter, &parsed)) {
      Refuse(state, "demote_after must be a whole number from 0 to 1000, not '" +
                        std::string(value) + "'");
    } else if (state.port == section) {
      demotion.after = parsed;
    }
  } else if (std::strcmp(name, "demote_seconds") == 0) {
    if (!ParseInt(value, 1, kMaxDemoteSeconds, &parsed)) {
      Refuse(state, "demote_seconds must be a whole number from 1 to 86400, not '" +
                        std::string(value) + "'");
    } else if (state.port == section) {
      demotion.seconds = parsed;
    }
  } else if (std::strcmp(name, "probe_timeout_ms") == 0) {
    if (!ParseInt(value, kMinProbeTimeoutMs, kMaxProbeTimeoutMs, &parsed)) {
      Refuse(state, "probe_timeout_ms must be a whole number from 50 to 3000, not '" +
                        std::string(value) + "'");
    } else if (state.port == section) {
      demotion.probe_timeout_ms = parsed;
    }
  } else if (std::strcmp(name, "stale_after_ms") == 0) {
    if (!ParseInt(value, kMinStaleAfterMs, kMaxStaleAfterMs, &parsed)) {
      Refuse(state, "stale_after_ms must be a whole number from 1000 to 3600000, not '" +
                        std::string(value) + "'");
    } else if (state.port == section) {
      state.settings.stale_after_ms = parsed;
    }
  } else {
    Refuse(state, "unknown key '" + std::string(name) + "' in [" + section + "]");
  }
  return 1;
}

}  // namespace

std::string LineSettingsPath() {
  const char* path = std::getenv("DRAVIKNET_CONFIG");
  return path != nullptr && *path != '\0' ? path : kSystemPath;
}

LineSettingsFile ReadLineSettings(const std::string& path, const std::string& port,
                                  std::string* problem) {
  problem->clear();
  ParseState state;
  state.port = port;
  state.file = std::fopen(path.c_str(), "r");
  if (state.file == nullptr) {
    // No file is the usual case: every setting keeps its default.
    if (errno != ENOENT) *problem = path + ": " + std::strerror(errno);
    return {};
  }
  const int result = ini_parse_stream(&CountingReader, &state, &OnEntry, &state);
  const bool read_error = std::ferror(state.file) != 0;
  std::fclose(state.file);
  if (read_error) {
    *problem = path + ": cannot be read";
  } else if (!state.problem.empty()) {
    *problem = path + ":" + std::to_string(state.problem_line) + ": " + state.problem;
  } else if (result > 0) {
    // The handler accepts every entry, so this is a line inih could not parse.
    *problem = path + ":" + std::to_string(result) + ": not a [section] or key = value line";
  } else if (result < 0) {
    *problem = path + ": cannot be read";
  }
  if (!problem->empty()) return {};
  return state.settings;
}

LineSettingsFile LoadLineSettings(const std::string& port) {
  std::string problem;
  LineSettingsFile settings = ReadLineSettings(LineSettingsPath(), port, &problem);
  if (!problem.empty()) {
    ReportDriverNote(0, "통신 설정 파일 " + problem + " - 기본 설정으로 통신합니다.");
  }
  return settings;
}

}  // namespace dravik
