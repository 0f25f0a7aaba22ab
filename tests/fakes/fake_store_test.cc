// The fake store where a fake bug would hide a logic bug: arguments logged
// as passed, property strings alive exactly until FreeMessageProps,
// enumeration handles closed once, references counted, scripted reads
// delivered as scripted, and activation through the runtime.

#include "tests/fakes/fake_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/runtime.h"
#include "tests/fakes/forwarding.h"

namespace vorn_fakes {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class FakeStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    inbox_ = store_.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
    archive_ = store_.AddFolder(FOLDERID_ROOT, "Archive").id;
    FakeMessage& first = store_.AddMessage(inbox_);
    first.subject = "First";
    first.displayFrom = "ann@example.org";
    first.flags = MSGFLAG_READ;
    first_ = first.id;
    FakeMessage& second = store_.AddMessage(inbox_);
    second.subject = "Second";  // the other three texts stay null
    second_ = second.id;
    ASSERT_EQ(store_.CreateNamespace(IID_IStoreNamespace, ns_.PutVoid()), S_OK);
    ASSERT_EQ(ns_->Initialize(nullptr, 0), S_OK);
    ASSERT_EQ(ns_->OpenFolder(inbox_, 0, folder_.Put()), S_OK);
  }

  static MESSAGEPROPS NewProps() {
    MESSAGEPROPS props{};
    props.cbSize = CB_MESSAGEPROPS;
    return props;
  }

  FakeEnv env_;
  FakeStore store_{env_};
  STOREFOLDERID inbox_ = 0, archive_ = 0;
  MESSAGEID first_ = 0, second_ = 0;
  ComPtr<IStoreNamespace> ns_;
  ComPtr<IStoreFolder> folder_;
};

TEST_F(FakeStoreTest, LogsArgumentsAsPassed) {
  ComPtr<IStoreFolder> archive;
  ASSERT_EQ(ns_->OpenFolder(archive_, 0, archive.Put()), S_OK);
  MESSAGEID id = first_;
  MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &id};
  ASSERT_EQ(ns_->CopyMoveMessages(folder_.Get(), archive.Get(), &list, 0, ~MSGFLAG_READ, nullptr),
            S_OK);
  const Call& copy = env_.log.Last("CopyMoveMessages");
  EXPECT_EQ(copy.Str("source"), std::to_string(inbox_));
  EXPECT_EQ(copy.Str("destination"), std::to_string(archive_));
  EXPECT_EQ(copy.Num("cbSize"), CB_MESSAGEIDLIST);
  EXPECT_EQ(copy.Num("cMsgs"), 1u);
  EXPECT_EQ(copy.Str("ids"), std::to_string(first_));
  EXPECT_EQ(copy.Num("flags"), 0u);
  EXPECT_EQ(copy.Num("flagsToRemove"), 0xFFFFFFFEu);
  EXPECT_TRUE(copy.IsNull("progress"));
  EXPECT_EQ(copy.result, S_OK);
  // The copy kept MSGFLAG_READ: only the complement of it was removed.
  ASSERT_EQ(store_.MessagesIn(archive_).size(), 1u);
  EXPECT_EQ(store_.Message(store_.MessagesIn(archive_)[0])->flags, MSGFLAG_READ);

  // A wrong cbSize is logged as found and refused.
  FOLDERPROPS props{};
  props.cbSize = 279;
  HENUMSTORE handle = 77;
  EXPECT_EQ(ns_->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle), E_INVALIDARG);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(env_.log.Last("GetFirstSubFolder").Num("cbSize"), 279u);
  EXPECT_EQ(env_.log.Last("GetFirstSubFolder").Num("parentId"), FOLDERID_ROOT);

  EXPECT_EQ(ns_->RenameFolder(archive_, 0, ""), E_INVALIDARG);
  EXPECT_EQ(env_.log.Last("RenameFolder").Str("name"), "");
  EXPECT_EQ(ns_->CreateFolder(FOLDERID_ROOT, nullptr, 0, nullptr), E_INVALIDARG);
  EXPECT_TRUE(env_.log.Last("CreateFolder").IsNull("name"));
  EXPECT_TRUE(env_.log.Last("CreateFolder").IsNull("newId"));
  EXPECT_THAT(env_.log.Errors(), IsEmpty());
}

