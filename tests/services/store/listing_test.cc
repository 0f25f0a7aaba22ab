// Listing a folder larger than one chunk of the store's enumeration: every
// message once, in identifier order, with its own texts, also when the
// folder changes while the enumeration is open.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/services/store/stress_fixture.h"

namespace store_stress {
namespace {

class StoreListingTest : public StressTest {
 protected:
  void SetUp() override {
    StressTest::SetUp();
    ComPtr<IStoreImport> import;
    ASSERT_EQ(S_OK, store_.As(&import));
    ASSERT_EQ(S_OK, store_->CreateFolder(FOLDERID_ROOT, "Many", 0, &folderId_));
    ASSERT_EQ(S_OK, store_->OpenFolder(folderId_, 0, folder_.Put()));
    // Messages of another folder in between, so that the folder's
    // identifiers are not one run.
    const STOREFOLDERID inbox = FindFolder(store_.Get(), FOLDERID_ROOT, "Inbox");
    std::mt19937_64 random(3);
    HBATCHLOCK batch = 0;
    ASSERT_EQ(S_OK, import->BeginBatch(&batch));
    for (int i = 0; i < kMessages; ++i) {
      const bool here = i % 5 != 0;
      const std::string text = MakeStressMessage(
          (here ? "many " : "other ") + std::to_string(i), 200 + random() % 300, random);
      MESSAGEID id = 0;
      ASSERT_EQ(S_OK, import->ImportMessage(batch, here ? folderId_ : inbox,
                                            reinterpret_cast<const BYTE*>(text.data()),
                                            static_cast<ULONG>(text.size()), nullptr, 0, &id));
      if (here) {
        ids_.push_back(id);
        subjects_.push_back("many " + std::to_string(i));
      }
    }
    ASSERT_EQ(S_OK, import->CommitBatch(batch));
  }
  void TearDown() override {
    folder_ = nullptr;
    StressTest::TearDown();
  }

  static constexpr int kMessages = 3000;  // more than several chunks
  STOREFOLDERID folderId_ = 0;
  ComPtr<IStoreFolder> folder_;
  std::vector<MESSAGEID> ids_;
  std::vector<std::string> subjects_;
};

TEST_F(StoreListingTest, EveryMessageComesOnceInOrderWithItsOwnTexts) {
  std::vector<MessageRow> rows;
  ASSERT_EQ(S_OK, ListMessages(folder_.Get(), &rows));
  ASSERT_EQ(ids_.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(ids_[i], rows[i].id) << i;
    EXPECT_EQ(subjects_[i], rows[i].subject) << i;
  }

  // From a message in the middle on.
  const size_t middle = ids_.size() / 2 + 7;
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE handle = 0;
  HRESULT hr = folder_->GetFirstMessage(0, 0, ids_[middle], &props, &handle);
  size_t at = middle;
  while (hr == S_OK) {
    ASSERT_LT(at, ids_.size());
    EXPECT_EQ(ids_[at], props.dwMessageId);
    EXPECT_STREQ(subjects_[at].c_str(), props.pszSubject);
    ASSERT_NE(nullptr, props.pszDisplayFrom);
    EXPECT_STREQ("Stress Writer", props.pszDisplayFrom);
    EXPECT_STREQ(subjects_[at].c_str(), props.pszNormalSubject);
    ASSERT_EQ(S_OK, folder_->FreeMessageProps(&props));
    EXPECT_EQ(nullptr, props.pszSubject);
    EXPECT_EQ(nullptr, props.pszNormalSubject);
    ++at;
    hr = folder_->GetNextMessage(handle, 0, &props);
  }
  EXPECT_EQ(S_FALSE, hr);
  EXPECT_EQ(ids_.size(), at);
  EXPECT_EQ(S_OK, folder_->GetMessageClose(handle));
}

TEST_F(StoreListingTest, MessagesRemovedDuringAnOpenEnumerationAreNotListedTwiceOrLater) {
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE handle = 0;
  HRESULT hr = folder_->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle);
  std::vector<MESSAGEID> seen;
  while (hr == S_OK) {
    seen.push_back(props.dwMessageId);
    folder_->FreeMessageProps(&props);
    if (seen.size() == 300) {
      // Well past the first chunk: remove every other message not yet seen.
      std::vector<MESSAGEID> doomed;
      for (size_t i = 301; i < ids_.size(); i += 2) doomed.push_back(ids_[i]);
      MESSAGEIDLIST list{CB_MESSAGEIDLIST, static_cast<ULONG>(doomed.size()), doomed.data()};
      ASSERT_EQ(S_OK, folder_->DeleteMessages(&list, 0, nullptr));
    }
    hr = folder_->GetNextMessage(handle, 0, &props);
  }
  EXPECT_EQ(S_FALSE, hr);
  folder_->GetMessageClose(handle);
  // What had been fetched before the removal may still come; nothing comes
  // twice, nothing out of order, and nothing from the last chunks removed.
  for (size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1], seen[i]);
  std::vector<MessageRow> now;
  ASSERT_EQ(S_OK, ListMessages(folder_.Get(), &now));
  EXPECT_EQ(ids_.size() - (ids_.size() - 301 + 1) / 2, now.size());
  EXPECT_LT(seen.size(), ids_.size() - 300);
  EXPECT_EQ(now.back().id, seen.back());
}

}  // namespace
}  // namespace store_stress
