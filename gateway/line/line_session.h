// The line session of dravik-host: one run of a driver instance from slot 1
// to the stop. It is the only code that calls the driver's slots: it loads the
// driver, installs the host library handlers, binds the tag list, runs the
// line, samples the stations' counters and takes every write. What happens is
// told to the faces through line_face.h, each behind its own FaceQueue.
//
// Threads: the session thread (the program's main thread) makes every slot
// call: in Open, Run and Close, and in the tasks faces hand it with Post. The
// driver's threads reach the session only through the host library handlers,
// which push to the faces' queues. Post, SubmitWrite, RequestStop and
// SetFaceState may be called from any thread; inbox_mutex_ guards what they
// leave for the session thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/line/driver_library.h"
#include "gateway/line/exchange_freshness.h"
#include "gateway/line/exchange_times.h"
#include "gateway/line/face_queue.h"
#include "gateway/line/line_face.h"
#include "gateway/line/station_freshness.h"
#include "gateway/line/tag_list.h"
#include "gateway/line/write_results.h"
#include "host/tarsel_dbm.h"
#include "host/tarsel_sub.h"
#include "host/wendro_r.h"

namespace dravik::host {

constexpr int kExitOk = 0;
constexpr int kExitCreateFailed = 1;  // slot 1 returned -1
constexpr int kExitUsage = 2;         // bad arguments or files

// A communication block as the project file gives it.
struct BlockRange {
  int area = 0;   // device area index 0..7
  int start = 1;  // 1-based
  int count = 0;  // bits in a bit area, words in a word area
  int period_ms = 0;
};

// What the faces need to know of the line before it runs.
struct LineLayout {
  std::string project;
  std::string port;  // COMn; "" when the file does not load here
  std::vector<std::string> stations;
  std::vector<int> station_numbers;             // as in the project, per station
  std::vector<std::vector<BlockRange>> blocks;  // per station, in the project's order
  std::vector<TagRow> tags;       // host tag id = index + 1
  std::vector<int> tag_stations;  // index into `stations` of each tag's station, -1 for none
  std::string load_error;         // the loader's reason, shown when slot 1 refuses the file
  int64_t stale_after_ms = 0;     // the port's stale_after_ms in draviknet.conf; 0: learnt
};

// The line's name: the project file's name without folder and extension.
std::string LineName(const std::string& project_path);

// Reads the project's stations and port (the driver reads the same file on
// its own) and each tag's station.
LineLayout ReadLineLayout(const std::string& project, std::vector<TagRow> tags);

// The station a tag's device names: the part after the first '.', as the
// driver reads it (case ignored); -1 for none.
int StationIndex(const std::string& device, const std::vector<std::string>& stations);

class LineSession {
 public:
  LineSession() = default;
  ~LineSession();
  LineSession(const LineSession&) = delete;
  LineSession& operator=(const LineSession&) = delete;

  const LineLayout& layout() const { return layout_; }

  bool LoadDriver(const std::string& path, std::string* error);
  // Before the faces are built: the line they are told about.
  void SetLayout(LineLayout layout);
  // Before Open: a face that is told what happens from then on.
  void AddFace(FaceQueue* face) { faces_.push_back(face); }
  // Before Open: bindings of the gateway's own beside the tag list (the
  // Modbus face's image of every block word). They get the host tag ids after
  // the list's, are bound after it, and their values reach only the tap,
  // never the faces or the value count. `stations` gives each one's station.
  void AddImageTags(std::vector<TagRow> rows, std::vector<int> stations);
  // Before Open: called on the driver's event thread with every value the
  // driver delivers, the tag list's and the image tags' alike (tag id as the
  // host gave it). It must not block.
  using ValueTap = std::function<void(int tag_id, const TagValue& value)>;
  void SetValueTap(ValueTap tap) { tap_ = std::move(tap); }
  // After Open, any thread: slot 6's handle of tag id `tag_id`, -1 when it
  // was not bound or is no tag.
  int Handle(int tag_id) const;

  // Installs the handlers, then slot 1, slot 3, slot 6 for each tag, slot 4
  // and slot 13 for the whole line. False when slot 1 refused the project:
  // the caller shows `error` and exits with kExitCreateFailed.
  bool Open(std::string* error, Json* record);
  // Runs until `for_seconds` passed (0: no limit), a signal, or RequestStop;
  // returns the exit status.
  int Run(double for_seconds);
  // Slot 13 off, then the totals to every face (OnStopped). The handlers stay
  // until the session is destroyed, after the faces have finished.
  void Close(double seconds);

  // Any thread. A task for the session thread (a terminal command).
  void Post(std::function<void()> task);
  // Any thread. The one write path of the faces: the write is taken up on the
  // session thread and told to the faces as LineWrite (kQueued or kRefused,
  // then kEnded). False when kMaxPendingWrites wait already.
  bool SubmitWrite(WriteRequest request);
  // Any thread. Ends Run with `exit_status`; `why`, when given, is printed as
  // an error.
  void RequestStop(int exit_status, const std::string& why = "");
  // Any thread. What a face says of itself; it goes out with every sample.
  void SetFaceState(const std::string& face, const std::string& state);
  // Any thread. A count a face keeps; it goes out with every sample.
  void SetFaceCount(const std::string& name, long value);

  // --- The session thread only (Run's loop and the tasks it runs). ---
  struct Totals {
    int writes_sent = 0, writes_failed = 0, reads_sent = 0, reads_failed = 0;
    int status = 0;
  };
  // The counters of one station, or of all with "" (slot 15).
  Totals Counters(const std::string& station) const;
  // Counters and state of every station, in project order.
  std::vector<StationReport> StationReports() const;
  bool HasStation(const std::string& name) const;

