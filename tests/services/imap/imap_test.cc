// What the IMAP store adds to the contract: mailbox names, the account's
// checks and failure reasons, identifiers that survive restarts and never
// name another message, and what another client changes on the server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/failure_reason.h"
#include "platform/registry.h"
#include "platform/store_import.h"
#include "platform/runtime.h"
#include "runtime/text.h"
#include "services/imap/account.h"
#include "services/imap/imap_client.h"
#include "services/imap/mailbox_names.h"
#include "tests/services/imap/imap_fixture.h"
#include "tests/services/store/stress_support.h"

namespace imap_test {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

FILETIME UnixTime(int64_t unixSeconds) {
  return vorn_rt::FileTimeOf(vorn_rt::TicksFromUnixSeconds(unixSeconds));
}

TEST(MailboxNames, GoToAndFromModifiedUtf7) {
  const struct {
    const char* utf8;
    const char* encoded;
  } cases[] = {
      {"Inbox", "Inbox"},
      {"Entwürfe", "Entw&APw-rfe"},
      {"R&D", "R&-D"},
      {"日本語", "&ZeVnLIqe-"},
      {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {"mail \xF0\x9F\x93\xA7 box", "mail &2D3c5w- box"},  // a pair of surrogates
  };
  for (const auto& c : cases) {
    std::string encoded;
    ASSERT_TRUE(vorn_imap::EncodeMailboxName(c.utf8, &encoded)) << c.utf8;
    EXPECT_EQ(encoded, c.encoded);
    EXPECT_EQ(vorn_imap::DecodeMailboxName(c.encoded), c.utf8);
  }
  std::string ignored;
  EXPECT_FALSE(vorn_imap::EncodeMailboxName("bad \xC3", &ignored));
  // What is not valid modified UTF-7 is shown as the server sent it.
  for (const char* stray : {"&ZeVnLIqe", "&2D0-", "&AGE-x&!!-", "tab\there", "&AAAB-"}) {
    EXPECT_EQ(vorn_imap::DecodeMailboxName(stray), stray);
  }
}

using ImapTest = ImapFixture;

std::vector<FOLDERPROPS> Folders(IStoreNamespace* ns, STOREFOLDERID parent) {
  std::vector<FOLDERPROPS> seen;
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 0;
  for (HRESULT hr = ns->GetFirstSubFolder(parent, &props, &handle); hr == S_OK;
       hr = ns->GetNextSubFolder(handle, &props)) {
    seen.push_back(props);
  }
  if (handle) ns->GetSubFolderClose(handle);
  return seen;
}

TEST_F(ImapTest, ANewAccountGetsTheSpecialFoldersAndNamesTravelEncoded) {
  ComPtr<IStoreNamespace> ns = Open();
  std::vector<std::pair<std::string, int>> top;
  for (const FOLDERPROPS& f : Folders(ns.Get(), FOLDERID_ROOT)) top.emplace_back(f.szName, f.sfType);
  EXPECT_THAT(top, ElementsAre(std::make_pair("Inbox", FOLDER_INBOX),
                               std::make_pair("Outbox", FOLDER_OUTBOX),
                               std::make_pair("Sent Items", FOLDER_SENT),
                               std::make_pair("Deleted Items", FOLDER_DELETED),
                               std::make_pair("Drafts", FOLDER_DRAFT)));

  STOREFOLDERID parent = 0, child = 0;
  ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, "Entwürfe & Co", 0, &parent), S_OK);
  ASSERT_EQ(ns->CreateFolder(parent, "日本語", 0, &child), S_OK);
  EXPECT_LT(ns->CreateFolder(parent, "a/b", 0, nullptr), 0) << "a name holding the separator";
  EXPECT_LT(ns->CreateFolder(FOLDERID_ROOT, "inbox", 0, nullptr), 0);
  std::vector<vorn_imap::MailboxEntry> mailboxes;
  ASSERT_EQ(OtherClient()->List(&mailboxes), S_OK);
  std::vector<std::string> names;
  for (const auto& m : mailboxes) names.push_back(m.name);
  EXPECT_THAT(names, testing::Contains("Entw&APw-rfe &- Co/&ZeVnLIqe-"));
  EXPECT_THAT(names, Not(testing::Contains(HasSubstr("a/b"))));

