// BdSeqFile: the Sparkplug node's birth/death sequence number kept across
// processes, so that a gateway started again (or a replacement on the same
// box) never reuses the number of its predecessor: the predecessor's will,
// delivered late by the broker, would otherwise name the new session and kill
// it at the primary host. The file `sparkplug-bdseq` under --state-dir holds
// the number of the last will set, as decimal text; each will writes it
// (replaced whole, flushed) before the CONNECT that carries it. Without a
// state folder the numbers start at 0 in every process. Used under the
// node's mutex; no state of its own beyond the path.
#pragma once

#include <string>

namespace dravik::host {

class BdSeqFile {
 public:
  static constexpr const char* kFileName = "sparkplug-bdseq";

  explicit BdSeqFile(std::string state_dir);

  // The number the first will of this process takes: one after the stored
  // one, or 0 (with `problem` set when a stored file could not be used).
  int FirstNumber(std::string* problem) const;
  // Keeps `number` as the last one set; false with `problem` when it could
  // not be written (the session goes on, the next process may then repeat it).
  bool Keep(int number, std::string* problem) const;

 private:
  std::string path_;  // empty: no state folder
};

}  // namespace dravik::host
