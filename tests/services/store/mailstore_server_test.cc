// CMailStore's session, folder and message catalogues, message operations
// and message reader against the real store server and MIME library, both
// registered into the test's root and found through the registry, as the
// control finds them. (What needs a fault stays with the fakes.)

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/loader.h"
#include "platform/runtime.h"
#include "platform/systime.h"
#include "store/mailstore.h"
#include "tests/services/store/store_fixture.h"

namespace store_test {
namespace {

// Sends what the process writes to its standard output to a file while it
// lives, so that GetMessageContent's copy can be checked.
class CapturedStdout {
 public:
  CapturedStdout() : file_(std::tmpfile()) {
    std::fflush(stdout);
    saved_ = dup(1);
    dup2(fileno(file_), 1);
  }
  ~CapturedStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::fclose(file_);
  }
  std::string Text() {
    std::fflush(stdout);
    std::string text;
    std::rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file_)) > 0) text.append(buffer, n);
    return text;
  }

 private:
  std::FILE* file_;
  int saved_ = -1;
};

class MailStoreOnServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ASSERT_EQ(S_OK, RegisterLibrary(StoreLibraryPath()));
    ASSERT_EQ(S_OK, RegisterLibrary(MimeLibraryPath()));
    mail_ = std::make_unique<CMailStore>();
    ASSERT_EQ(1, mail_->OpenSession());
    ASSERT_EQ(1, mail_->RebuildFolderList());
    inbox_ = mail_->GetFolderId(0);
  }

  void TearDown() override {
    mail_.reset();
    // The session gave back every object the server handed out.
    HMODULE server = LoadLibraryA(StoreLibraryPath().c_str());
    auto canUnload =
        reinterpret_cast<LPFNCANUNLOADNOW>(GetProcAddress(server, "DllCanUnloadNow"));
    ASSERT_NE(nullptr, canUnload);
    EXPECT_EQ(S_OK, canUnload());
    FreeLibrary(server);
    CoUninitialize();
  }

  // Stores `raw` in `folder` through a namespace of the test's own.
  MESSAGEID Store(int32_t folder, const std::string& raw) {
    ComPtr<IStoreNamespace> store;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IStoreNamespace, store.PutVoid()));
    EXPECT_EQ(S_OK, store->Initialize(nullptr, 0));
    ComPtr<IStoreFolder> open;
    EXPECT_EQ(S_OK, store->OpenFolder(static_cast<STOREFOLDERID>(folder), 0, open.Put()));
    ComPtr<IStream> stream;
    MESSAGEID id = 0;
    EXPECT_EQ(S_OK, open->CreateStream(0, 0, stream.Put(), &id));
    EXPECT_EQ(S_OK, stream->Write(raw.data(), static_cast<ULONG>(raw.size()), nullptr));
    EXPECT_EQ(S_OK, open->CommitStream(0, 0, 0, stream.Get(), id, nullptr));
    return id;
  }

  std::vector<std::string> Tree() {
    std::vector<std::string> tree;
    for (int i = 0; i < mail_->GetFolderCount(); ++i) {
      tree.push_back(mail_->GetFolderName(i) + "/" + std::to_string(mail_->GetFolderHierarchy(i)));
    }
    return tree;
  }

  int32_t FolderIndex(const std::string& name) {
    for (int i = 0; i < mail_->GetFolderCount(); ++i) {
      if (mail_->GetFolderName(i) == name) return i;
    }
    return -1;
  }

  std::vector<std::string> Subjects() {
    std::vector<std::string> subjects;
    for (int i = 0; i < mail_->GetMessageCount(); ++i) {
      subjects.push_back(mail_->GetMessageSubject(i));
    }
    return subjects;
  }

  vorn_test::TempRoot root_;
  std::unique_ptr<CMailStore> mail_;
  int32_t inbox_ = -1;
};

