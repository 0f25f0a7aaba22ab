// Folders of the store server: a new store's special folders, enumeration
// order, name rules, nesting, identifiers, renaming and removal.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure_reason.h"
#include "platform/runtime.h"

#include "tests/services/store/store_fixture.h"

namespace store_test {
namespace {

std::vector<std::string> Names(const std::vector<FolderRow>& rows) {
  std::vector<std::string> names;
  for (const FolderRow& row : rows) names.push_back(row.name);
  return names;
}

using FolderTest = StoreTest;

TEST_F(FolderTest, NewStoreHoldsTheFiveSpecialFoldersInKindOrder) {
  std::vector<FolderRow> top = SubFolders(FOLDERID_ROOT);
  ASSERT_EQ(5u, top.size());
  const char* names[] = {"Inbox", "Outbox", "Sent Items", "Deleted Items", "Drafts"};
  for (int kind = 0; kind < 5; ++kind) {
    EXPECT_EQ(names[kind], top[kind].name);
    EXPECT_EQ(kind, top[kind].special);
    EXPECT_NE(0u, top[kind].id);
    EXPECT_NE(FOLDERID_INVALID, top[kind].id);
    EXPECT_EQ(0, top[kind].subFolders);
    EXPECT_EQ(0u, top[kind].messages);
    for (int other = 0; other < kind; ++other) EXPECT_NE(top[other].id, top[kind].id);
  }
  // A second namespace on the same root finds the same store, not a new one.
  ComPtr<IStoreNamespace> again = OpenAnotherNamespace();
  std::swap(store_, again);
  EXPECT_EQ(Names(top), Names(SubFolders(FOLDERID_ROOT)));
  std::swap(store_, again);
}

TEST_F(FolderTest, SiblingsEnumerateSpecialsFirstThenByNameWhateverTheCase) {
  for (const char* name : {"zeta", "Alpha", "\xC3\x84rger", "beta", "Beta2", "ALPHA 2"}) {
    MakeFolder(FOLDERID_ROOT, name);
  }
  EXPECT_EQ((std::vector<std::string>{"Inbox", "Outbox", "Sent Items", "Deleted Items", "Drafts",
                                      "Alpha", "ALPHA 2", "beta", "Beta2", "zeta",
                                      "\xC3\x84rger"}),
            Names(SubFolders(FOLDERID_ROOT)));
  STOREFOLDERID parent = MakeFolder(Inbox(), "Projects");
  for (const char* name : {"b", "C", "a"}) MakeFolder(parent, name);
  EXPECT_EQ((std::vector<std::string>{"a", "b", "C"}), Names(SubFolders(parent)));
  std::vector<FolderRow> inbox = SubFolders(FOLDERID_ROOT);
  EXPECT_EQ(1, inbox.front().subFolders);
}

TEST_F(FolderTest, BadNamesAreRefusedAndChangeNothing) {
  MakeFolder(FOLDERID_ROOT, "Stra\xC3\x9F" "e");
  STOREFOLDERID child = MakeFolder(Inbox(), "Child");
  const std::string before = Snapshot();
  struct Case {
    STOREFOLDERID parent;
    std::string name;
    HRESULT status;
  } cases[] = {
      {FOLDERID_ROOT, "", E_INVALIDARG},
      {FOLDERID_ROOT, std::string(256, 'n'), E_INVALIDARG},
      {FOLDERID_ROOT, "tab\there", E_INVALIDARG},
      {FOLDERID_ROOT, "bad\xFF", E_INVALIDARG},
      {FOLDERID_ROOT, "INBOX", STORE_E_ALREADYEXISTS},
      {FOLDERID_ROOT, "sent items", STORE_E_ALREADYEXISTS},
      {FOLDERID_ROOT, "STRASSE", STORE_E_ALREADYEXISTS},
      {Inbox(), "child", STORE_E_ALREADYEXISTS},
      {12345, "Orphan", STG_E_FILENOTFOUND},
      {FOLDERID_INVALID, "Orphan", STG_E_FILENOTFOUND},
  };
  for (const Case& c : cases) {
    STOREFOLDERID id = 77;
    EXPECT_EQ(c.status, store_->CreateFolder(c.parent, c.name.c_str(), 0, &id)) << c.name;
    EXPECT_EQ(FOLDERID_INVALID, id);
    if (c.status == E_INVALIDARG) {
      EXPECT_EQ(E_INVALIDARG, store_->RenameFolder(child, 0, c.name.c_str())) << c.name;
    }
  }
  EXPECT_EQ(E_POINTER, store_->CreateFolder(FOLDERID_ROOT, nullptr, 0, nullptr));
  EXPECT_EQ(E_POINTER, store_->RenameFolder(child, 0, nullptr));
  EXPECT_EQ(before, Snapshot());
  // The same name is fine below another parent, and 255 bytes are fine.
  EXPECT_NE(FOLDERID_INVALID, MakeFolder(child, "Inbox"));
  EXPECT_NE(FOLDERID_INVALID, MakeFolder(child, std::string(255, 'n')));
}

TEST_F(FolderTest, RenameFollowsTheNameRules) {
  STOREFOLDERID work = MakeFolder(FOLDERID_ROOT, "Work");
  MakeFolder(FOLDERID_ROOT, "Play");
  const std::string before = Snapshot();
  EXPECT_EQ(STORE_E_ALREADYEXISTS, store_->RenameFolder(work, 0, "PLAY"));
  EXPECT_EQ(STORE_E_ALREADYEXISTS, store_->RenameFolder(work, 0, "drafts"));
  EXPECT_EQ(E_INVALIDARG, store_->RenameFolder(work, 0, ""));
  EXPECT_EQ(E_ACCESSDENIED, store_->RenameFolder(Inbox(), 0, "Post"));
  EXPECT_EQ(STG_E_FILENOTFOUND, store_->RenameFolder(FOLDERID_ROOT, 0, "Root"));
  EXPECT_EQ(STG_E_FILENOTFOUND, store_->RenameFolder(4242, 0, "Nothing"));
  EXPECT_EQ(before, Snapshot());

  // A change of case only is a rename of the folder itself.
  EXPECT_EQ(S_OK, store_->RenameFolder(work, 0, "WORK"));
  EXPECT_EQ(S_OK, store_->RenameFolder(work, 0, "Archive"));
  std::vector<std::string> names = Names(SubFolders(FOLDERID_ROOT));
  EXPECT_EQ((std::vector<std::string>{"Inbox", "Outbox", "Sent Items", "Deleted Items", "Drafts",
                                      "Archive", "Play"}),
            names);
}

TEST_F(FolderTest, NestingStopsAtSixtyFourLevels) {
  STOREFOLDERID parent = FOLDERID_ROOT;
  for (int level = 1; level <= STORE_MAX_DEPTH; ++level) {
    parent = MakeFolder(parent, "level " + std::to_string(level));
    ASSERT_NE(FOLDERID_INVALID, parent) << level;
  }
  STOREFOLDERID id = 0;
  EXPECT_EQ(STORE_E_TOODEEP, store_->CreateFolder(parent, "too deep", 0, &id));
  EXPECT_EQ(0u, SubFolders(parent).size());
}

TEST_F(FolderTest, RemovingAFolder) {
  STOREFOLDERID parent = MakeFolder(FOLDERID_ROOT, "Parent");
  STOREFOLDERID child = MakeFolder(parent, "Child");
  {
    ComPtr<IStoreFolder> folder = Open(child);
    Commit(folder.Get(), MakeMessage("one"));
    Commit(folder.Get(), MakeMessage("two"));
  }
  const std::string before = Snapshot();
  EXPECT_EQ(STORE_E_NOTEMPTY, store_->DeleteFolder(parent, 0));
  for (const FolderRow& special : SubFolders(FOLDERID_ROOT)) {
    if (special.special >= 0) {
      EXPECT_EQ(E_ACCESSDENIED, store_->DeleteFolder(special.id, 0));
    }
  }
  EXPECT_EQ(STG_E_FILENOTFOUND, store_->DeleteFolder(FOLDERID_ROOT, 0));
  EXPECT_EQ(STG_E_FILENOTFOUND, store_->DeleteFolder(999, 0));
  EXPECT_EQ(before, Snapshot());

  EXPECT_EQ(S_OK, store_->DeleteFolder(child, 0));
  EXPECT_EQ(STG_E_FILENOTFOUND, store_->DeleteFolder(child, 0));
  ComPtr<IStoreFolder> gone;
  EXPECT_EQ(STG_E_FILENOTFOUND, store_->OpenFolder(child, 0, gone.Put()));
  EXPECT_EQ(nullptr, gone.Get());
  EXPECT_EQ(S_OK, store_->DeleteFolder(parent, 0));
  EXPECT_EQ(5u, SubFolders(FOLDERID_ROOT).size());
}

TEST_F(FolderTest, IdentifiersAreNeverReused) {
  STOREFOLDERID first = MakeFolder(FOLDERID_ROOT, "First");
  ASSERT_EQ(S_OK, store_->DeleteFolder(first, 0));
  STOREFOLDERID second = MakeFolder(FOLDERID_ROOT, "First");
  EXPECT_GT(second, first);
  // Another connection continues the same sequence.
  ComPtr<IStoreNamespace> other = OpenAnotherNamespace();
  STOREFOLDERID third = FOLDERID_INVALID;
  ASSERT_EQ(S_OK, other->CreateFolder(FOLDERID_ROOT, "Third", 0, &third));
  EXPECT_GT(third, second);
}

TEST_F(FolderTest, FolderPropertiesCountMessagesAndUnread) {
  STOREFOLDERID box = MakeFolder(FOLDERID_ROOT, "Box");
  MakeFolder(box, "Sub 1");
  MakeFolder(box, "Sub 2");
  ComPtr<IStoreFolder> folder = Open(box);
  MESSAGEID read = Commit(folder.Get(), MakeMessage("read"), MSGFLAG_READ);
  Commit(folder.Get(), MakeMessage("unread 1"));
  MESSAGEID unread = Commit(folder.Get(), MakeMessage("unread 2"));
  auto find = [&]() {
    for (const FolderRow& row : SubFolders(FOLDERID_ROOT)) {
      if (row.id == box) return row;
    }
    return FolderRow{};
  };
  FolderRow row = find();
  EXPECT_EQ(2, row.subFolders);
  EXPECT_EQ(3u, row.messages);
  EXPECT_EQ(2u, row.unread);
  IdList list({unread});
  ASSERT_EQ(S_OK, folder->MarkMessagesAsRead(TRUE, 0, list.get()));
  EXPECT_EQ(1u, find().unread);
  IdList both({read, unread});
  ASSERT_EQ(S_OK, folder->MarkMessagesAsRead(FALSE, 0, both.get()));
  EXPECT_EQ(3u, find().unread);
}

TEST_F(FolderTest, SubFolderEnumerationHandles) {
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 99;
  STOREFOLDERID empty = MakeFolder(FOLDERID_ROOT, "Empty");
  EXPECT_EQ(S_FALSE, store_->GetFirstSubFolder(empty, &props, &handle));
  EXPECT_EQ(0u, handle);
  handle = 99;
  EXPECT_EQ(STG_E_FILENOTFOUND, store_->GetFirstSubFolder(31337, &props, &handle));
  EXPECT_EQ(0u, handle);
  props.cbSize = CB_FOLDERPROPS + 4;
  EXPECT_EQ(E_INVALIDARG, store_->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle));
  EXPECT_EQ(E_POINTER, store_->GetFirstSubFolder(FOLDERID_ROOT, nullptr, &handle));
  EXPECT_EQ(E_POINTER, store_->GetFirstSubFolder(FOLDERID_ROOT, &props, nullptr));
  props.cbSize = CB_FOLDERPROPS;