  // A rename keeps the identifiers of the folder and of those below it.
  ASSERT_EQ(ns->RenameFolder(parent, 0, "Brouillons"), S_OK);
  std::vector<FOLDERPROPS> below = Folders(ns.Get(), parent);
  ASSERT_EQ(below.size(), 1u);
  EXPECT_EQ(below[0].dwFolderId, child);
  EXPECT_STREQ(below[0].szName, "日本語");
  EXPECT_EQ(ns->DeleteFolder(Folders(ns.Get(), FOLDERID_ROOT)[0].dwFolderId, 0), E_ACCESSDENIED)
      << "the Inbox stays";
}

TEST_F(ImapTest, IdentifiersSurviveARestartAndAreNeverReused) {
  STOREFOLDERID folderId = 0;
  MESSAGEID kept = 0, gone = 0;
  {
    ComPtr<IStoreNamespace> ns = Open();
    ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, "Kept", 0, &folderId), S_OK);
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);
    kept = Add(folder.Get(), "kept");
    gone = Add(folder.Get(), "gone");
  }
  // Another client recreates the mailbox: a new UIDVALIDITY, new UIDs 1, 2.
  auto other = OtherClient();
  ASSERT_EQ(other->Delete("Kept"), S_OK);
  ASSERT_EQ(other->Create("Kept"), S_OK);
  uint32_t validity = 0, uid = 0;
  ASSERT_EQ(other->Append("Kept", "Subject: new one\r\n\r\nx\r\n", false, 0, &validity, &uid),
            S_OK);

  ComPtr<IStoreNamespace> ns = Open();
  std::vector<FOLDERPROPS> top = Folders(ns.Get(), FOLDERID_ROOT);
  auto found = std::find_if(top.begin(), top.end(),
                            [](const FOLDERPROPS& f) { return std::string(f.szName) == "Kept"; });
  ASSERT_NE(found, top.end());
  EXPECT_EQ(found->dwFolderId, folderId) << "the folder's identifier follows its name";
  ComPtr<IStoreFolder> folder;
  ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);
  auto messages = Messages(folder.Get());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_GT(messages[0].first, gone) << "a message of the new UIDVALIDITY gets a new identifier";
  for (MESSAGEID old : {kept, gone}) {
    ComPtr<IStream> stream;
    EXPECT_EQ(folder->OpenMessage(old, IID_IStream, stream.PutVoid()), STG_E_FILENOTFOUND);
  }
  // And unchanged across a restart.
  MESSAGEID now = messages[0].first;
  ns = nullptr;
  folder = nullptr;
  ns = Open();
  ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);
  EXPECT_THAT(Messages(folder.Get()), ElementsAre(std::make_pair(now, DWORD{0})));
}

TEST_F(ImapTest, AnotherClientsChangesShowInTheNextListing) {
  ComPtr<IStoreNamespace> ns = Open();
  ComPtr<IStoreFolder> folder = MakeFolder(ns.Get(), "Shared");
  ASSERT_TRUE(folder);
  MESSAGEID first = Add(folder.Get(), "first");
  MESSAGEID second = Add(folder.Get(), "second");
  ASSERT_EQ(Messages(folder.Get()).size(), 2u);

  // Reading never marks a message read.
  ComPtr<IStream> stream;
  ASSERT_EQ(folder->OpenMessage(first, IID_IStream, stream.PutVoid()), S_OK);

  auto other = OtherClient();
  ASSERT_EQ(other->Select("Shared"), S_OK);
  std::vector<vorn_imap::FetchedMessage> all;
  ASSERT_EQ(other->Fetch({}, false, 0, &all), S_OK);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_FALSE(all[0].seen);
  ASSERT_EQ(other->Store({all[1].uid}, vorn_imap::ImapClient::Flag::kSeen, true), S_OK);
  uint32_t validity = 0, uid = 0;
  ASSERT_EQ(other->Append("Shared", "Subject: third\r\n\r\nx\r\n", true, 0, &validity, &uid),
            S_OK);
  auto listed = Messages(folder.Get());
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0], std::make_pair(first, DWORD{0}));
  EXPECT_EQ(listed[1], std::make_pair(second, MSGFLAG_READ));
  EXPECT_EQ(listed[2].second, MSGFLAG_READ);

  ASSERT_EQ(other->Store({all[0].uid}, vorn_imap::ImapClient::Flag::kDeleted, true), S_OK);
  ASSERT_EQ(other->Expunge({}), S_OK);
  listed = Messages(folder.Get());
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].first, second);
}

