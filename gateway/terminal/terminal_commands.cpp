#include "gateway/terminal/terminal_commands.h"

#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace dravik::host {
namespace {

std::vector<std::string> SplitWords(const std::string& line, size_t max_words,
                                    std::string* rest_after) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (words.size() < max_words) {
    pos = line.find_first_not_of(" \t\r", pos);
    if (pos == std::string::npos) break;
    const size_t end = line.find_first_of(" \t\r", pos);
    words.push_back(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? line.size() : end;
  }
  if (rest_after) {
    const size_t start = line.find_first_not_of(" \t", pos);
    *rest_after = start == std::string::npos ? "" : line.substr(start);
    while (!rest_after->empty() && (rest_after->back() == '\r' || rest_after->back() == ' ')) {
      rest_after->pop_back();
    }
  }
  return words;
}

}  // namespace

void TerminalCommands::Start() {
  if (!reader_.joinable()) reader_ = std::thread(&TerminalCommands::ReadLines, this);
}

void TerminalCommands::Stop() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
}

// Reads stdin without blocking past Stop, so the thread can be joined.
void TerminalCommands::ReadLines() {
  std::string pending;
  char buffer[1024];
  auto post = [this](std::string line) {
    session_->Post([this, line = std::move(line)] {
      if (!Execute(line)) session_->RequestStop(kExitOk);
    });
  };
  while (!stop_.load()) {
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) continue;
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;  // end of input: the run goes on
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      post(pending.substr(0, newline));
      pending.erase(0, newline + 1);
    }
  }
  if (!pending.empty()) post(pending);
}

bool TerminalCommands::Execute(const std::string& line) {
  std::string rest;
  const std::vector<std::string> words = SplitWords(line, 2, &rest);
  if (words.empty()) return true;
  const std::string& cmd = words[0];
  const std::string arg = words.size() > 1 ? words[1] : "";
  if (cmd == "quit" || cmd == "exit") return false;
  if (cmd == "help") {
    Reply(
        "commands: write TAG VALUE | enable STATION | disable STATION | stats [STATION] | "
        "reset [STATION] | texts STATION | help | quit",
        Json{{"kind", "help"}});
  } else if (cmd == "write") {
    Write(arg, rest);
  } else if (cmd == "enable" || cmd == "disable") {
    if (arg.empty() || !rest.empty()) return Error(cmd + " needs one station name");
    session_->SetRunState(arg, cmd == "enable");
    Reply(cmd + "d " + arg, Json{{"kind", "reply"}, {"command", cmd}, {"station", arg}});
  } else if (cmd == "stats") {
    if (!rest.empty()) return Error("stats takes at most one station name");
    Stats(arg);
  } else if (cmd == "reset") {
    if (!rest.empty()) return Error("reset takes at most one station name");
    session_->ResetCounters(arg);
    Reply("counters reset" + (arg.empty() ? std::string(" (all stations)") : " for " + arg),
          Json{{"kind", "reply"},
               {"command", "reset"},
               {"station", arg.empty() ? Json(nullptr) : Json(arg)}});
  } else if (cmd == "texts") {
    if (arg.empty() || !rest.empty()) return Error("texts needs one station name");
    Texts(arg);
  } else {
    return Error("unknown command \"" + cmd + "\" (help lists the commands)");
  }
  return true;
}

bool TerminalCommands::Error(const std::string& text) {
  out_->Plain("error: " + text, Json{{"kind", "error"}, {"text", text}});
  return true;
}

void TerminalCommands::Reply(const std::string& text, const Json& record) {
  out_->Plain(text, record);
}

void TerminalCommands::Write(const std::string& tag, const std::string& value) {
  const LineSession::WriteOutcome r = session_->WriteTag(tag, value);
  if (!r.ok) {
    Error(r.error);
    return;
  }
  // The reply says it is queued; the PLC's answer follows as write_result.
  Reply("write " + tag + " = " + r.shown + " queued",
        Json{{"kind", "reply"}, {"command", "write"}, {"tag", tag}, {"result", r.result}});
}

void TerminalCommands::Stats(const std::string& station) {
  const LineSession::Totals t = session_->Counters(station);
  std::string state;
  if (station.empty()) {
    // Slot 15's line status turns 1 at any single failure; the stations'
    // own states follow the health rule.
    state = t.status == -1 ? "stopped" : "ok";
    for (const StationReport& r : session_->StationReports()) {
      if (t.status != -1 && r.state != "ok" && r.state != "disabled") state = r.state;
    }
  } else {
    state = !session_->HasStation(station) && t.status == -1
                ? "unknown station"
                : LineSession::StationState(station, t.status);
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "stats %s: %s (status %d), writes %d sent %d failed, reads %d sent %d failed",
                station.empty() ? "(all)" : station.c_str(), state.c_str(), t.status, t.writes_sent,
                t.writes_failed, t.reads_sent, t.reads_failed);
  out_->Emit(text, Json{{"kind", "stats"},
                        {"station", station.empty() ? Json(nullptr) : Json(station)},
                        {"status", t.status},
                        {"state", state},
                        {"writes_sent", t.writes_sent},
                        {"writes_failed", t.writes_failed},
                        {"reads_sent", t.reads_sent},
                        {"reads_failed", t.reads_failed}});
}

void TerminalCommands::Texts(const std::string& station) {
  std::string number, description;
  if (!session_->StationTexts(station, &number, &description)) {
    Error("no station named \"" + station + "\"");
    return;
  }
  Reply("texts " + station + ": number " + number + ", description \"" + description + "\"",
        Json{{"kind", "texts"},
             {"station", station},
             {"number", number},
             {"description", description}});
}

}  // namespace dravik::host