  struct WriteOutcome {
    bool ok = false;
    int result = 0;     // slot 7's result when it was called
    std::string shown;  // the value as written, for the reply
    std::string error;  // why nothing was written
  };
  // Checks the tag and the value text, then calls slot 7. A write to a
  // station that is disabled or demoted, or while the port is lost or not
  // open, is refused before slot 7, named and counted. While the station's
  // write before it has not ended, the write waits in the session (its end
  // then tells if it was never sent). A write slot 7 took is followed until
  // its end (write_results.h), which goes to the faces.
  WriteOutcome WriteTag(const std::string& tag_name, const std::string& value_text,
                        const Json& id = {}, WriteOrigin origin = WriteOrigin::kTerminal);
  void SetRunState(const std::string& station, bool enabled);
  void ResetCounters(const std::string& station);  // "" for all
  // Slot 14: false for an unknown station.
  bool StationTexts(const std::string& station, std::string* number,
                    std::string* description) const;

  // A station's state as every face names it, from slot 15's status and the
  // driver's log (station_states.h): "ok", "failing", "demoted", "disabled",
  // "no_port".
  static std::string StationState(const std::string& station, int status);

  // Host library handlers (the driver's threads).
  void HandleLog(int flags, const char* text);
  void HandleValue(int tag_id, const TagValue& value);
  void HandleTagName(int tag_id, std::string* name) const;

 private:
  struct Inbox {
    std::vector<std::function<void()>> tasks;
    std::vector<WriteRequest> writes;
  };
  Inbox TakeInbox(std::chrono::milliseconds wait);
  bool StopRequested();
  void BindTags(int* bound);
  // One exchange status tag per poller that reads a bound tag, after every
  // binding; their host tag ids follow the bindings'.
  void BindExchangeStatus();
  // Each station's tags whose own data is not fresh now, and how long its
  // exchanges took, into the reports.
  void MarkStaleTags(std::vector<StationReport>* reports, int64_t now_ms);
  // The tag list's rows, then the image tags: index = host tag id - 1.
  const TagRow* Binding(size_t index) const;
  int BindingStation(size_t index) const;
  size_t BindingCount() const { return layout_.tags.size() + image_tags_.size(); }
  // A checked write, given to slot 7 now or once its station's write before
  // it has ended.
  struct PreparedWrite {
    size_t index;  // the binding
    CTagVal value;
    TrackedWrite track;
  };
  WriteOutcome WriteBinding(size_t index, const std::string& value_text, const Json& id,
                            WriteOrigin origin);
  // The reason a write to station `s` must not go to the driver now (also in
  // *error, and counted as refused), or "".
  std::string NotSentTo(size_t s, const std::string& tag_name, std::string* error);
  bool HoldsWriteFor(int s) const;
  WriteOutcome IssueWrite(PreparedWrite w, WriteOutcome r);
  void IssueHeldWrites();
  void PushEnded(const WriteResult& r);
  void TakeWrites(std::vector<WriteRequest> writes);
  void PublishWriteResults();
  void PublishSample();
  template <typename Push>
  void ToFaces(Push push);

  LineLayout layout_;  // set before Open, then read only
  Driver driver_;
  WendroRHandler log_handler_{};  // installed in Open, removed by the destructor
  TarselDbmHandler dbm_handler_{};
  std::vector<FaceQueue*> faces_;  // fixed before Open
  int instance_ = -1;
  std::vector<int> handles_;  // slot 6's handle of each binding (tags, then image tags)
  std::vector<TagRow> image_tags_;  // set before Open, then read only
  std::vector<int> image_stations_;
  ValueTap tap_;  // set before Open
  // Set in Open, then read only: the poller (an index into exchanges_) of
  // each binding, -1 when it has no exchange status. Poller k's status tag
  // has host tag id BindingCount() + 2k + 1, its time tag the next.
  std::vector<int> binding_poller_;
  // Fed by the exchange status and time tags on the driver's event thread,
  // read by the session thread's samples.
  std::mutex exchanges_mutex_;
  ExchangeFreshness exchanges_;  // guarded by exchanges_mutex_
  ExchangeTimes exchange_times_;  // guarded by exchanges_mutex_

  // Session thread only, like the slot calls that feed them.
  WriteResults write_results_{0};
  std::vector<uint64_t> failures_seen_;  // per station, StationStates::LastFailure's count
  // Per station, slot 15's write counters when last observed.
  std::vector<int> writes_sent_seen_, writes_failed_seen_;
  // Per station: since when a failed write's end waits for its log line.
  std::vector<std::chrono::steady_clock::time_point> failure_wait_since_;
  StationFreshness freshness_{0};        // fed by every sample
  std::deque<PreparedWrite> held_;       // checked, waiting for their station's turn

  std::atomic<long> values_{0};  // every value the driver delivered
  // Held while handlers push to the faces, so nothing follows OnStopped.
  std::mutex publish_mutex_;
  bool stopped_ = false;  // guarded by publish_mutex_

  std::mutex inbox_mutex_;  // guards the fields below
  std::condition_variable inbox_wake_;
  std::vector<std::function<void()>> tasks_;
  std::deque<WriteRequest> writes_;
  bool stop_requested_ = false;
  int stop_status_ = kExitOk;
  std::string stop_why_;
  std::map<std::string, std::string> face_states_;
  std::map<std::string, long> face_counts_;
};

}  // namespace dravik::host