// A batch goes to the server in one pipelined run at its commit: every
// message must land under the identifier ImportMessage gave it, with its
// own bytes and flags (a tag or an APPENDUID matched to the wrong message
// would swap them).
TEST_F(ImapTest, ABatchIsAppendedPipelinedUnderItsIdentifiers) {
  ComPtr<IStoreNamespace> ns = Open();
  STOREFOLDERID folderId = 0;
  ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, "Imported", 0, &folderId), S_OK);
  ComPtr<IStoreImport> import;
  ASSERT_EQ(ns.As(&import), S_OK);
  ComPtr<IStoreFolder> folder;
  ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);

  HBATCHLOCK batch = 0;
  ASSERT_EQ(import->BeginBatch(&batch), S_OK);
  std::vector<std::string> texts;
  std::vector<MESSAGEID> ids;
  for (int i = 0; i < 40; ++i) {
    const char* eol = i % 2 ? "\n" : "\r\n";  // bare line feeds come back as they were
    texts.push_back(std::string("Subject: number ") + std::to_string(i) + eol + eol +
                    std::string(100 * i + 1, 'a' + i % 26) + eol);
    FILETIME received = UnixTime(1700000000 + i);
    MESSAGEID id = 0;
    ASSERT_EQ(import->ImportMessage(batch, folderId, reinterpret_cast<const BYTE*>(texts[i].data()),
                                    static_cast<ULONG>(texts[i].size()), &received,
                                    i % 3 ? 0 : MSGFLAG_READ, &id),
              S_OK);
    ids.push_back(id);
  }
  BYTE digest[CB_MESSAGE_DIGEST];
  STOREFOLDERID holder = 0;
  MESSAGEID held = 0;
  ASSERT_EQ(import->GetMessageDigest(reinterpret_cast<const BYTE*>(texts[7].data()),
                                     static_cast<ULONG>(texts[7].size()), digest, sizeof digest),
            S_OK);
  EXPECT_EQ(import->FindMessageByDigest(digest, sizeof digest, &holder, &held), S_OK);
  EXPECT_EQ(held, ids[7]);
  EXPECT_TRUE(Messages(folder.Get()).empty()) << "nothing is sent before the commit";
  ASSERT_EQ(import->CommitBatch(batch), S_OK);

  auto listed = Messages(folder.Get());
  ASSERT_EQ(listed.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(listed[i], std::make_pair(ids[i], i % 3 ? DWORD{0} : MSGFLAG_READ));
    ComPtr<IStream> stream;
    ASSERT_EQ(folder->OpenMessage(ids[i], IID_IStream, stream.PutVoid()), S_OK);
    std::string raw(texts[i].size() + 64, '\0');
    ULONG got = 0;
    stream->Read(raw.data(), static_cast<ULONG>(raw.size()), &got);
    raw.resize(got);
    EXPECT_EQ(raw, texts[i]);
  }
  EXPECT_EQ(import->FindMessageByDigest(digest, sizeof digest, &holder, &held), S_OK);
  EXPECT_EQ(held, ids[7]);

  // An aborted batch sends nothing.
  ASSERT_EQ(import->BeginBatch(&batch), S_OK);
  ASSERT_EQ(import->ImportMessage(batch, folderId, reinterpret_cast<const BYTE*>("Subject: x\r\n"),
                                  12, nullptr, 0, nullptr),
            S_OK);
  ASSERT_EQ(import->AbortBatch(batch), S_OK);
  EXPECT_EQ(Messages(folder.Get()).size(), texts.size());
}

