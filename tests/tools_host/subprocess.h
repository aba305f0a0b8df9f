// Runs one of the built programs the way a user does: a child process with
// its own stdin, stdout and stderr pipes, extra environment variables and an
// optional signal sent after a delay. Used by one test thread at a time.
#pragma once

#include <string>
#include <vector>

namespace dravik::test {

struct ProcessResult {
  int exit_code = -1;  // -1 when it did not exit normally
  int signal = 0;      // the signal that ended it, if any
  bool timed_out = false;
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::vector<std::string> env;  // extra "NAME=value" entries
  std::string stdin_text;        // written, then stdin is closed
  bool keep_stdin_open = false;  // leave stdin open until the child ends
  int signal_after_ms = 0;       // send `signal_number` after this many ms (0: never)
  int signal_number = 0;
  int timeout_ms = 60000;        // the child is killed after this long
  bool stdout_terminal = false;  // stdout is a new pseudo-terminal, not a pipe
  // A reader that stalls: stdout is not read for this long, its pipe shrunk
  // to one page so that it fills at once.
  int stdout_unread_ms = 0;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A fresh private directory under /tmp, removed with its files on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool WriteText(const std::string& path, const std::string& text);
// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int FreeLocalPort();
std::string ReadText(const std::string& path);
bool PathExists(const std::string& path);
// The processes whose command line holds every one of `words`.
std::vector<int> FindProcesses(const std::vector<std::string>& words);
// A process's resident memory in kB, 0 when it is gone.
long ResidentKb(int pid);

}  // namespace dravik::test
