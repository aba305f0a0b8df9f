// The MQTT face's disk buffer on a real SQLite file: order and values kept
// across a reopen, the bound giving way oldest first, and damage (a file that
// is no database, a record changed underneath) never replayed.
#include "gateway/mqtt/change_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace dravik::host {
namespace {

namespace fs = std::filesystem;

class ChangeStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/draviknet-store-XXXXXX";
    dir_ = ::mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static StoredChange Change(const std::string& tag, TagValue::Kind kind, double number,
                             const std::string& text, int64_t ts) {
    StoredChange c;
    c.tag = tag;
    c.value.kind = kind;
    c.value.number = number;
    c.value.text = text;
    c.ts_ms = ts;
    return c;
  }

  std::string dir_;
  std::string error_, note_;
};

TEST_F(ChangeStoreTest, ChangesComeBackInOrderAfterAReopen) {
  const std::vector<StoredChange> changes = {
      Change("Counter", TagValue::Kind::kNumber, 4294967295.0, "", 1),
      Change("Label", TagValue::Kind::kText, 0, "안녕 \"x\"", 2),
      Change("Level", TagValue::Kind::kNumber, -0.125, "", 3),
      Change("Empty", TagValue::Kind::kNone, 0, "", 4),
  };
  {
    ChangeStore store;
    ASSERT_TRUE(store.Open(dir_ + "/new/folder", 1 << 20, &error_, &note_)) << error_;
    EXPECT_EQ(store.Append(changes, &error_), 0) << error_;
    EXPECT_EQ(store.count(), 4);
  }
  ChangeStore store;
  std::ofstream(dir_ + "/file") << "x";
  EXPECT_FALSE(store.Open(dir_ + "/file/state", 1 << 20, &error_, &note_));
  EXPECT_NE(error_.find(dir_ + "/file/state"), std::string::npos) << "the folder is named";
  ASSERT_TRUE(store.Open(dir_ + "/new/folder", 1 << 20, &error_, &note_)) << error_;
  EXPECT_TRUE(note_.empty()) << note_;
  EXPECT_EQ(store.count(), 4);
  const std::vector<StoredChange> back = store.Oldest(3, &error_);
  ASSERT_EQ(back.size(), 3u);
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i].tag, changes[i].tag);
    EXPECT_EQ(back[i].value.kind, changes[i].value.kind);
    EXPECT_EQ(back[i].value.number, changes[i].value.number);
    EXPECT_EQ(back[i].value.text, changes[i].value.text);
    EXPECT_EQ(back[i].ts_ms, changes[i].ts_ms);
  }
  ASSERT_TRUE(store.RemoveThrough(back.back().seq, &error_)) << error_;
  EXPECT_EQ(store.count(), 1);
  EXPECT_EQ(store.bytes(), ChangeStore::kRecordOverhead + 5);
  EXPECT_EQ(store.Oldest(10, &error_).at(0).tag, "Empty");
}

TEST_F(ChangeStoreTest, AFullStoreDropsItsOldestFirst) {
  ChangeStore store;
  const int64_t record = ChangeStore::kRecordOverhead + 2;  // tag "T1".."T9"
  ASSERT_TRUE(store.Open(dir_, record * 10, &error_, &note_)) << error_;
  std::vector<StoredChange> batch;
  for (int i = 1; i <= 9; ++i) {
    batch.push_back(Change("T" + std::to_string(i), TagValue::Kind::kNumber, i, "", i));
  }
  EXPECT_EQ(store.Append(batch, &error_), 0);
  // Two more pass the bound: the oldest go until nine tenths of it are left.
  EXPECT_EQ(store.Append({batch[0], batch[1]}, &error_), 2);
  EXPECT_EQ(store.count(), 9);
  EXPECT_EQ(store.Oldest(1, &error_).at(0).tag, "T3");
}

TEST_F(ChangeStoreTest, DamageIsNeverReplayed) {
  const std::string path = dir_ + "/" + ChangeStore::kFileName;
  {
    ChangeStore store;
    ASSERT_TRUE(store.Open(dir_, 1 << 20, &error_, &note_));
    store.Append({Change("A", TagValue::Kind::kNumber, 1, "", 1),
                  Change("B", TagValue::Kind::kNumber, 2, "", 2)},
                 &error_);
  }
  // A record changed underneath SQLite: its checksum no longer holds.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db, "UPDATE changes SET number = 99 WHERE tag = 'A'", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  {
    ChangeStore store;
    ASSERT_TRUE(store.Open(dir_, 1 << 20, &error_, &note_));
    const std::vector<StoredChange> back = store.Oldest(10, &error_);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].tag, "") << "a changed record came back as good";
    EXPECT_EQ(back[1].tag, "B");
  }
  // A file that is no database at all is moved aside and a new one started.
  fs::remove(path + "-wal");
  fs::remove(path + "-shm");
  std::ofstream(path, std::ios::trunc) << std::string(8192, 'x');
  ChangeStore store;
  ASSERT_TRUE(store.Open(dir_, 1 << 20, &error_, &note_)) << error_;
  EXPECT_NE(note_.find("moved aside to " + path + ".damaged-"), std::string::npos) << note_;
  EXPECT_EQ(store.count(), 0);
  int aside = 0;
  for (const auto& e : fs::directory_iterator(dir_)) {
    aside += e.path().string().find(".damaged-") != std::string::npos;
  }
  EXPECT_EQ(aside, 1);
}

}  // namespace
}  // namespace dravik::host