TEST_F(ImapTest, ACopyIntoItsOwnFolderIsANewMessage) {
  ComPtr<IStoreNamespace> ns = Open();
  ComPtr<IStoreFolder> folder = MakeFolder(ns.Get(), "Twice");
  ASSERT_TRUE(folder);
  MESSAGEID id = Add(folder.Get(), "twice");
  MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &id};
  ASSERT_EQ(ns->CopyMoveMessages(folder.Get(), folder.Get(), &list, 0, 0, nullptr), S_OK);
  EXPECT_EQ(Messages(folder.Get()).size(), 2u);
  ASSERT_EQ(ns->CopyMoveMessages(folder.Get(), folder.Get(), &list, CMF_MOVE, 0, nullptr), S_OK);
  EXPECT_EQ(Messages(folder.Get()).size(), 2u);
}

TEST_F(ImapTest, AccountProblemsAreRefusedWithTheirReason) {
  const std::string passwordFile = root_.path() + "/imap-password";
  const struct {
    const char* what;
    std::function<void()> change;
    HRESULT status;
    const char* reason;
  } cases[] = {
      {"starttls to a server without it", [] { SetValue("Security", "starttls"); },
       E_ACCESSDENIED, "does not offer STARTTLS"},
      {"clear text to another host", [] { SetValue("Server", "192.0.2.7"); }, E_INVALIDARG,
       "loopback"},
      {"a password file others may read", [&] { chmod(passwordFile.c_str(), 0644); },
       E_ACCESSDENIED, "may be read by others"},
      {"no password file", [&] { SetValue("PasswordFile", passwordFile + ".missing"); },
       STG_E_FILENOTFOUND, "cannot be read"},
      {"a bad port", [] { SetValue("Port", "70000"); }, E_INVALIDARG, "Port"},
      {"no user", [] { SetValue("User", ""); }, REGDB_E_KEYMISSING, "User"},
      {"a wrong password",
       [&] { std::ofstream(passwordFile) << "not-the-password\n"; }, E_ACCESSDENIED,
       "refused the login"},
      {"no server listening", [] { SetValue("Port", "1"); }, vorn_imap::IMAP_E_UNREACHABLE,
       "cannot be reached"},
      // Last: WriteAccount leaves a Timeout as it was.
      {"a timeout of no time", [] { SetValue("Timeout", "0"); }, E_INVALIDARG, "Timeout"},
      {"a timeout that is not a number", [] { SetValue("Timeout", "30s"); }, E_INVALIDARG,
       "Timeout"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Server().WriteAccount(user_);
    c.change();
    Open(c.status);
    EXPECT_THAT(Reason(), HasSubstr(c.reason));
    EXPECT_THAT(Reason(), Not(HasSubstr(vorn_test::kDovecotPassword)));
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, vorn_imap::kAccountKey);
  Open(REGDB_E_KEYMISSING);
  EXPECT_THAT(Reason(), HasSubstr("no account"));
}

// A folder of more messages than one fetch run and one listing page: the
// first listing (runs fetched on one thread, parsed on two) and a later one
// (read from the cache a page at a time) each list every message once, in
// the server's order, with its own fields.
TEST_F(ImapTest, AFolderLargerThanAPageListsEveryMessageOnceInOrder) {
  ComPtr<IStoreNamespace> ns = Open();
  STOREFOLDERID folderId = 0;
  ASSERT_TRUE(MakeFolder(ns.Get(), "Large", &folderId));
  std::mt19937_64 random(1100);
  std::printf("seed 1100\n");
  std::vector<std::string> texts, subjects;
  for (int i = 0; i < 1100; ++i) {
    subjects.push_back("large " + std::to_string(i));
    texts.push_back(store_stress::MakeStressMessage(subjects.back(), 300 + random() % 3000,
                                                    random));
  }
  std::vector<vorn_imap::ImapClient::Appended> sending;
  for (const std::string& text : texts) sending.push_back({&text, false, 0});
  std::vector<HRESULT> results;
  std::vector<uint32_t> uids;
  uint32_t validity = 0;
  ASSERT_EQ(OtherClient()->AppendPipelined("Large", sending, &results, &uids, &validity), S_OK);

  std::vector<MESSAGEID> first;
  for (ComPtr<IStoreNamespace> store : {ns, Open()}) {
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(store->OpenFolder(folderId, 0, folder.Put()), S_OK);
    std::vector<store_stress::MessageRow> rows;
    ASSERT_EQ(store_stress::ListMessages(folder.Get(), &rows), S_OK);
    ASSERT_EQ(rows.size(), subjects.size());
    std::vector<MESSAGEID> ids;
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].subject, subjects[i]) << i;
      EXPECT_EQ(rows[i].size, texts[i].size()) << i;
      if (i > 0) {
        EXPECT_LT(rows[i - 1].id, rows[i].id) << i;
      }
      ids.push_back(rows[i].id);
    }
    if (first.empty()) first = ids;
    EXPECT_EQ(ids, first) << "the second listing names the same messages";
  }
}

