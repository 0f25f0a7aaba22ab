// Snapshot: drawing an object into a PNG, against TestThing.

#include "hosts/script/snapshot.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/hosts/png_file.h"
#include "tests/hosts/test_thing.h"
#include "tests/support/temp_root.h"

namespace {

class SnapshotTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = vorn_test::MakeTempDir("snapshot"); }
  void TearDown() override {
    vorn_test::RemoveTree(dir_);
    EXPECT_EQ(vorn_test::LiveTestThings(), 0);
  }
  vorn_test::TempRoot root_;
  vorn_test::TestThingRegistration registration_;
  std::string dir_;
};

TEST_F(SnapshotTest, DrawsTheObjectIntoAPictureOfTheGivenSize) {
  const std::string file = dir_ + "/thing.png";
  std::string error;
  ASSERT_TRUE(vornhost::Snapshot(file, vorn_test::kTestThingProgId, 5, 3, &error)) << error;
  vorn_test::Picture picture;
  ASSERT_TRUE(vorn_test::ReadPng(file, &picture));
  EXPECT_EQ(picture.width, 5);
  EXPECT_EQ(picture.height, 3);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 5; ++x) {
      const uint32_t expected = (x == 1 && y == 1) ? 0xFF0000FFu : 0x0000FFFFu;
      EXPECT_EQ(picture.At(x, y), expected) << x << "," << y;
    }
  }
}

TEST_F(SnapshotTest, FailuresSayWhatWentWrong) {
  struct Case {
    std::string file;
    std::string progId;
    int width, height;
    std::string error;
  } cases[] = {
      {dir_ + "/a.png", "No.Such.Control", 4, 4,
       "cannot find \"No.Such.Control\": 0x800401F3 CO_E_CLASSSTRING: Invalid class string."},
      {dir_ + "/b.png", vorn_test::kTestThingProgId, 0, 0,
       "\"Vorn.TestThing\" does not tell its size; give --size: 0x80004002 E_NOINTERFACE: No "
       "such interface supported."},
      {dir_ + "/missing/c.png", vorn_test::kTestThingProgId, 4, 4,
       "cannot write " + dir_ + "/missing/c.png"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(vornhost::Snapshot(c.file, c.progId, c.width, c.height, &error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
