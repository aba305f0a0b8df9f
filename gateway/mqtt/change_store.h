// ChangeStore: the disk tier of the MQTT face's buffer, the changes that wait
// for the broker, kept in SQLite under --state-dir (mqtt-buffer.sqlite) so
// that a long outage, a restart or a crash loses none that were stored.
// - Each Append is one transaction in WAL mode with synchronous=FULL, so a
//   kill -9 or a power cut loses at most the changes not yet appended, and a
//   half-written record is never read back: SQLite's commit is atomic.
// - A file SQLite finds damaged is moved aside (its name gets ".damaged-" and
//   the time) and a new one started; nothing of it is replayed.
// - The store is bounded by the bytes of its records (kRecordOverhead plus
//   each tag name and text); past the bound the oldest records go, counted.
// Not thread-safe: the MQTT publisher thread owns it (and Stop, after that
// thread has ended).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/line/line_face.h"

struct sqlite3;

namespace dravik::host {

struct StoredChange {
  int64_t seq = 0;  // the store's order; set by the store
  std::string tag;
  TagValue value;
  int64_t ts_ms = 0;
};

class ChangeStore {
 public:
  static constexpr int64_t kRecordOverhead = 48;  // bytes counted per record besides its texts
  static constexpr const char* kFileName = "mqtt-buffer.sqlite";

  ChangeStore() = default;
  ~ChangeStore();
  ChangeStore(const ChangeStore&) = delete;
  ChangeStore& operator=(const ChangeStore&) = delete;

  // Opens or creates the file in `dir`. False with the reason when the folder
  // or the file cannot be used. `note` tells of a damaged file moved aside.
  bool Open(const std::string& dir, int64_t max_bytes, std::string* error, std::string* note);
  // Appends the changes in one transaction, then drops the oldest records
  // past the bound. Returns how many were dropped, or -1 when the write
  // failed (`error` says why; nothing of this call was stored).
  long Append(const std::vector<StoredChange>& changes, std::string* error);
  // Up to `n` of the oldest records after `after_seq`, oldest first.
  std::vector<StoredChange> Oldest(size_t n, std::string* error, int64_t after_seq = 0);
  // Removes the records up to and including `seq`.
  bool RemoveThrough(int64_t seq, std::string* error);
  int64_t count() const { return count_; }
  int64_t bytes() const { return bytes_; }
  const std::string& path() const { return path_; }

 private:
  bool Exec(const char* sql, std::string* error);
  bool Prepare(std::string* error);
  bool LoadTotals(std::string* error);
  long DropOldest(std::string* error);
  std::string LastError() const;

  sqlite3* db_ = nullptr;
  std::string path_;
  int64_t max_bytes_ = 0;
  int64_t count_ = 0;
  int64_t bytes_ = 0;
};

}  // namespace dravik::host
