// The store session of CMailStore: opening the platform services, what each
// failing step leaves held, the registered address book library, the order
// of releases, and the end of the object.

#include <dlfcn.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/fakes/fake_address_book.h"
#include "tests/store/mail_world.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::SizeIs;
using vorn_fakes::FakeAddressBook;
using vorn_fakes::FakeWabModule;
using vorn_test::MailWorld;
using Peer = MailStoreTestPeer;

// Objects that dropped to no reference since `from` entries of the release
// order.
std::vector<std::string> ReleasedSince(const MailWorld& w, size_t from) {
  const auto& order = w.env.log.ReleaseOrder();
  return std::vector<std::string>(order.begin() + static_cast<long>(from), order.end());
}

// A path of exactly `length` characters naming `file` in `dir`, padded with
// extra slashes, which the system's loader ignores.
std::string PaddedPath(const std::string& dir, const std::string& file, size_t length) {
  std::string path = dir + "/" + file;
  if (path.size() < length) path.insert(dir.size(), length - path.size(), '/');
  return path;
}

bool LibraryLoaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

TEST(Session, EachFailingStepLeavesWhatItsTableSays) {
  struct Case {
    const char* name;
    std::function<void(MailWorld&)> arrange;
    int result;
    size_t namespaces;  // live store namespaces afterwards
    size_t allocators;  // live MIME allocators afterwards
  };
  const std::vector<Case> cases = {
      {"store cannot be created",
       [](MailWorld& w) { w.env.faults.FailCall("CreateInstance", 1); }, 0, 0, 0},
      {"Initialize fails", [](MailWorld& w) { w.store.initializeStatus = E_FAIL; }, 0, 0, 0},
      {"allocator cannot be created",
       [](MailWorld& w) { w.env.faults.FailCall("CreateInstance", 2); }, 0, 1, 0},
      {"no address book library registered", [](MailWorld&) {}, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailWorld w;
    c.arrange(w);
    EXPECT_EQ(w.mail->OpenSession(), c.result);
    EXPECT_THAT(w.env.log.LiveObjects("StoreNamespace"), SizeIs(c.namespaces));
    EXPECT_THAT(w.env.log.LiveObjects("MimeAllocator"), SizeIs(c.allocators));
    EXPECT_EQ(Peer::Namespace(*w.mail) != nullptr, c.namespaces == 1);
    EXPECT_EQ(Peer::Allocator(*w.mail) != nullptr, c.allocators == 1);
    EXPECT_EQ(Peer::WabModule(*w.mail), nullptr);
    if (w.env.log.Count("Initialize") > 0) {
      const auto& init = w.env.log.Last("Initialize");
      EXPECT_TRUE(init.IsNull("owner"));
      EXPECT_EQ(init.Num("reserved"), 0u);
    }
    // Without a namespace every folder operation fails and calls nothing.
    if (c.namespaces == 0) {
      w.env.log.ClearCalls();
      EXPECT_EQ(w.mail->RebuildFolderList(), 0);
      EXPECT_EQ(w.mail->CreateFolder(0, "New"), 0);
      EXPECT_EQ(w.mail->RenameFolder(101, "New"), 0);
      EXPECT_EQ(w.mail->RemoveFolder(101), 0);
      EXPECT_EQ(w.mail->SetFolder(101), 0);
      EXPECT_EQ(w.mail->GetFolderCount(), 0);
      EXPECT_THAT(w.env.log.Methods(), IsEmpty());
    }
    w.EndAndCheck();
  }
}

TEST(Session, AddressBookStepsLeaveWhatTheirTableSays) {
  struct Case {
    const char* name;
    bool withEntry;        // the library exports WABOpen
    HRESULT wabOpenStatus;
    int result;
    bool entryKept;
    bool bookOpen;
  };
  const std::vector<Case> cases = {
      {"library without WABOpen", false, S_OK, 0, false, false},
      {"WABOpen fails", true, E_FAIL, 0, true, false},
      {"address book opens", true, S_OK, 1, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailWorld w;
    FakeAddressBook book(w.env);
    book.wabOpenStatus = c.wabOpenStatus;
    FakeWabModule module(&book, c.withEntry ? vorn_fakes::FakeWabLibraryPath()
                                            : vorn_fakes::FakeWabLibraryWithoutEntryPath());
    ASSERT_TRUE(module.registered() && module.library().loaded());
    EXPECT_EQ(w.mail->OpenSession(), c.result);
    EXPECT_THAT(w.env.log.LiveObjects("StoreNamespace"), SizeIs(1));
    EXPECT_THAT(w.env.log.LiveObjects("MimeAllocator"), SizeIs(1));
    EXPECT_EQ(Peer::WabModule(*w.mail), module.library().module());
    EXPECT_EQ(Peer::WabPath(*w.mail), module.path());
    EXPECT_EQ(Peer::WabOpen(*w.mail) != nullptr, c.entryKept);
    EXPECT_EQ(Peer::AddressBook(*w.mail) != nullptr, c.bookOpen);
    EXPECT_EQ(Peer::WabObject(*w.mail) != nullptr, c.bookOpen);
    if (c.withEntry) {
      const auto& open = w.env.log.Last("WABOpen");
      EXPECT_TRUE(open.IsNull("params"));
      EXPECT_EQ(open.Num("reserved"), 0u);
    }
    w.EndAndCheck();
    EXPECT_THAT(w.env.log.LiveObjects("AddrBook"), IsEmpty());
    EXPECT_THAT(w.env.log.LiveObjects("WABObject"), IsEmpty());
  }
}

TEST(Session, LibraryWithoutWabOpenStillLeavesAUsableStore) {
  MailWorld w;
  w.store.AddStandardFolders();
  FakeWabModule module(nullptr, vorn_fakes::FakeWabLibraryWithoutEntryPath());
  ASSERT_TRUE(module.registered() && module.library().loaded());
  EXPECT_EQ(w.mail->OpenSession(), 0);
  EXPECT_EQ(w.mail->CreateFolder(0, "Projects"), 1);
  EXPECT_THAT(vorn_test::FolderTree(*w.mail),
              ElementsAre("Inbox/0", "Outbox/0", "Sent Items/0", "Deleted Items/0", "Drafts/0",
                          "Projects/0"));
  EXPECT_EQ(w.mail->LoadContacts(), 0);
  w.EndAndCheck();
}

// Whatever the registry holds, a path is read only within the 256 bytes of
// the WAB path, and anything that is not a whole path there means "no
// library": the session opens without an address book.
TEST(Session, RegisteredPathIsReadWithinItsBuffer) {
  const std::string dir = vorn_test::BinDir();
  struct Case {
    const char* name;
    std::function<void()> registerValue;
    bool loads;
  };
  auto setValue = [](const std::string& text, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  };
  const std::string fits = PaddedPath(dir, "vornfakewab.so", 255);
  const std::string tooLong = PaddedPath(dir, "vornfakewab.so", 256);
  const std::vector<Case> cases = {
      {"no key", [] {}, false},
      {"key without a default value",
       [] {
         HKEY key = nullptr;
         ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, &key, nullptr),
                   ERROR_SUCCESS);
         RegCloseKey(key);
       },
       false},
      {"empty path", [&] { setValue(""); }, false},
      {"255 characters", [&] { setValue(fits); }, true},
      {"256 characters", [&] { setValue(tooLong); }, false},
      {"a path far too long", [&] { setValue(std::string(5000, '/') + "vornfakewab.so"); },
       false},
  };
  ASSERT_EQ(fits.size(), 255u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailWorld w;
    FakeAddressBook book(w.env);
    // The library is loaded and pointed at the book under its plain path;
    // the case then writes the value the session reads.
    FakeWabModule module(&book);
    ASSERT_TRUE(module.registered() && module.library().loaded());
    vorn_fakes::UnregisterWabPath();
    c.registerValue();

    EXPECT_EQ(w.mail->OpenSession(), 1);
    EXPECT_EQ(Peer::WabModule(*w.mail) != nullptr, c.loads);
    EXPECT_EQ(Peer::AddressBook(*w.mail) != nullptr, c.loads);
    EXPECT_EQ(Peer::WabPath(*w.mail), c.loads ? fits : "");
    EXPECT_EQ(w.env.log.Count("WABOpen"), c.loads ? 1 : 0);
    w.EndAndCheck();
  }
}

