// The folder walk when a record cannot be made. This program replaces the
// non-throwing operator new, through which the mail store makes its records,
// so that a test can make the N-th such allocation fail.

#include <new>
#include <string>
#include <vector>

#include "tests/store/mail_world.h"

namespace {

// 0: allocations succeed; N > 0: the N-th non-throwing allocation from now
// fails, once.
int gFailCountdown = 0;

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (gFailCountdown > 0 && --gFailCountdown == 0) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using testing::ElementsAre;
using vorn_test::FolderTree;
using vorn_test::MailWorld;

// Root: A (A1 (A1x), A2), B (B1).
struct TreeWorld : MailWorld {
  TreeWorld() {
    const STOREFOLDERID a = store.AddFolder(FOLDERID_ROOT, "A").id;
    const STOREFOLDERID a1 = store.AddFolder(a, "A1").id;
    store.AddFolder(a1, "A1x");
    store.AddFolder(a, "A2");
    const STOREFOLDERID b = store.AddFolder(FOLDERID_ROOT, "B").id;
    store.AddFolder(b, "B1");
    EXPECT_EQ(mail->OpenSession(), 1);
  }
};

// A level that cannot make a record stops there, closes its enumeration and
// gives back the depth it took, so that the records after it keep theirs.
TEST(FolderWalkOutOfMemory, ALevelStopsButLaterRecordsKeepTheirDepths) {
  struct Case {
    int failingRecord;  // which record (in walk order) cannot be made
    int result;
    std::vector<std::string> tree;
  };
  const std::vector<Case> cases = {
      {1, 0, {}},  // the root level itself stops
      {2, 1, {"A/0", "B/0", "B1/1"}},
      {3, 1, {"A/0", "A1/1", "A2/1", "B/0", "B1/1"}},
      {4, 1, {"A/0", "A1/1", "A1x/2", "B/0", "B1/1"}},
      {5, 0, {}},  // B is made at the root level
      {6, 1, {"A/0", "A1/1", "A1x/2", "A2/1", "B/0"}},
      {7, 1, {"A/0", "A1/1", "A1x/2", "A2/1", "B/0", "B1/1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failingRecord);
    TreeWorld w;
    gFailCountdown = c.failingRecord;
    const int result = w.mail->RebuildFolderList();
    gFailCountdown = 0;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(FolderTree(*w.mail), c.tree);
    EXPECT_EQ(w.store.OpenEnumerations(), 0);
    // The next walk starts from depth 0 again and finds the whole tree.
    EXPECT_EQ(w.mail->RebuildFolderList(), 1);
    EXPECT_THAT(FolderTree(*w.mail),
                ElementsAre("A/0", "A1/1", "A1x/2", "A2/1", "B/0", "B1/1"));
    w.EndAndCheck();
  }
}

}  // namespace