TEST_F(FakeStoreTest, PropertyStringsLiveUntilFreeMessageProps) {
  MESSAGEPROPS a = NewProps(), b = NewProps();
  HENUMSTORE handle = 0;
  ASSERT_EQ(folder_->GetFirstMessage(0, 0, MESSAGEID_FIRST, &a, &handle), S_OK);
  ASSERT_EQ(folder_->GetNextMessage(handle, 0, &b), S_OK);
  // Each fill has its own strings: the second did not touch the first.
  EXPECT_EQ(a.dwMessageId, first_);
  EXPECT_STREQ(a.pszSubject, "First");
  EXPECT_STREQ(a.pszDisplayFrom, "ann@example.org");
  EXPECT_EQ(b.dwMessageId, second_);
  EXPECT_STREQ(b.pszSubject, "Second");
  EXPECT_EQ(b.pszDisplayFrom, nullptr);
  EXPECT_EQ(b.pszNormalSubject, nullptr);
  EXPECT_EQ(store_.OutstandingStrings(), 3);

  char* subject = a.pszSubject;
  EXPECT_EQ(folder_->FreeMessageProps(&a), S_OK);
  EXPECT_EQ(a.pszSubject, nullptr);
  EXPECT_EQ(a.pszDisplayFrom, nullptr);
  EXPECT_STREQ(b.pszSubject, "Second");
  EXPECT_EQ(store_.OutstandingStrings(), 1);

  // Handing back a string twice is caught, not freed again.
  MESSAGEPROPS stale = NewProps();
  stale.pszSubject = subject;
  EXPECT_EQ(folder_->FreeMessageProps(&stale), S_OK);
  ASSERT_EQ(env_.log.Errors().size(), 1u);
  EXPECT_THAT(env_.log.Errors()[0], testing::HasSubstr("pszSubject"));

  EXPECT_EQ(folder_->FreeMessageProps(&b), S_OK);
  EXPECT_EQ(folder_->GetNextMessage(handle, 0, &b), S_FALSE);
  EXPECT_EQ(folder_->GetMessageClose(handle), S_OK);
  EXPECT_EQ(store_.OutstandingStrings(), 0);
  EXPECT_EQ(store_.PropsFilled(), 2);
  EXPECT_EQ(store_.PropsFreed(), 3);
}

TEST_F(FakeStoreTest, EnumerationHandlesAreNonZeroAndCloseOnce) {
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 0;
  ASSERT_EQ(ns_->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle), S_OK);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(props.dwFolderId, inbox_);
  EXPECT_STREQ(props.szName, "Inbox");
  EXPECT_EQ(props.sfType, FOLDER_INBOX);
  EXPECT_EQ(props.cMessage, 2u);
  EXPECT_EQ(props.cUnread, 1u);
  EXPECT_EQ(store_.OpenEnumerations(), 1);
  ASSERT_EQ(ns_->GetNextSubFolder(handle, &props), S_OK);
  EXPECT_STREQ(props.szName, "Archive");
  EXPECT_EQ(props.sfType, FOLDER_NOTSPECIAL);
  EXPECT_EQ(ns_->GetNextSubFolder(handle, &props), S_FALSE);
  EXPECT_EQ(ns_->GetSubFolderClose(handle), S_OK);
  EXPECT_EQ(store_.OpenEnumerations(), 0);
  EXPECT_THAT(env_.log.Errors(), IsEmpty());

  EXPECT_EQ(ns_->GetSubFolderClose(handle), E_HANDLE);
  EXPECT_EQ(env_.log.Errors().size(), 1u);

  // No subfolder: S_FALSE and no handle, or a handle to close when asked for.
  HENUMSTORE empty = 99;
  EXPECT_EQ(ns_->GetFirstSubFolder(archive_, &props, &empty), S_FALSE);
  EXPECT_EQ(empty, 0u);
  store_.openHandleWhenEmpty = true;
  EXPECT_EQ(ns_->GetFirstSubFolder(archive_, &props, &empty), S_FALSE);
  EXPECT_NE(empty, 0u);
  EXPECT_EQ(store_.OpenEnumerations(), 1);
}

TEST_F(FakeStoreTest, CountsReferencesAndReleaseOrder) {
  std::string nsName = env_.log.LiveObjects("StoreNamespace").at(0);
  std::string folderName = env_.log.LiveObjects("StoreFolder").at(0);
  // Without recording calls, counts and the release order are still kept.
  env_.log.SetRecording(false);
  size_t calls = env_.log.Calls().size();
  folder_ = nullptr;
  ns_ = nullptr;
  EXPECT_EQ(env_.log.Calls().size(), calls);
  env_.log.SetRecording(true);
  EXPECT_THAT(env_.log.LiveObjects(), IsEmpty());
  EXPECT_THAT(env_.log.ReleaseOrder(), ElementsAre(folderName, nsName));
  EXPECT_THAT(env_.log.Errors(), IsEmpty());

  // A call or a Release through a dangling pointer is caught.
  IStoreNamespace* dangling = nullptr;
  ASSERT_EQ(store_.CreateNamespace(IID_IStoreNamespace, reinterpret_cast<void**>(&dangling)), S_OK);
  dangling->Release();
  EXPECT_EQ(dangling->Initialize(nullptr, 0), E_UNEXPECTED);
  dangling->Release();
  EXPECT_EQ(env_.log.Errors().size(), 2u);
}

