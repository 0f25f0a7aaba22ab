// The store server's import extension: batches, given received times and
// flags, and finding messages by content digest.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/services/store/store_fixture.h"

namespace store_test {
namespace {

class ImportTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(S_OK, store_.As(&import_));
  }
  void TearDown() override {
    import_ = nullptr;
    StoreTest::TearDown();
  }

  HRESULT Import(HBATCHLOCK batch, STOREFOLDERID folder, const std::string& text,
                 MESSAGEID* id = nullptr, const FILETIME* received = nullptr, DWORD flags = 0) {
    return import_->ImportMessage(batch, folder, reinterpret_cast<const BYTE*>(text.data()),
                                  static_cast<ULONG>(text.size()), received, flags, id);
  }

  std::vector<BYTE> DigestOf(const std::string& text) {
    std::vector<BYTE> digest(CB_MESSAGE_DIGEST);
    EXPECT_EQ(S_OK, import_->GetMessageDigest(reinterpret_cast<const BYTE*>(text.data()),
                                              static_cast<ULONG>(text.size()), digest.data(),
                                              CB_MESSAGE_DIGEST));
    return digest;
  }

  ComPtr<IStoreImport> import_;
};

TEST_F(ImportTest, ABatchBecomesVisibleAndDurableAtCommitOnly) {
  ComPtr<IStoreNamespace> other = OpenAnotherNamespace();
  ComPtr<IStoreFolder> seenByOther = Open(other.Get(), Inbox());
  HBATCHLOCK batch = 0;
  ASSERT_EQ(S_OK, import_->BeginBatch(&batch));
  EXPECT_NE(0u, batch);
  FILETIME received{0x12345678, 0x01D00000};
  MESSAGEID first = 0;
  MESSAGEID second = 0;
  ASSERT_EQ(S_OK, Import(batch, Inbox(), MakeMessage("one"), &first, &received, MSGFLAG_READ));
  ASSERT_EQ(S_OK, Import(batch, Inbox(), MakeMessage("two"), &second));
  EXPECT_LT(first, second);
  EXPECT_TRUE(MessageIds(seenByOther.Get()).empty()) << "another connection sees no half batch";
  ASSERT_EQ(S_OK, import_->CommitBatch(batch));

  std::vector<MessageRow> rows = Messages(seenByOther.Get());
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(first, rows[0].id);
  EXPECT_EQ((uint64_t{0x01D00000} << 32) | 0x12345678, rows[0].received);
  EXPECT_EQ(MSGFLAG_READ, rows[0].flags);
  EXPECT_EQ("one", rows[0].subject);
  EXPECT_EQ(0u, rows[1].flags);
  EXPECT_NE(0u, rows[1].received);
  EXPECT_EQ(MakeMessage("two"), RawText(seenByOther.Get(), second));
  EXPECT_EQ(E_HANDLE, import_->CommitBatch(batch)) << "the batch is closed";
}

TEST_F(ImportTest, AnAbortedBatchStoresNothingAndItsIdentifiersStayUnused) {
  const std::string before = Snapshot();
  HBATCHLOCK batch = 0;
  ASSERT_EQ(S_OK, import_->BeginBatch(&batch));
  MESSAGEID dropped = 0;
  ASSERT_EQ(S_OK, Import(batch, Inbox(), MakeMessage("dropped"), &dropped));
  STOREFOLDERID folder = 0;
  ASSERT_EQ(S_OK, store_->CreateFolder(FOLDERID_ROOT, "Dropped too", 0, &folder));
  ASSERT_EQ(S_OK, import_->AbortBatch(batch));
  EXPECT_EQ(before, Snapshot());
  MESSAGEID next = 0;
  ASSERT_EQ(S_OK, Import(0, Inbox(), MakeMessage("kept"), &next));
  EXPECT_GT(next, dropped);
  EXPECT_GT(MakeFolder(FOLDERID_ROOT, "Dropped too"), folder);
}

TEST_F(ImportTest, AFailingChangeInsideABatchLeavesTheRestOfIt) {
  HBATCHLOCK batch = 0;
  ASSERT_EQ(S_OK, import_->BeginBatch(&batch));
  ASSERT_EQ(S_OK, Import(batch, Inbox(), MakeMessage("good 1")));
  EXPECT_EQ(STG_E_FILENOTFOUND, Import(batch, 987654, MakeMessage("nowhere")));
  EXPECT_EQ(STORE_E_ALREADYEXISTS, store_->CreateFolder(FOLDERID_ROOT, "inbox", 0, nullptr));
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  IdList unknown({555555});
  EXPECT_EQ(STG_E_FILENOTFOUND, inbox->DeleteMessages(unknown.get(), 0, nullptr));
  ASSERT_EQ(S_OK, Import(batch, Inbox(), MakeMessage("good 2")));
  ASSERT_EQ(S_OK, import_->CommitBatch(batch));
  std::vector<MessageRow> rows = Messages(inbox.Get());
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ("good 1", rows[0].subject);
  EXPECT_EQ("good 2", rows[1].subject);
}