TEST(Session, SecondOpenReleasesTheFirstOnesInterfacesBeforeOpeningNew) {
  MailWorld w;
  w.store.AddStandardFolders();
  const STOREFOLDERID inbox = w.store.SubFolders(FOLDERID_ROOT)[0];
  vorn_fakes::FakeMessage& message = w.store.AddMessage(inbox);
  message.mime = vorn_fakes::MakeTextMessage(u"Hello", {"a.txt"});
  const MESSAGEID id = message.id;

  ASSERT_EQ(w.mail->OpenSession(), 1);
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(inbox)), 1);
  ASSERT_EQ(w.mail->SetMessage(static_cast<int32_t>(id)), 1);
  const auto namespaces = w.env.log.LiveObjects("StoreNamespace");
  const auto folders = w.env.log.LiveObjects("StoreFolder");
  const auto allocators = w.env.log.LiveObjects("MimeAllocator");
  const auto messages = w.env.log.LiveObjects("MimeMessage");
  const auto propertySets = w.env.log.LiveObjects("MimePropertySet");
  ASSERT_THAT(namespaces, SizeIs(1));
  ASSERT_THAT(folders, SizeIs(1));
  ASSERT_THAT(allocators, SizeIs(1));
  ASSERT_THAT(messages, SizeIs(1));
  ASSERT_THAT(propertySets, SizeIs(1));

  const size_t before = w.env.log.ReleaseOrder().size();
  w.env.log.ClearCalls();
  ASSERT_EQ(w.mail->OpenSession(), 1);
  EXPECT_THAT(ReleasedSince(w, before), ElementsAre(namespaces[0], folders[0], allocators[0],
                                                    messages[0], propertySets[0]));
  // Everything was released before the first new object was asked for.
  const auto& calls = w.env.log.Calls();
  const auto create = std::find_if(calls.begin(), calls.end(), [](const auto& call) {
    return call.method == "CreateInstance";
  });
  const auto lastRelease = std::find_if(calls.rbegin(), calls.rend(), [&](const auto& call) {
    return call.method == "Release" && call.object == propertySets[0];
  });
  ASSERT_NE(create, calls.end());
  ASSERT_NE(lastRelease, calls.rend());
  EXPECT_LT(lastRelease->seq, create->seq);
  EXPECT_THAT(w.env.log.LiveObjects("StoreNamespace"), SizeIs(1));
  EXPECT_THAT(w.env.log.LiveObjects("MimeAllocator"), SizeIs(1));
  EXPECT_EQ(Peer::CurrentFolder(*w.mail), nullptr);
  EXPECT_EQ(Peer::CurrentMessage(*w.mail), nullptr);
  // The caches are the host's until their own rebuild.
  EXPECT_EQ(w.mail->GetMessageCount(), 1);
  EXPECT_EQ(w.mail->GetBody(), "Hello");
  EXPECT_EQ(w.mail->GetAttachmentCount(), 1);
  // Without a current folder the message operations call nothing.
  w.env.log.ClearCalls();
  EXPECT_EQ(w.mail->RemoveMessage(static_cast<int32_t>(id)), 0);
  EXPECT_EQ(w.mail->SetMessage(static_cast<int32_t>(id)), 0);
  EXPECT_THAT(w.env.log.Methods(), IsEmpty());
  w.EndAndCheck();
}

