// The terminal's commands: lines read from stdin (write TAG VALUE, enable and
// disable STATION, stats, reset, texts, help, quit) carried out on the line
// session's thread, the one that may call the driver, with their replies on
// the output. A reader thread only waits on stdin and posts each line to the
// session (LineSession::Post); it never touches the session's state.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "gateway/line/line_session.h"
#include "gateway/line/output.h"

namespace dravik::host {

class TerminalCommands {
 public:
  TerminalCommands(LineSession* session, Output* out) : session_(session), out_(out) {}
  ~TerminalCommands() { Stop(); }
  TerminalCommands(const TerminalCommands&) = delete;
  TerminalCommands& operator=(const TerminalCommands&) = delete;

  // Starts reading stdin; each line is carried out on the session's thread.
  // The end of stdin leaves the run going.
  void Start();
  void Stop();

  // The session thread: carries out one command line; false for quit.
  bool Execute(const std::string& line);

 private:
  void ReadLines();
  bool Error(const std::string& text);
  void Reply(const std::string& text, const Json& record);
  void Write(const std::string& tag, const std::string& value);
  void Stats(const std::string& station);
  void Texts(const std::string& station);

  LineSession* const session_;
  Output* const out_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
};

}  // namespace dravik::host