TEST_F(FakeStoreTest, RawTextReadsFollowTheScript) {
  FakeMessage* message = store_.Message(first_);
  message->raw = std::string("ab\0cdefgh", 9);
  message->rawReads = {{4, S_OK}, {1, S_FALSE}, {0, E_FAIL}};
  ComPtr<IStream> stream;
  ASSERT_EQ(folder_->OpenMessage(first_, IID_IStream, stream.PutVoid()), S_OK);
  struct Expected {
    ULONG ask;
    HRESULT status;
    std::string bytes;
  };
  const Expected reads[] = {
      {99, S_OK, std::string("ab\0c", 4)},  // scripted: 4 bytes, NUL included
      {99, S_FALSE, "d"},                   // scripted: 1 byte with S_FALSE
      {99, E_FAIL, ""},                     // scripted failure
      {2, S_OK, "ef"},                      // then natural reads, cut to cb
      {99, S_OK, "gh"},
      {99, S_OK, ""},  // the end
  };
  for (const Expected& read : reads) {
    char buffer[100];
    ULONG got = 1234;
    EXPECT_EQ(stream->Read(buffer, read.ask, &got), read.status);
    EXPECT_EQ(std::string(buffer, got), read.bytes);
  }
  EXPECT_EQ(env_.log.Last("Read").Num("cb"), 99u);

  // The script restarts with each OpenMessage.
  ComPtr<IStream> again;
  ASSERT_EQ(folder_->OpenMessage(first_, IID_IStream, again.PutVoid()), S_OK);
  char buffer[100];
  ULONG got = 0;
  EXPECT_EQ(again->Read(buffer, 99, &got), S_OK);
  EXPECT_EQ(got, 4u);
}

TEST(FakeStoreOpenMessageTest, AnswersAsTheMessageIsDescribed) {
  struct Case {
    const char* name;
    bool model;          // the store has a MIME model
    bool describedMime;  // the message has a MIME description
    HRESULT openStatus;
    bool withhold;
    REFIID riid;
    HRESULT expected;
    bool object;
  };
  const Case cases[] = {
      {"raw text", false, false, S_OK, false, IID_IStream, S_OK, true},
      {"parsed", true, true, S_OK, false, IID_IMimeMessage, S_OK, true},
      {"parsed without a model", false, true, S_OK, false, IID_IMimeMessage, E_NOINTERFACE, false},
      {"parsed without a description", true, false, S_OK, false, IID_IMimeMessage, E_NOINTERFACE,
       false},
      {"other interface", true, true, S_OK, false, IID_IStoreFolder, E_NOINTERFACE, false},
      {"refused", true, true, STG_E_ACCESSDENIED, false, IID_IStream, STG_E_ACCESSDENIED, false},
      {"S_FALSE with the object", true, true, S_FALSE, false, IID_IStream, S_FALSE, true},
      {"S_FALSE without it", true, true, S_FALSE, true, IID_IMimeMessage, S_FALSE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnv env;
    FakeMimeModel mime(env);
    FakeStore store(env, c.model ? &mime : nullptr);
    STOREFOLDERID inbox = store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
    FakeMessage& message = store.AddMessage(inbox);
    message.raw = "Subject: x\r\n\r\nbody";
    if (c.describedMime) message.mime = MakeTextMessage(u"body", {"a.txt"});
    message.openStatus = c.openStatus;
    message.withholdObject = c.withhold;
    MESSAGEID id = message.id;
    {
      ComPtr<IStoreNamespace> ns;
      ASSERT_EQ(store.CreateNamespace(IID_IStoreNamespace, ns.PutVoid()), S_OK);
      ASSERT_EQ(ns->Initialize(nullptr, 0), S_OK);
      ComPtr<IStoreFolder> folder;
      ASSERT_EQ(ns->OpenFolder(inbox, 0, folder.Put()), S_OK);
      ComPtr<IUnknown> object;
      EXPECT_EQ(folder->OpenMessage(id, c.riid, object.PutVoid()), c.expected);
      EXPECT_EQ(static_cast<bool>(object), c.object);
      if (object && c.riid == IID_IMimeMessage) {
        ULONG count = 0;
        LPHBODY bodies = nullptr;
        EXPECT_EQ(static_cast<IMimeMessage*>(static_cast<IUnknown*>(object.Get()))
                      ->GetAttachments(&count, &bodies),
                  S_OK);
        EXPECT_EQ(count, 1u);
        CoTaskMemFree(bodies);
      }
    }
    EXPECT_THAT(env.log.LiveObjects(), IsEmpty());
  }
}

TEST_F(FakeStoreTest, CommittedMessagesJoinTheFolder) {
  ComPtr<IStream> stream;
  MESSAGEID id = 0;
  ASSERT_EQ(folder_->CreateStream(0, 0, stream.Put(), &id), S_OK);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, MESSAGEID_INVALID);
  const std::string text = "From: a\r\nTo:b\r\nSubject:Re: c\r\n\r\nd";
  ULONG written = 0;
  ASSERT_EQ(stream->Write(text.data(), static_cast<ULONG>(text.size()), &written), S_OK);
  EXPECT_EQ(written, text.size());
  EXPECT_EQ(store_.MessagesIn(inbox_).size(), 2u);  // nothing stored before the commit
  ASSERT_EQ(folder_->CommitStream(0, 0, 0, stream.Get(), id, nullptr), S_OK);
  // A second commit of the same reservation is refused.
  EXPECT_EQ(folder_->CommitStream(0, 0, 0, stream.Get(), id, nullptr), E_INVALIDARG);

  ASSERT_EQ(store_.Commits().size(), 1u);
  EXPECT_EQ(store_.Commits()[0].bytes, text);
  EXPECT_EQ(store_.Commits()[0].folder, inbox_);
  MESSAGEPROPS props = NewProps();
  ASSERT_EQ(folder_->GetMessageProps(id, MSGPROPS_FAST, &props), S_OK);
  EXPECT_STREQ(props.pszSubject, "Re: c");
  EXPECT_STREQ(props.pszNormalSubject, "c");
  EXPECT_STREQ(props.pszDisplayFrom, "a");
  EXPECT_STREQ(props.pszDisplayTo, "b");
  EXPECT_EQ(props.cbMessage, text.size());
  EXPECT_EQ(props.pStream, nullptr);
  folder_->FreeMessageProps(&props);
  EXPECT_EQ(env_.log.Last("Write").Num("cb"), text.size());
}