TEST_F(MailStoreOnServer, FolderCatalogueOfANewStoreAndItsChanges) {
  EXPECT_EQ((std::vector<std::string>{"Inbox/0", "Outbox/0", "Sent Items/0", "Deleted Items/0",
                                      "Drafts/0"}),
            Tree());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(i + 1, mail_->GetFolderType(i));

  ASSERT_EQ(1, mail_->CreateFolder(0, "Projects"));
  int32_t projects = mail_->GetFolderId(FolderIndex("Projects"));
  ASSERT_EQ(1, mail_->CreateFolder(projects, "2026"));
  ASSERT_EQ(1, mail_->CreateFolder(inbox_, "Lists"));
  EXPECT_EQ((std::vector<std::string>{"Inbox/0", "Lists/1", "Outbox/0", "Sent Items/0",
                                      "Deleted Items/0", "Drafts/0", "Projects/0", "2026/1"}),
            Tree());
  EXPECT_EQ(-1, mail_->GetFolderType(FolderIndex("Projects")));
  EXPECT_EQ(1, mail_->GetFolderSubFolderCount(FolderIndex("Projects")));

  const std::vector<std::string> before = Tree();
  EXPECT_EQ(0, mail_->CreateFolder(0, ""));
  EXPECT_EQ(0, mail_->CreateFolder(0, "INBOX"));
  EXPECT_EQ(0, mail_->RenameFolder(projects, ""));
  EXPECT_EQ(0, mail_->RenameFolder(inbox_, "Post"));
  EXPECT_EQ(0, mail_->RemoveFolder(projects));  // it has a subfolder
  EXPECT_EQ(0, mail_->RemoveFolder(inbox_));
  EXPECT_EQ(before, Tree());

  ASSERT_EQ(1, mail_->RenameFolder(projects, "Archive"));
  ASSERT_EQ(1, mail_->RemoveFolder(mail_->GetFolderId(FolderIndex("2026"))));
  EXPECT_EQ((std::vector<std::string>{"Inbox/0", "Lists/1", "Outbox/0", "Sent Items/0",
                                      "Deleted Items/0", "Drafts/0", "Archive/0"}),
            Tree());
}

TEST_F(MailStoreOnServer, MessagesCreatedByTheSessionListWithTheirFields) {
  ASSERT_EQ(1, mail_->CreateMessage(inbox_, "Ann <ann@example.org>", "bob@example.org",
                                    "Re: Hello", "Body text"));
  ASSERT_EQ(1, mail_->GetMessageCount());
  EXPECT_EQ("Re: Hello", mail_->GetMessageSubject(0));
  EXPECT_EQ("Hello", mail_->GetMessageNormalSubject(0));
  EXPECT_EQ("Ann", mail_->GetMessageDisplayFrom(0));
  EXPECT_EQ("bob@example.org", mail_->GetMessageDisplayTo(0));
  EXPECT_EQ("1601-1-1 0:0:0", mail_->GetMessageSentTime(0)) << "the text has no Date field";
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  SYSTEMTIME today{};
  ASSERT_TRUE(FileTimeToSystemTime(&now, &today));
  std::string received = mail_->GetMessageReceivedTime(0);
  EXPECT_TRUE(std::regex_match(received, std::regex("\\d+-\\d+-\\d+ \\d+:\\d+:\\d+"))) << received;
  EXPECT_EQ(std::to_string(today.wYear) + "-", received.substr(0, 5));

  int32_t id = mail_->GetMessageId(0);
  std::string content, echoed;
  {
    CapturedStdout out;
    content = mail_->GetMessageContent(id);
    echoed = out.Text();
  }
  const std::string raw = "From: Ann <ann@example.org>\r\nTo:bob@example.org\r\nSubject:Re: Hello"
                          "\r\n\r\nBody text";
  EXPECT_EQ(raw, content);
  EXPECT_EQ(raw + "\n\n", echoed) << "copied to the output";

  ASSERT_EQ(1, mail_->RebuildFolderList());
  EXPECT_EQ(1, mail_->GetFolderMessageCount(0));
  EXPECT_EQ(1, mail_->GetFolderUnreads(0));
}

