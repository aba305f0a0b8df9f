// Fuzzes the line settings file: ReadLineSettings with our line reader in
// front of libinih, on the input written to a file of its own (the reader
// takes a path). Besides memory errors it traps when a rule is broken,
// whatever the file holds: settings taken are inside their ranges; a problem
// names the file and a line it has, and leaves every default; a line holding
// a NUL byte, or longer than libinih's 200-byte buffer takes, is never taken
// as it stands but gives a problem.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/line_settings.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// libinih's buffer in Debian's build is 200 bytes: the text, its newline
// and the terminating NUL.
constexpr size_t kLongestLine = 198;

// One file for the whole run, removed at exit; in memory (/dev/shm) where
// there is one, as every input is written to it.
struct TempFile {
  TempFile() {
    const char* tmp = std::getenv("TMPDIR");
    for (const std::string& dir :
         {std::string("/dev/shm"), std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp")}) {
      path = dir + "/fuzz_line_settings-XXXXXX";
      const int fd = ::mkstemp(path.data());
      if (fd < 0) continue;
      ::close(fd);
      return;
    }
    Check(false);
  }
  ~TempFile() { ::unlink(path.c_str()); }
  std::string path;
};

bool Write(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return done == size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TempFile file;
  Check(Write(file.path, data, size));
  std::string problem = "(unset)";
  const dravik::LineSettingsFile s = dravik::ReadLineSettings(file.path, "COM1", &problem);

  // The file's lines as the reader counts them, and whether one must be refused.
  const std::string text(reinterpret_cast<const char*>(data), size);
  int lines = 0;
  bool bad_line = false;
  for (size_t start = 0; start < text.size(); ++lines) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    bad_line = bad_line || line.size() > kLongestLine || line.find('\0') != std::string::npos;
    start = end + 1;
  }
  if (bad_line) Check(!problem.empty());

  const dravik::DemotionSettings& d = s.demotion;
  if (!problem.empty()) {
    const dravik::LineSettingsFile defaults;
    Check(d.after == defaults.demotion.after && d.seconds == defaults.demotion.seconds &&
          d.probe_timeout_ms == defaults.demotion.probe_timeout_ms &&
          s.stale_after_ms == defaults.stale_after_ms);
    // "<path>:<line>: what" or "<path>: what".
    Check(problem.compare(0, file.path.size() + 1, file.path + ":") == 0);
    const char* rest = problem.c_str() + file.path.size() + 1;
    if (*rest >= '0' && *rest <= '9') {
      char* end = nullptr;
      const long line = std::strtol(rest, &end, 10);
      Check(*end == ':' && line >= 0 && line <= lines);
    }
    return 0;
  }
  Check(d.after >= 0 && d.after <= 1000);
  Check(d.seconds >= 1 && d.seconds <= 86400);
  Check(d.probe_timeout_ms >= 50 && d.probe_timeout_ms <= 3000);
  Check(s.stale_after_ms == 0 || (s.stale_after_ms >= 1000 && s.stale_after_ms <= 3600000));
  return 0;
}
