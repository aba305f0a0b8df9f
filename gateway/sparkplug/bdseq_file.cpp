#include "gateway/sparkplug/bdseq_file.h"

#include <charconv>
#include <vector>

#include "platform/file_io.h"

namespace dravik::host {

namespace {
constexpr size_t kMaxFileBytes = 64;
}

BdSeqFile::BdSeqFile(std::string state_dir)
    : path_(state_dir.empty() ? "" : state_dir + "/" + kFileName) {}

int BdSeqFile::FirstNumber(std::string* problem) const {
  if (path_.empty() || !FileExists(path_)) return 0;
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(path_, kMaxFileBytes, &bytes, &error)) {
    *problem = "cannot read the last bdSeq (" + error + "); starting at 0";
    return 0;
  }
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  int last = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), last);
  if (ec != std::errc() || end != text.data() + text.size() || last < 0 || last > 255) {
    *problem = path_ + " does not hold a bdSeq 0..255; starting at 0";
    return 0;
  }
  return (last + 1) % 256;
}

bool BdSeqFile::Keep(int number, std::string* problem) const {
  if (path_.empty()) return true;
  const std::string text = std::to_string(number) + "\n";
  std::string error, note;
  if (WriteFileReplacing(path_, std::vector<uint8_t>(text.begin(), text.end()), &error, &note)) {
    return true;
  }
  *problem = "cannot keep bdSeq " + std::to_string(number) + ": " + error;
  return false;
}

}  // namespace dravik::host