  HENUMSTORE a = 0;
  HENUMSTORE b = 0;
  ASSERT_EQ(S_OK, store_->GetFirstSubFolder(FOLDERID_ROOT, &props, &a));
  ASSERT_EQ(S_OK, store_->GetFirstSubFolder(FOLDERID_ROOT, &props, &b));
  EXPECT_NE(0u, a);
  EXPECT_NE(a, b);
  // Two open enumerations go their own ways.
  ASSERT_EQ(S_OK, store_->GetNextSubFolder(a, &props));
  EXPECT_STREQ("Outbox", props.szName);
  ASSERT_EQ(S_OK, store_->GetNextSubFolder(b, &props));
  EXPECT_STREQ("Outbox", props.szName);
  props.cbSize = 0;
  EXPECT_EQ(E_INVALIDARG, store_->GetNextSubFolder(a, &props));
  props.cbSize = CB_FOLDERPROPS;
  ASSERT_EQ(S_OK, store_->GetNextSubFolder(a, &props));
  EXPECT_STREQ("Sent Items", props.szName);
  EXPECT_EQ(E_HANDLE, store_->GetNextSubFolder(a + b + 1000, &props));
  EXPECT_EQ(E_HANDLE, store_->GetNextSubFolder(0, &props));
  EXPECT_EQ(S_OK, store_->GetSubFolderClose(a));
  EXPECT_EQ(E_HANDLE, store_->GetSubFolderClose(a));
  EXPECT_EQ(E_HANDLE, store_->GetNextSubFolder(a, &props));
  while (store_->GetNextSubFolder(b, &props) == S_OK) {
  }
  EXPECT_EQ(S_FALSE, store_->GetNextSubFolder(b, &props));
  EXPECT_EQ(S_OK, store_->GetSubFolderClose(b));
}

TEST_F(FolderTest, EveryCallBeforeInitializeIsUnexpected) {
  ComPtr<IStoreNamespace> fresh;
  ASSERT_EQ(S_OK, CreateStoreNamespace(&fresh));
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 0;
  ComPtr<IStoreFolder> folder;
  STOREFOLDERID id = 0;
  EXPECT_EQ(E_UNEXPECTED, fresh->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle));
  EXPECT_EQ(E_UNEXPECTED, fresh->OpenFolder(Inbox(), 0, folder.Put()));
  EXPECT_EQ(E_UNEXPECTED, fresh->CreateFolder(FOLDERID_ROOT, "x", 0, &id));
  EXPECT_EQ(E_UNEXPECTED, fresh->RenameFolder(Inbox(), 0, "x"));
  EXPECT_EQ(E_UNEXPECTED, fresh->DeleteFolder(Inbox(), 0));
  ComPtr<IStoreImport> import;
  ASSERT_EQ(S_OK, fresh.As(&import));
  HBATCHLOCK batch = 0;
  EXPECT_EQ(E_UNEXPECTED, import->BeginBatch(&batch));
  // Initialize twice is harmless.
  EXPECT_EQ(S_OK, fresh->Initialize(nullptr, 0));
  EXPECT_EQ(S_OK, fresh->Initialize(nullptr, 0));
}