TEST_F(MailStoreOnServer, CopyMoveRemoveAndMark) {
  ASSERT_EQ(1, mail_->CreateFolder(0, "Archive"));
  int32_t archive = mail_->GetFolderId(FolderIndex("Archive"));
  for (const char* subject : {"one", "two", "three"}) {
    ASSERT_EQ(1, mail_->CreateMessage(inbox_, "a@example.org", "b@example.org", subject, "x"));
  }
  int32_t one = mail_->GetMessageId(0);
  int32_t two = mail_->GetMessageId(1);
  int32_t three = mail_->GetMessageId(2);

  ASSERT_EQ(1, mail_->MarkMessage(two, TRUE));
  ASSERT_EQ(1, mail_->CopyMoveMessage(two, archive, FALSE));
  ASSERT_EQ(1, mail_->CopyMoveMessage(three, archive, TRUE));
  ASSERT_EQ(1, mail_->CopyMoveMessage(one, -1, TRUE)) << "to folder -1: nothing happens";
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), Subjects());
  ASSERT_EQ(1, mail_->RemoveMessage(one));
  EXPECT_EQ((std::vector<std::string>{"two"}), Subjects());
  EXPECT_EQ(0, mail_->RemoveMessage(one)) << "gone already";
  EXPECT_EQ(0, mail_->MarkMessage(three, TRUE)) << "not in the current folder";

  ASSERT_EQ(1, mail_->RebuildFolderList());
  int32_t archiveIndex = FolderIndex("Archive");
  EXPECT_EQ(2, mail_->GetFolderMessageCount(archiveIndex));
  EXPECT_EQ(1, mail_->GetFolderUnreads(archiveIndex)) << "the copy kept the read flag";
  EXPECT_EQ(1, mail_->GetFolderMessageCount(0));
  EXPECT_EQ(0, mail_->GetFolderUnreads(0));

  ASSERT_EQ(1, mail_->SetFolder(archive));
  EXPECT_EQ((std::vector<std::string>{"three", "two"}), Subjects()) << "the moved message keeps "
                                                                       "its older identifier";
  EXPECT_EQ(three, mail_->GetMessageId(0));
  EXPECT_NE(two, mail_->GetMessageId(1));
}

