// What the store server's tests share: a fresh platform root per test, the
// server's namespace, and helpers that read the whole store back through the
// store interfaces.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store.h"
#include "platform/store_import.h"
#include "runtime/com_ptr.h"
#include "tests/services/store/simple_mime_message.h"
#include "tests/support/libraries.h"
#include "tests/support/temp_root.h"

namespace store_test {

// One folder as the namespace enumerates it.
struct FolderRow {
  STOREFOLDERID id;
  std::string name;
  int special;
  int subFolders;
  DWORD unread;
  DWORD messages;
};

// One message as the folder enumerates it.
struct MessageRow {
  MESSAGEID id;
  std::string subject;
  std::string normalSubject;
  std::string from;
  std::string to;
  DWORD flags;
  DWORD state;
  DWORD size;
  DWORD language;
  DWORD priority;
  uint64_t received;
  uint64_t sent;
};

// A new namespace of the store server (not initialised), created through the
// class object of the built server library. Caller owns.
HRESULT CreateStoreNamespace(ComPtr<IStoreNamespace>* store);
// Where the built server library and the built MIME library are.
std::string StoreLibraryPath();
std::string MimeLibraryPath();
using vorn_test::RegisterLibrary;

class StoreTest : public ::testing::Test {
 protected:
  // Whether the store parses messages with the real MIME library
  // (registered into the test's root) instead of the in-process stand-in.
  virtual bool UsesMimeLibrary() const { return false; }

  void SetUp() override;
  void TearDown() override;

  // Another initialised namespace on the same root: a second connection, as
  // a second process would have.
  ComPtr<IStoreNamespace> OpenAnotherNamespace();

  ComPtr<IStoreFolder> Open(STOREFOLDERID id);
  ComPtr<IStoreFolder> Open(IStoreNamespace* store, STOREFOLDERID id);
  STOREFOLDERID MakeFolder(STOREFOLDERID parent, const std::string& name);
  // Stores `text` in `folder` through CreateStream and CommitStream.
  MESSAGEID Commit(IStoreFolder* folder, std::string_view text, DWORD msgFlags = 0);

  std::vector<FolderRow> SubFolders(STOREFOLDERID parent);
  std::vector<MessageRow> Messages(IStoreFolder* folder);
  std::vector<MESSAGEID> MessageIds(IStoreFolder* folder);
  // The raw text through OpenMessage(IID_IStream), read in small pieces.
  std::string RawText(IStoreFolder* folder, MESSAGEID id);
  // Every folder (recursively, with its properties) and every message (with
  // its properties and raw text), as one text for comparison.
  std::string Snapshot();
  STOREFOLDERID Inbox() const { return inbox_; }

  std::unique_ptr<vorn_test::TempRoot> root_;
  std::unique_ptr<SimpleMimeRegistration> mime_;
  ComPtr<IStoreNamespace> store_;
  STOREFOLDERID inbox_ = 0;

 private:
  void SnapshotFolder(STOREFOLDERID parent, int depth, std::string* out);
  bool initialised_ = false;
};

// A message list over `ids`, for the calls that take one.
struct IdList {
  explicit IdList(std::vector<MESSAGEID> list) : ids(std::move(list)) {
    value.cbSize = CB_MESSAGEIDLIST;
    value.cMsgs = static_cast<ULONG>(ids.size());
    value.prgdwMsgId = ids.data();
  }
  IdList(const IdList&) = delete;
  IdList& operator=(const IdList&) = delete;
  LPMESSAGEIDLIST get() { return &value; }

  std::vector<MESSAGEID> ids;
  MESSAGEIDLIST value;
};

// A small message with the given subject, sender and recipient lines.
std::string MakeMessage(const std::string& subject, const std::string& from = "a@example.org",
                        const std::string& to = "b@example.org",
                        const std::string& body = "Hello.\r\n");

}  // namespace store_test
