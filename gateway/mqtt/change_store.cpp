#include "gateway/mqtt/change_store.h"

#include <sqlite3.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace dravik::host {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS changes ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " tag TEXT NOT NULL, kind INTEGER NOT NULL, number REAL NOT NULL, text TEXT NOT NULL,"
    " ts INTEGER NOT NULL, bytes INTEGER NOT NULL, crc INTEGER NOT NULL)";

// A statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// The record's checksum: SQLite keeps its pages consistent, this catches a
// record whose bytes were changed on the disk underneath it.
uint32_t Checksum(const StoredChange& c) {
  char number[40];
  std::snprintf(number, sizeof number, "%.17g|%d|%lld", c.value.number,
                static_cast<int>(c.value.kind), static_cast<long long>(c.ts_ms));
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(c.tag.data()), static_cast<uInt>(c.tag.size()));
  crc = crc32(crc, reinterpret_cast<const Bytef*>(number), static_cast<uInt>(std::strlen(number)));
  crc = crc32(crc, reinterpret_cast<const Bytef*>(c.value.text.data()),
              static_cast<uInt>(c.value.text.size()));
  return static_cast<uint32_t>(crc);
}

int64_t RecordBytes(const StoredChange& c) {
  return ChangeStore::kRecordOverhead + static_cast<int64_t>(c.tag.size() + c.value.text.size());
}

std::string Text(sqlite3_stmt* s, int column) {
  const unsigned char* t = sqlite3_column_text(s, column);
  return t == nullptr ? "" : reinterpret_cast<const char*>(t);
}

}  // namespace

ChangeStore::~ChangeStore() {
  if (db_ != nullptr) sqlite3_close(db_);
}

std::string ChangeStore::LastError() const {
  return path_ + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open");
}

bool ChangeStore::Exec(const char* sql, std::string* error) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  *error = LastError();
  return false;
}

bool ChangeStore::Prepare(std::string* error) {
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *error = LastError();
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  if (!Exec("PRAGMA journal_mode=WAL", error) || !Exec("PRAGMA synchronous=FULL", error) ||
      !Exec(kSchema, error)) {
    return false;
  }
  Statement check(db_, "PRAGMA quick_check");
  if (!check || sqlite3_step(check.get()) != SQLITE_ROW || Text(check.get(), 0) != "ok") {
    *error = path_ + ": damaged (" + (check ? Text(check.get(), 0) : LastError()) + ")";
    return false;
  }
  return LoadTotals(error);
}

bool ChangeStore::LoadTotals(std::string* error) {
  Statement totals(db_, "SELECT COUNT(*), COALESCE(SUM(bytes), 0) FROM changes");
  if (!totals || sqlite3_step(totals.get()) != SQLITE_ROW) {
    *error = LastError();
    return false;
  }
  count_ = sqlite3_column_int64(totals.get(), 0);
  bytes_ = sqlite3_column_int64(totals.get(), 1);
  return true;
}

bool ChangeStore::Open(const std::string& dir, int64_t max_bytes, std::string* error,
                       std::string* note) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    *error = "--state-dir " + dir + ": " + ec.message();
    return false;
  }
  path_ = (fs::path(dir) / kFileName).string();
  max_bytes_ = max_bytes;
  if (Prepare(error)) return true;
  if (sqlite3_errcode(db_) != SQLITE_CORRUPT && sqlite3_errcode(db_) != SQLITE_NOTADB &&
      error->find("damaged") == std::string::npos) {
    return false;  // a folder we may not write, a full disk: not the file's fault
  }
  // A damaged file is kept for whoever wants to look, and never replayed.
  sqlite3_close(db_);
  db_ = nullptr;
  const std::string aside = path_ + ".damaged-" + std::to_string(std::time(nullptr));
  fs::rename(path_, aside, ec);
  for (const char* extra : {"-wal", "-shm"}) fs::remove(path_ + extra, ec);
  *note = *error + "; moved aside to " + aside + ", a new buffer started";
  error->clear();
  return Prepare(error);
}