TEST_F(ImportTest, BatchHandles) {
  HBATCHLOCK batch = 0;
  ASSERT_EQ(S_OK, import_->BeginBatch(&batch));
  HBATCHLOCK second = 0;
  EXPECT_EQ(E_UNEXPECTED, import_->BeginBatch(&second));
  EXPECT_EQ(0u, second);
  EXPECT_EQ(E_HANDLE, import_->CommitBatch(batch + 1));
  EXPECT_EQ(E_HANDLE, import_->AbortBatch(0));
  EXPECT_EQ(E_HANDLE, Import(batch + 1, Inbox(), MakeMessage("x")));
  EXPECT_EQ(E_POINTER, import_->BeginBatch(nullptr));
  // Streams take part in the batch too.
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  ComPtr<IStream> stream;
  MESSAGEID id = 0;
  ASSERT_EQ(S_OK, inbox->CreateStream(batch, 0, stream.Put(), &id));
  ASSERT_EQ(S_OK, stream->Write("Subject: s\r\n\r\n", 14, nullptr));
  ASSERT_EQ(S_OK, inbox->CommitStream(batch, 0, 0, stream.Get(), id, nullptr));
  ASSERT_EQ(S_OK, import_->CommitBatch(batch));
  EXPECT_EQ((std::vector<MESSAGEID>{id}), MessageIds(inbox.Get()));
  // Another batch may follow.
  ASSERT_EQ(S_OK, import_->BeginBatch(&second));
  EXPECT_NE(batch, second);
  ASSERT_EQ(S_OK, import_->AbortBatch(second));
}

TEST_F(ImportTest, AStreamReservedInAnAbortedBatchCannotBeCommitted) {
  HBATCHLOCK batch = 0;
  ASSERT_EQ(S_OK, import_->BeginBatch(&batch));
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  ComPtr<IStream> stream;
  MESSAGEID id = 0;
  ASSERT_EQ(S_OK, inbox->CreateStream(batch, 0, stream.Put(), &id));
  ASSERT_EQ(S_OK, stream->Write("Subject: s\r\n\r\n", 14, nullptr));
  ASSERT_EQ(S_OK, import_->AbortBatch(batch));
  EXPECT_EQ(STG_E_REVERTED, inbox->CommitStream(0, 0, 0, stream.Get(), id, nullptr));
  EXPECT_TRUE(MessageIds(inbox.Get()).empty());
  EXPECT_GT(Commit(inbox.Get(), MakeMessage("later")), id);
}

TEST_F(ImportTest, FindMessageByDigest) {
  std::string text = MakeMessage("digest");
  std::vector<BYTE> digest = DigestOf(text);
  STOREFOLDERID folder = 1;
  MESSAGEID id = 1;
  EXPECT_EQ(S_FALSE, import_->FindMessageByDigest(digest.data(), CB_MESSAGE_DIGEST, &folder, &id));
  EXPECT_EQ(FOLDERID_INVALID, folder);
  EXPECT_EQ(MESSAGEID_INVALID, id);

  STOREFOLDERID archive = MakeFolder(FOLDERID_ROOT, "Archive");
  HBATCHLOCK batch = 0;
  ASSERT_EQ(S_OK, import_->BeginBatch(&batch));
  MESSAGEID first = 0;
  ASSERT_EQ(S_OK, Import(batch, archive, text, &first));
  // Found inside the batch already, so that a source holding a message twice
  // stores it once.
  ASSERT_EQ(S_OK, import_->FindMessageByDigest(digest.data(), CB_MESSAGE_DIGEST, &folder, &id));
  EXPECT_EQ(archive, folder);
  EXPECT_EQ(first, id);
  ASSERT_EQ(S_OK, import_->CommitBatch(batch));
  ASSERT_EQ(S_OK, Import(0, Inbox(), text));
  ASSERT_EQ(S_OK, import_->FindMessageByDigest(digest.data(), CB_MESSAGE_DIGEST, &folder, &id));
  EXPECT_EQ(first, id) << "the lowest identifier wins";

  // Messages stored through streams have digests as well.
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  std::string other = MakeMessage("streamed");
  MESSAGEID streamed = Commit(inbox.Get(), other);
  std::vector<BYTE> otherDigest = DigestOf(other);
  ASSERT_EQ(S_OK,
            import_->FindMessageByDigest(otherDigest.data(), CB_MESSAGE_DIGEST, &folder, &id));
  EXPECT_EQ(streamed, id);
  EXPECT_EQ(Inbox(), folder);

  // Deleted messages are not found any more.
  IdList doomed({streamed});
  ASSERT_EQ(S_OK, inbox->DeleteMessages(doomed.get(), 0, nullptr));
  EXPECT_EQ(S_FALSE,
            import_->FindMessageByDigest(otherDigest.data(), CB_MESSAGE_DIGEST, &folder, &id));

  EXPECT_EQ(E_INVALIDARG, import_->FindMessageByDigest(digest.data(), 20, &folder, &id));
  EXPECT_EQ(E_POINTER, import_->FindMessageByDigest(nullptr, CB_MESSAGE_DIGEST, &folder, &id));
  EXPECT_EQ(E_POINTER, import_->FindMessageByDigest(digest.data(), CB_MESSAGE_DIGEST, nullptr, &id));
  BYTE small[CB_MESSAGE_DIGEST];
  EXPECT_EQ(E_INVALIDARG, import_->GetMessageDigest(nullptr, 0, small, 16));
  EXPECT_EQ(E_POINTER, import_->GetMessageDigest(nullptr, 5, small, CB_MESSAGE_DIGEST));
}

TEST_F(ImportTest, BadImportsChangeNothing) {
  const std::string before = Snapshot();
  FILETIME tooLate{0, 0x80000000u};
  EXPECT_EQ(STG_E_FILENOTFOUND, Import(0, 987654, MakeMessage("x")));
  EXPECT_EQ(STG_E_FILENOTFOUND, Import(0, FOLDERID_ROOT, MakeMessage("x")));
  EXPECT_EQ(E_INVALIDARG, Import(0, Inbox(), MakeMessage("x"), nullptr, &tooLate));
  EXPECT_EQ(E_POINTER, import_->ImportMessage(0, Inbox(), nullptr, 10, nullptr, 0, nullptr));
  EXPECT_EQ(before, Snapshot());
}

}  // namespace
}  // namespace store_test