// A store that cannot be used is left exactly as it is, and the person
// learns why.
TEST(NewStore, ADamagedOrNewerStoreIsLeftAloneWithItsReason) {
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  for (bool newer : {false, true}) {
    vorn_test::TempRoot root;
    const std::string file = root.path() + "/store/store.db";
    ComPtr<IStoreNamespace> store;
    ASSERT_EQ(S_OK, CreateStoreNamespace(&store));
    ASSERT_EQ(S_OK, store->Initialize(nullptr, 0));
    store = nullptr;  // a new store, closed at once
    std::ifstream in(file, std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    if (newer) bytes.at(63) = 3;  // the schema version: bytes 60 to 63 of the header
    if (!newer) bytes.replace(0, 16, "not a database!!");
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    ASSERT_EQ(S_OK, CreateStoreNamespace(&store));
    EXPECT_EQ(newer ? STORE_E_NEWERVERSION : STG_E_DOCFILECORRUPT, store->Initialize(nullptr, 0));
    char reason[VORN_MAX_FAILURE_REASON + 1] = {};
    VornGetFailureReason(reason, sizeof reason);
    EXPECT_EQ(newer ? "the mail store " + file + " was made by a newer version of this program"
                    : "the mail store file " + file + " is damaged",
              reason);
    std::ifstream after(file, std::ios::binary);
    EXPECT_EQ(bytes, std::string(std::istreambuf_iterator<char>(after), {}));
  }
  CoUninitialize();
}

TEST(NewStore, ConnectionsCreatingOneNewStoreAtOnceMakeOneStore) {
  for (int round = 0; round < 5; ++round) {
    vorn_test::TempRoot root;
    constexpr int kConnections = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kConnections; ++i) {
      threads.emplace_back([&]() {
        if (FAILED(CoInitialize(nullptr))) {
          ++failures;
          return;
        }
        {
          ComPtr<IStoreNamespace> store;
          if (FAILED(CreateStoreNamespace(&store)) || FAILED(store->Initialize(nullptr, 0))) {
            ++failures;
          }
        }
        CoUninitialize();
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    {
      ComPtr<IStoreNamespace> store;
      ASSERT_EQ(S_OK, CreateStoreNamespace(&store));
      ASSERT_EQ(S_OK, store->Initialize(nullptr, 0));
      FOLDERPROPS props{};
      props.cbSize = CB_FOLDERPROPS;
      HENUMSTORE handle = 0;
      int count = 0;
      HRESULT hr = store->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle);
      while (hr == S_OK) {
        ++count;
        hr = store->GetNextSubFolder(handle, &props);
      }
      store->GetSubFolderClose(handle);
      EXPECT_EQ(5, count);
    }
    CoUninitialize();
  }
}

}  // namespace
}  // namespace store_test