long ChangeStore::Append(const std::vector<StoredChange>& changes, std::string* error) {
  if (changes.empty()) return 0;
  if (!Exec("BEGIN IMMEDIATE", error)) return -1;
  Statement insert(db_,
                   "INSERT INTO changes (tag, kind, number, text, ts, bytes, crc) "
                   "VALUES (?, ?, ?, ?, ?, ?, ?)");
  int64_t added = 0;
  for (const StoredChange& c : changes) {
    sqlite3_stmt* s = insert.get();
    sqlite3_reset(s);
    sqlite3_bind_text(s, 1, c.tag.data(), static_cast<int>(c.tag.size()), SQLITE_STATIC);
    sqlite3_bind_int(s, 2, static_cast<int>(c.value.kind));
    sqlite3_bind_double(s, 3, c.value.number);
    sqlite3_bind_text(s, 4, c.value.text.data(), static_cast<int>(c.value.text.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(s, 5, c.ts_ms);
    sqlite3_bind_int64(s, 6, RecordBytes(c));
    sqlite3_bind_int64(s, 7, Checksum(c));
    if (sqlite3_step(s) != SQLITE_DONE) {
      *error = LastError();
      Exec("ROLLBACK", error);
      return -1;
    }
    added += RecordBytes(c);
  }
  if (!Exec("COMMIT", error)) {
    Exec("ROLLBACK", error);
    return -1;
  }
  count_ += static_cast<int64_t>(changes.size());
  bytes_ += added;
  return bytes_ > max_bytes_ ? DropOldest(error) : 0;
}

long ChangeStore::DropOldest(std::string* error) {
  // Down to nine tenths of the bound, so a full buffer is not trimmed at
  // every append.
  const int64_t target = max_bytes_ / 10 * 9;
  Statement oldest(db_, "SELECT seq, bytes FROM changes ORDER BY seq");
  int64_t through = -1, freed = 0;
  long dropped = 0;
  while (bytes_ - freed > target && sqlite3_step(oldest.get()) == SQLITE_ROW) {
    through = sqlite3_column_int64(oldest.get(), 0);
    freed += sqlite3_column_int64(oldest.get(), 1);
    ++dropped;
  }
  sqlite3_reset(oldest.get());
  if (through < 0) return 0;
  return RemoveThrough(through, error) ? dropped : -1;
}

std::vector<StoredChange> ChangeStore::Oldest(size_t n, std::string* error, int64_t after_seq) {
  std::vector<StoredChange> out;
  Statement select(db_,
                   "SELECT seq, tag, kind, number, text, ts, crc FROM changes WHERE seq > ? "
                   "ORDER BY seq LIMIT ?");
  sqlite3_bind_int64(select.get(), 1, after_seq);
  sqlite3_bind_int64(select.get(), 2, static_cast<int64_t>(n));
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
    sqlite3_stmt* s = select.get();
    StoredChange c;
    c.seq = sqlite3_column_int64(s, 0);
    c.tag = Text(s, 1);
    const int kind = sqlite3_column_int(s, 2);
    c.value.kind = kind == 1   ? TagValue::Kind::kNumber
                   : kind == 2 ? TagValue::Kind::kText
                               : TagValue::Kind::kNone;
    c.value.number = sqlite3_column_double(s, 3);
    c.value.text = Text(s, 4);
    c.ts_ms = sqlite3_column_int64(s, 5);
    // A record whose checksum fails keeps its place (so it is removed with
    // the others) but is never replayed: its tag is emptied.
    if (static_cast<uint32_t>(sqlite3_column_int64(s, 6)) != Checksum(c)) c.tag.clear();
    out.push_back(std::move(c));
  }
  if (rc != SQLITE_DONE) *error = LastError();
  return out;
}

bool ChangeStore::RemoveThrough(int64_t seq, std::string* error) {
  // The totals go down by what is removed; a sum over the whole table would
  // cost a scan of a full buffer per replayed batch.
  Statement removed(db_, "SELECT COUNT(*), COALESCE(SUM(bytes), 0) FROM changes WHERE seq <= ?");
  Statement remove(db_, "DELETE FROM changes WHERE seq <= ?");
  sqlite3_bind_int64(removed.get(), 1, seq);
  sqlite3_bind_int64(remove.get(), 1, seq);
  if (sqlite3_step(removed.get()) != SQLITE_ROW || sqlite3_step(remove.get()) != SQLITE_DONE) {
    *error = LastError();
    return false;
  }
  count_ -= sqlite3_column_int64(removed.get(), 0);
  bytes_ -= sqlite3_column_int64(removed.get(), 1);
  return true;
}

}  // namespace dravik::host