TEST(Session, AddressBookIsReplacedOnlyByALaterSuccessfulOpen) {
  MailWorld w;
  FakeAddressBook book(w.env);
  FakeWabModule module(&book);
  ASSERT_TRUE(module.registered() && module.library().loaded());

  ASSERT_EQ(w.mail->OpenSession(), 1);
  const auto first = w.env.log.LiveObjects("AddrBook");
  ASSERT_THAT(first, SizeIs(1));

  book.wabOpenStatus = E_FAIL;
  EXPECT_EQ(w.mail->OpenSession(), 0);
  EXPECT_EQ(w.env.log.LiveObjects("AddrBook"), first);
  EXPECT_NE(Peer::AddressBook(*w.mail), nullptr);

  book.wabOpenStatus = S_OK;
  EXPECT_EQ(w.mail->OpenSession(), 1);
  const auto now = w.env.log.LiveObjects("AddrBook");
  ASSERT_THAT(now, SizeIs(1));
  EXPECT_NE(now, first);
  EXPECT_THAT(w.env.log.LiveObjects("WABObject"), SizeIs(1));
  w.EndAndCheck();
  EXPECT_THAT(w.env.log.LiveObjects("AddrBook"), IsEmpty());
  EXPECT_THAT(w.env.log.LiveObjects("WABObject"), IsEmpty());
}