// A message the server refuses keeps none of the others of its batch out
// (with MULTIAPPEND the server refuses the whole command, and each message
// goes again on its own).
TEST_F(ImapTest, ARefusedMessageKeepsNoneOfItsBatchOut) {
  ComPtr<IStoreNamespace> ns = Open();
  STOREFOLDERID folderId = 0;
  ComPtr<IStoreFolder> folder = MakeFolder(ns.Get(), "Batch", &folderId);
  ASSERT_TRUE(folder);
  ComPtr<IStoreImport> import;
  ASSERT_EQ(ns.As(&import), S_OK);
  HBATCHLOCK batch = 0;
  ASSERT_EQ(import->BeginBatch(&batch), S_OK);
  std::vector<std::string> texts;
  std::vector<MESSAGEID> ids;
  for (int i = 0; i < 6; ++i) {
    // The server refuses to store an empty message.
    texts.push_back(i == 2 ? "" : "Subject: kept " + std::to_string(i) + "\r\n\r\nbody\r\n");
    MESSAGEID id = 0;
    ASSERT_EQ(import->ImportMessage(batch, folderId, reinterpret_cast<const BYTE*>(texts[i].data()),
                                    static_cast<ULONG>(texts[i].size()), nullptr, 0, &id),
              S_OK);
    if (i != 2) ids.push_back(id);
  }
  VornSetFailureReason(nullptr);
  EXPECT_LT(import->CommitBatch(batch), 0);
  EXPECT_THAT(Reason(), HasSubstr("refused APPEND"));
  std::vector<MESSAGEID> listed;
  for (const auto& [id, flags] : Messages(folder.Get())) listed.push_back(id);
  EXPECT_EQ(listed, ids);
  EXPECT_THAT(SubjectsOnServer("Batch"),
              ElementsAre("kept 0", "kept 1", "kept 3", "kept 4", "kept 5"));
}

#ifdef VORN_IMAP_PLAIN
// Without UIDPLUS an EXPUNGE removes every message marked deleted: a remove
// is refused while another client has marked one, and changes nothing.
TEST_F(ImapTest, WithoutUidPlusARemoveThatWouldExpungeOthersIsRefused) {
  ComPtr<IStoreNamespace> ns = Open();
  ComPtr<IStoreFolder> folder = MakeFolder(ns.Get(), "Careful");
  ASSERT_TRUE(folder);
  MESSAGEID mine = Add(folder.Get(), "mine");
  Add(folder.Get(), "theirs");
  auto other = OtherClient();
  ASSERT_EQ(other->Select("Careful"), S_OK);
  std::vector<vorn_imap::FetchedMessage> all;
  ASSERT_EQ(other->Fetch({}, false, 0, &all), S_OK);
  ASSERT_EQ(all.size(), 2u);
  ASSERT_EQ(other->Store({all[1].uid}, vorn_imap::ImapClient::Flag::kDeleted, true), S_OK);

  MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &mine};
  VornSetFailureReason(nullptr);
  EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr), E_ACCESSDENIED);
  EXPECT_THAT(Reason(), HasSubstr("UIDPLUS"));
  EXPECT_EQ(Messages(folder.Get()).size(), 2u);
  ASSERT_EQ(other->Fetch({}, false, 0, &all), S_OK);
  EXPECT_EQ(all.size(), 2u);
  EXPECT_FALSE(all[0].deleted) << "the refused message was not marked";
}
#endif

}  // namespace
}  // namespace imap_test
