// CMailStore's lists when a record cannot be made. This program replaces the
// non-throwing operator new, through which the mail store makes its records,
// so that a test can make the N-th such allocation fail.

#include <new>
#include <string>
#include <vector>

#include "tests/fakes/fake_address_book.h"
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

// A message list missing a message is not passed off as the folder's: the
// rebuild fails with an empty list, after handing every properties back and
// closing the enumeration.
TEST(MessageListOutOfMemory, TheRebuildFailsWhole) {
  for (int failing : {1, 2, 3}) {
    SCOPED_TRACE(failing);
    MailWorld w;
    const STOREFOLDERID inbox = w.store.AddFolder(FOLDERID_ROOT, "Inbox").id;
    for (const char* subject : {"a", "b", "c"}) w.store.AddMessage(inbox).subject = subject;
    ASSERT_EQ(w.mail->OpenSession(), 1);
    gFailCountdown = failing;
    EXPECT_EQ(w.mail->SetFolder(static_cast<int32_t>(inbox)), 0);
    gFailCountdown = 0;
    EXPECT_EQ(w.mail->GetMessageCount(), 0);
    EXPECT_EQ(w.store.PropsFilled(), w.store.PropsFreed());
    EXPECT_EQ(w.mail->RebuildMessageList(), 1);
    EXPECT_THAT(vorn_test::Subjects(*w.mail), ElementsAre("a", "b", "c"));
    w.EndAndCheck();
  }
}

// An attachment or a contact that cannot be made is left out, like one whose
// name cannot be read; the others keep their order.
TEST(ReaderAndContactsOutOfMemory, OnlyTheRecordThatCannotBeMadeIsLeftOut) {
  MailWorld w;
  const STOREFOLDERID inbox = w.store.AddFolder(FOLDERID_ROOT, "Inbox").id;
  vorn_fakes::FakeMessage& message = w.store.AddMessage(inbox);
  message.mime = vorn_fakes::MakeTextMessage(u"body", {"a", "b", "c"});
  const int32_t id = static_cast<int32_t>(message.id);
  vorn_fakes::FakeAddressBook book(w.env);
  for (const char* name : {"Ann", "Bob", "Cy"}) book.AddContact(name, nullptr, nullptr);
  vorn_fakes::FakeWabModule module(&book);
  ASSERT_EQ(w.mail->OpenSession(), 1);
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(inbox)), 1);

  gFailCountdown = 2;
  EXPECT_EQ(w.mail->SetMessage(id), 1);
  gFailCountdown = 0;
  ASSERT_EQ(w.mail->GetAttachmentCount(), 2);
  EXPECT_EQ(w.mail->GetAttachmentName(0), "a");
  EXPECT_EQ(w.mail->GetAttachmentName(1), "c");

  gFailCountdown = 1;
  EXPECT_EQ(w.mail->LoadContacts(), 1);
  gFailCountdown = 0;
  ASSERT_EQ(w.mail->GetContactCount(), 2);
  EXPECT_EQ(w.mail->GetContactDisplayName(0), "Bob");
  EXPECT_EQ(w.mail->GetContactDisplayName(1), "Cy");
  EXPECT_EQ(book.BuffersFreed(), book.BuffersHandedOut());
  w.EndAndCheck();
}

}  // namespace