TEST(Session, CloseSessionReleasesInItsOrderAndDeletesEveryRecord) {
  MailWorld w;
  w.store.AddStandardFolders();
  const STOREFOLDERID inbox = w.store.SubFolders(FOLDERID_ROOT)[0];
  vorn_fakes::FakeMessage& message = w.store.AddMessage(inbox);
  message.mime = vorn_fakes::MakeTextMessage(u"Body text", {"a.txt", "b.txt"});
  const MESSAGEID id = message.id;
  w.store.AddMessage(inbox);
  FakeAddressBook book(w.env);
  book.AddContact("Ann", "ann", "ann@example.org");
  FakeWabModule module(&book);
  ASSERT_TRUE(module.registered() && module.library().loaded());

  ASSERT_EQ(w.mail->OpenSession(), 1);
  ASSERT_EQ(w.mail->RebuildFolderList(), 1);
  ASSERT_EQ(w.mail->LoadContacts(), 1);
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(inbox)), 1);
  ASSERT_EQ(w.mail->SetMessage(static_cast<int32_t>(id)), 1);
  ASSERT_EQ(w.mail->GetFolderCount(), 5);
  ASSERT_EQ(w.mail->GetMessageCount(), 2);
  ASSERT_EQ(w.mail->GetAttachmentCount(), 2);
  ASSERT_EQ(w.mail->GetContactCount(), 1);

  const auto expected = std::vector<std::string>{
      w.env.log.LiveObjects("StoreNamespace")[0], w.env.log.LiveObjects("StoreFolder")[0],
      w.env.log.LiveObjects("MimeAllocator")[0], w.env.log.LiveObjects("MimeMessage")[0],
      w.env.log.LiveObjects("MimePropertySet")[0]};
  const size_t before = w.env.log.ReleaseOrder().size();
  EXPECT_EQ(w.mail->CloseSession(), 1);
  EXPECT_EQ(ReleasedSince(w, before), expected);
  EXPECT_EQ(w.mail->GetFolderCount(), 0);
  EXPECT_EQ(w.mail->GetMessageCount(), 0);
  EXPECT_EQ(w.mail->GetAttachmentCount(), 0);
  EXPECT_EQ(w.mail->GetContactCount(), 0);
  // Left alone: the address book and the body text.
  EXPECT_THAT(w.env.log.LiveObjects("AddrBook"), SizeIs(1));
  EXPECT_EQ(w.mail->GetBody(), "Body text");
  // A second close finds nothing left to release.
  w.env.log.ClearCalls();
  EXPECT_EQ(w.mail->CloseSession(), 1);
  EXPECT_THAT(w.env.log.Calls(), IsEmpty());
  w.EndAndCheck();
  EXPECT_THAT(w.env.log.LiveObjects("AddrBook"), IsEmpty());
}

TEST(Session, AStoreNeverOpenedAnswersNeutrallyAndReleasesNothing) {
  MailWorld w;
  EXPECT_EQ(w.mail->GetFolderCount(), 0);
  EXPECT_EQ(w.mail->GetMessageCount(), 0);
  EXPECT_EQ(w.mail->GetContactCount(), 0);
  EXPECT_EQ(w.mail->GetAttachmentCount(), 0);
  EXPECT_EQ(w.mail->GetBody(), "");
  EXPECT_EQ(w.mail->GetFolderName(0), "");
  EXPECT_EQ(w.mail->LoadContacts(), 0);
  w.mail->ClearFolderList();
  EXPECT_EQ(w.mail->GetFolderCount(), 0);
  w.mail.reset();
  EXPECT_THAT(w.env.log.Methods(), IsEmpty());
  EXPECT_THAT(w.env.log.ReleaseOrder(), IsEmpty());
}

// Every library load the session made is undone when the object ends, after
// the address book's objects (whose code lives in the library) are released.
TEST(Session, DestructionUnloadsEveryLoadItMade) {
  MailWorld w;
  const std::string path = vorn_fakes::FakeWabLibraryPath();
  ASSERT_EQ(vorn_fakes::RegisterWabPath(path), ERROR_SUCCESS);
  ASSERT_FALSE(LibraryLoaded(path));
  // The library is not pointed at a book, so its WABOpen fails; each session
  // still loads it once more.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(w.mail->OpenSession(), 0);
  EXPECT_NE(Peer::WabOpen(*w.mail), nullptr);
  EXPECT_TRUE(LibraryLoaded(path));
  w.mail.reset();
  EXPECT_FALSE(LibraryLoaded(path));
  vorn_fakes::UnregisterWabPath();
}

}  // namespace