TEST_F(FakeStoreTest, WrappersOverrideOneMethodAndForwardTheRest) {
  struct NoMarking : ForwardingStoreFolder {
    using ForwardingStoreFolder::ForwardingStoreFolder;
    HRESULT MarkMessagesAsRead(BOOL, DWORD, LPMESSAGEIDLIST) override { return E_ACCESSDENIED; }
  };
  store_.wrapFolder = [](ComPtr<IStoreFolder> inner) {
    return MakeForwarding<NoMarking>(std::move(inner));
  };
  ComPtr<IStoreFolder> wrapped, archive;
  ASSERT_EQ(ns_->OpenFolder(inbox_, 0, wrapped.Put()), S_OK);
  ASSERT_EQ(ns_->OpenFolder(archive_, 0, archive.Put()), S_OK);
  MESSAGEID id = second_;
  MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &id};
  EXPECT_EQ(wrapped->MarkMessagesAsRead(TRUE, 0, &list), E_ACCESSDENIED);
  EXPECT_EQ(store_.Message(second_)->flags, 0u);
  // The fake still recognises its folder behind the wrapper.
  EXPECT_EQ(ns_->CopyMoveMessages(wrapped.Get(), archive.Get(), &list, CMF_MOVE, 0, nullptr), S_OK);
  EXPECT_EQ(store_.Message(second_)->folder, archive_);
  wrapped = nullptr;
  archive = nullptr;
  EXPECT_THAT(env_.log.LiveObjects("StoreFolder"), ElementsAre(env_.log.Objects("StoreFolder")[0]));
}

TEST_F(FakeStoreTest, RegisteredForActivationUntilTheRegistrationEnds) {
  {
    ClassRegistration registration = store_.Register();
    ASSERT_EQ(registration.status(), S_OK);
    ComPtr<IStoreNamespace> created;
    ASSERT_EQ(
        CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                         IID_IStoreNamespace, created.PutVoid()),
        S_OK);
    EXPECT_EQ(created->OpenFolder(inbox_, 0, nullptr), E_POINTER);
    ComPtr<IStoreFolder> folder;
    EXPECT_EQ(created->OpenFolder(inbox_, 0, folder.Put()), E_UNEXPECTED);  // not initialised
    EXPECT_EQ(created->Initialize(nullptr, 0), S_OK);
    EXPECT_EQ(created->OpenFolder(inbox_, 0, folder.Put()), S_OK);

    env_.faults.FailCall("CreateInstance", 1, E_OUTOFMEMORY);
    ComPtr<IStoreNamespace> refused;
    EXPECT_EQ(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IStoreNamespace, refused.PutVoid()),
              E_OUTOFMEMORY);
    EXPECT_FALSE(refused);
  }
  CoInitialize(nullptr);
  ComPtr<IStoreNamespace> gone;
  EXPECT_EQ(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IStoreNamespace, gone.PutVoid()),
            REGDB_E_CLASSNOTREG);
  CoUninitialize();
  EXPECT_THAT(env_.log.LiveObjects("ClassFactory"), IsEmpty());
}

}  // namespace
}  // namespace vorn_fakes