TEST_F(MailStoreOnServer, MessageReaderReadsBodyAndAttachmentNames) {
  const std::string raw =
      "From: a@example.org\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nHello there\r\n"
      "--b\r\nContent-Type: application/pdf\r\n"
      "Content-Disposition: attachment; filename=\"report.pdf\"\r\n\r\n%PDF\r\n"
      "--b\r\nContent-Type: image/jpeg\r\n"
      "Content-Disposition: attachment; filename=\"=?utf-8?q?Ferien_=C3=BC.jpg?=\"\r\n\r\nJPEG\r\n"
      "--b--\r\n";
  MESSAGEID files = Store(inbox_, raw);
  MESSAGEID plain = Store(inbox_, "Subject: plain\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                  "\r\nGr\xC3\xBC\xC3\x9F" "e\r\n");
  ASSERT_EQ(1, mail_->SetFolder(inbox_));
  ASSERT_EQ(1, mail_->SetMessage(static_cast<int32_t>(plain)));
  EXPECT_EQ(0, mail_->GetAttachmentCount());
  EXPECT_EQ("Gr\xC3\xBC\xC3\x9F" "e", mail_->GetBody().substr(0, 7));
  ASSERT_EQ(1, mail_->SetMessage(static_cast<int32_t>(files)));
  EXPECT_EQ(2, mail_->GetAttachmentCount());
  EXPECT_EQ("report.pdf", mail_->GetAttachmentName(0));
  EXPECT_EQ("Ferien \xC3\xBC.jpg", mail_->GetAttachmentName(1));

  // A message the folder does not hold changes nothing.
  const std::string body = mail_->GetBody();
  EXPECT_EQ(0, mail_->SetMessage(static_cast<int32_t>(files) + 1000));
  EXPECT_EQ(body, mail_->GetBody());
  EXPECT_EQ(2, mail_->GetAttachmentCount());
}


TEST_F(MailStoreOnServer, TimesAreTheCalendarInstantOfTheDateField) {
  struct Case {
    const char* date;
    const char* text;
  } cases[] = {
      {"Mon, 3 Jan 2005 09:05:03 +0000", "2005-1-3 9:5:3"},
      {"Sun, 28 Oct 2007 17:40:00 GMT", "2007-10-28 17:40:0"},
      {"Sun, 28 Oct 2007 19:40:00 +0200", "2007-10-28 17:40:0"},
      {"no date at all", "1601-1-1 0:0:0"},
  };
  for (const Case& c : cases) {
    Store(inbox_, std::string("Subject: t\r\nDate: ") + c.date + "\r\n\r\nx\r\n");
  }
  setenv("TZ", "Asia/Tokyo", 1);
  ASSERT_EQ(1, mail_->SetFolder(inbox_));
  ASSERT_EQ(static_cast<int>(std::size(cases)), mail_->GetMessageCount());
  for (int i = 0; i < mail_->GetMessageCount(); ++i) {
    EXPECT_EQ(cases[i].text, mail_->GetMessageSentTime(i)) << cases[i].date;
  }
  unsetenv("TZ");
  EXPECT_EQ("", mail_->GetMessageSentTime(-1));
  EXPECT_EQ("", mail_->GetMessageSubject(mail_->GetMessageCount()));
  EXPECT_EQ(-1, mail_->GetMessageId(mail_->GetMessageCount()));
}

TEST_F(MailStoreOnServer, CreateMessageStoresTheTextByteForByte) {
  ASSERT_EQ(1, mail_->CreateMessage(inbox_, "a", "b", "c", "d"));
  ASSERT_EQ(1, mail_->CreateMessage(inbox_, "a", "b", "", ""));
  const std::string text(250 - 28, 'z');  // after a header of 28 bytes
  ASSERT_EQ(1, mail_->CreateMessage(inbox_, "f", "t", "s", text));
  ASSERT_EQ(3, mail_->GetMessageCount());
  std::string first, second, whole, echoed;
  {
    CapturedStdout out;  // (gtest's own messages go to the output too)
    first = mail_->GetMessageContent(mail_->GetMessageId(0));
    second = mail_->GetMessageContent(mail_->GetMessageId(1));
    echoed = out.Text();
    whole = mail_->GetMessageContent(mail_->GetMessageId(2));
    echoed = out.Text().substr(echoed.size());
  }
  EXPECT_EQ("From: a\r\nTo:b\r\nSubject:c\r\n\r\nd", first);
  EXPECT_EQ("From: a\r\nTo:b\r\nSubject:\r\n\r\n", second);
  EXPECT_EQ(250u, whole.size());
  // Echoed in reads of 99, 99, 52 and 0 bytes, each with a line end.
  EXPECT_EQ(whole.substr(0, 99) + "\n" + whole.substr(99, 99) + "\n" + whole.substr(198) + "\n\n",
            echoed);

  // Refused before the store is asked: nothing changes.
  EXPECT_EQ(0, mail_->CreateMessage(inbox_, "", "b", "c", "d"));
  EXPECT_EQ(0, mail_->CreateMessage(inbox_, "a", "", "c", "d"));
  EXPECT_EQ(3, mail_->GetMessageCount());
}

TEST_F(MailStoreOnServer, AFolderRemovedWhileCurrentRefusesEveryMessageOperation) {
  ASSERT_EQ(1, mail_->CreateFolder(0, "Doomed"));
  int32_t doomed = mail_->GetFolderId(FolderIndex("Doomed"));
  ASSERT_EQ(1, mail_->CreateMessage(doomed, "a@example.org", "b@example.org", "s", "x"));
  int32_t id = mail_->GetMessageId(0);
  ASSERT_EQ(1, mail_->RemoveFolder(doomed));
  // The folder list is rebuilt; the current folder and its list are not.
  EXPECT_EQ(-1, FolderIndex("Doomed"));
  EXPECT_EQ(1, mail_->GetMessageCount());
  EXPECT_EQ(0, mail_->MarkMessage(id, TRUE));
  EXPECT_EQ(0, mail_->RemoveMessage(id));
  EXPECT_EQ(0, mail_->CopyMoveMessage(id, inbox_, FALSE));
  EXPECT_EQ(0, mail_->SetMessage(id));
  std::string content = "unset";
  std::string echoed;
  {
    CapturedStdout out;
    content = mail_->GetMessageContent(id);
    echoed = out.Text();
  }
  EXPECT_EQ("", content);
  EXPECT_EQ("", echoed);
  EXPECT_EQ(0, mail_->RebuildMessageList());
  EXPECT_EQ(0, mail_->GetMessageCount());
  EXPECT_EQ(0, mail_->SetFolder(doomed));
  ASSERT_EQ(1, mail_->SetFolder(inbox_));
  EXPECT_EQ(0, mail_->GetMessageCount()) << "nothing reached another folder";
}

TEST_F(MailStoreOnServer, ASecondSessionAndAFailedSetFolder) {
  ASSERT_EQ(1, mail_->CreateMessage(inbox_, "a@example.org", "b@example.org", "kept", "x"));
  EXPECT_EQ(0, mail_->SetFolder(424242));
  EXPECT_EQ((std::vector<std::string>{"kept"}), Subjects()) << "the list stays";
  EXPECT_EQ(0, mail_->RemoveMessage(mail_->GetMessageId(0))) << "no folder is current";
  ASSERT_EQ(1, mail_->OpenSession());
  ASSERT_EQ(1, mail_->RebuildFolderList());
  ASSERT_EQ(1, mail_->SetFolder(inbox_));
  ASSERT_EQ(1, mail_->SetFolder(inbox_));
  EXPECT_EQ((std::vector<std::string>{"kept"}), Subjects());
}

}  // namespace
}  // namespace store_test
