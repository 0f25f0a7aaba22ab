#include "runtime/record_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A record that reports its own deletion, so a test can see each record
// deleted exactly once.
struct Tracked {
  Tracked(std::vector<std::string>* log, std::string name) : log(log), name(std::move(name)) {}
  virtual ~Tracked() { log->push_back(name); }
  std::vector<std::string>* log;
  std::string name;
};

TEST(RecordList, FindIndexIsPositionalAndNullOutsideTheList) {
  std::vector<std::string> log;
  RecordList<Tracked> list;
  for (int i = 0; i < 25; ++i) {
    ASSERT_NE(list.AddTail(std::make_unique<Tracked>(&log, "r" + std::to_string(i))), nullptr);
  }
  ASSERT_EQ(list.GetCount(), 25);
  EXPECT_EQ(list.FindIndex(0)->name, "r0");
  EXPECT_EQ(list.FindIndex(24)->name, "r24");
  for (int64_t outside : {int64_t{-1}, int64_t{25}, int64_t{26}, int64_t{INT32_MIN},
                          int64_t{INT32_MAX}, int64_t{-4294967296}}) {
    EXPECT_EQ(list.FindIndex(outside), nullptr) << outside;
  }
  EXPECT_TRUE(log.empty()) << "lookups must not delete";
}

TEST(RecordList, WalkKeepsAppendOrder) {
  std::vector<std::string> log;
  RecordList<Tracked> list;
  for (const char* name : {"b", "a", "c"}) list.AddTail(std::make_unique<Tracked>(&log, name));
  std::string walked;
  for (const auto& record : list) walked += record->name;
  EXPECT_EQ(walked, "bac");
}

TEST(RecordList, DeleteAllDeletesEachRecordOnceAndEmpties) {
  std::vector<std::string> log;
  {
    RecordList<Tracked> list;
    for (const char* name : {"x", "y", "z"}) list.AddTail(std::make_unique<Tracked>(&log, name));
    list.DeleteAll();
    EXPECT_EQ(log, (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.FindIndex(0), nullptr);
    list.DeleteAll();  // an empty list: nothing happens
    EXPECT_EQ(log.size(), 3u);
  }
  EXPECT_EQ(log.size(), 3u) << "the destructor must not delete records twice";
}

TEST(RecordList, DestructionDeletesRecordsStillHeld) {
  std::vector<std::string> log;
  { RecordList<Tracked> list; list.AddTail(std::make_unique<Tracked>(&log, "only")); }
  EXPECT_EQ(log, std::vector<std::string>{"only"});
}

TEST(RecordList, RemoveAllHandsRecordsOverWithoutDeleting) {
  std::vector<std::string> log;
  RecordList<Tracked> list;
  list.AddTail(std::make_unique<Tracked>(&log, "kept"));
  auto taken = list.RemoveAll();
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_TRUE(log.empty());
  ASSERT_EQ(taken.size(), 1u);
  taken.clear();
  EXPECT_EQ(log, std::vector<std::string>{"kept"});
}

TEST(RecordList, NullRecordIsRefused) {
  RecordList<Tracked> list;
  EXPECT_EQ(list.AddTail(nullptr), nullptr);
  EXPECT_EQ(list.GetCount(), 0);
}

TEST(RecordList, ReusableAfterClearing) {
  std::vector<std::string> log;
  RecordList<Tracked> list;
  list.AddTail(std::make_unique<Tracked>(&log, "first"));
  list.DeleteAll();
  list.AddTail(std::make_unique<Tracked>(&log, "second"));
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.FindIndex(0)->name, "second");
}

}  // namespace
