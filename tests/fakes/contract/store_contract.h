// The store contract: what every implementation of IStoreNamespace and
// IStoreFolder promises its callers, as a value-parameterised suite.
//
// Instantiate it once per implementation, in one source file of a test
// program (the file defines the tests):
//
//   #include "tests/fakes/contract/store_contract.h"
//   using vorn_contract::StoreContract;
//   INSTANTIATE_TEST_SUITE_P(
//       Real, StoreContract,
//       testing::Values(vorn_contract::StoreContractParam{
//           "vornstore", [] { return std::make_unique<MyStoreHarness>(); }}),
//       vorn_contract::StoreParamName);
//
// The harness gives each test a new namespace over a store of its own (a
// fresh root, a fresh fake). The store may already hold folders and messages
// (the real one starts with its special folders): every test works below a
// folder of its own that it creates under the root, and only asserts about
// the root that this folder is among its subfolders.
//
// What is checked, and nothing else: the status conventions (negative is
// failure; S_FALSE means "no more" and carries no item), E_UNEXPECTED before
// Initialize, E_INVALIDARG for a cbSize that is not the expected constant,
// enumeration handles (non-zero while open, closed once), ownership of
// MESSAGEPROPS (strings valid until FreeMessageProps, which sets them to
// null), identifiers never 0 or 0xFFFFFFFF, the documented effects of the
// changing methods, and that refused input (unknown identifiers, empty or
// duplicate folder names, a message that is not in the folder, a folder with
// subfolders to delete) gets a negative status and changes nothing.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/runtime.h"
#include "platform/store.h"
#include "platform/wab.h"
#include "runtime/com_ptr.h"
#include "tests/support/temp_root.h"

namespace vorn_contract {

class StoreHarness {
 public:
  virtual ~StoreHarness() = default;
  // A new namespace object, not yet initialised (caller owns).
  virtual HRESULT CreateNamespace(IStoreNamespace** ns) = 0;
};

// A harness over a built store server library: a fresh root with COM
// initialised, `prepare` run in it (registering what the server needs),
// and namespaces from `create`.
class LibraryStoreHarness : public StoreHarness {
 public:
  using Create = HRESULT (*)(ComPtr<IStoreNamespace>*);
  LibraryStoreHarness(Create create, const std::function<void()>& prepare)
      : create_(create), initialised_(SUCCEEDED(CoInitialize(nullptr))) {
    prepare();
  }
  ~LibraryStoreHarness() override {
    if (initialised_) CoUninitialize();
  }
  HRESULT CreateNamespace(IStoreNamespace** ns) override {
    ComPtr<IStoreNamespace> store;
    HRESULT hr = create_(&store);
    *ns = store.Detach();
    return hr;
  }

 private:
  vorn_test::TempRoot root_;
  const Create create_;
  const bool initialised_;
};

struct StoreContractParam {
  std::string name;  // a test-name-safe identifier
  std::function<std::unique_ptr<StoreHarness>()> make;
};

inline void PrintTo(const StoreContractParam& param, std::ostream* out) { *out << param.name; }
inline std::string StoreParamName(const testing::TestParamInfo<StoreContractParam>& info) {
  return info.param.name;
}

// A plain copy of one enumerated folder.
struct FolderSeen {
  STOREFOLDERID id;
  std::string name;
  INT subFolders;
  SPECIALFOLDER type;
  DWORD unread;
  DWORD messages;
};

// A plain copy of one enumerated message.
struct MessageSeen {
  MESSAGEID id;
  DWORD size;
  DWORD flags;
};

class StoreContract : public testing::TestWithParam<StoreContractParam> {
 protected:
  void SetUp() override {
    harness_ = GetParam().make();
    ASSERT_TRUE(harness_);
    ASSERT_EQ(harness_->CreateNamespace(ns_.Put()), S_OK);
    ASSERT_TRUE(ns_);
    ASSERT_EQ(ns_->Initialize(nullptr, 0), S_OK);
    ASSERT_EQ(ns_->CreateFolder(FOLDERID_ROOT, "Contract scratch", 0, &scratch_), S_OK);
  }

  void TearDown() override {
    ns_ = nullptr;
    harness_.reset();
  }

  // Every direct subfolder of `parent`, checking the enumeration rules.
  std::vector<FolderSeen> SubFolders(STOREFOLDERID parent) {
    std::vector<FolderSeen> seen;
    FOLDERPROPS props{};
    props.cbSize = CB_FOLDERPROPS;
    HENUMSTORE handle = 0;
    HRESULT hr = ns_->GetFirstSubFolder(parent, &props, &handle);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    while (hr == S_OK) {
      EXPECT_NE(handle, 0u) << "an enumeration answering an item is open";
      EXPECT_NE(props.dwFolderId, FOLDERID_ROOT);
      EXPECT_NE(props.dwFolderId, FOLDERID_INVALID);
      seen.push_back(FolderSeen{props.dwFolderId, props.szName, props.cSubFolders, props.sfType,
                                props.cUnread, props.cMessage});
      if (seen.size() > 10000) break;
      hr = ns_->GetNextSubFolder(handle, &props);
      EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    }
    if (handle != 0) {
      EXPECT_EQ(ns_->GetSubFolderClose(handle), S_OK);
    }
    return seen;
  }

  std::vector<std::string> SubFolderNames(STOREFOLDERID parent) {
    std::vector<std::string> names;
    for (const FolderSeen& f : SubFolders(parent)) names.push_back(f.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  // The enumerated props of `folder` as its parent lists it.
  FolderSeen FolderAsListed(STOREFOLDERID parent, STOREFOLDERID folder) {
    for (const FolderSeen& f : SubFolders(parent)) {
      if (f.id == folder) return f;
    }
    ADD_FAILURE() << "folder " << folder << " is not listed below " << parent;
    return FolderSeen{};
  }

  ComPtr<IStoreFolder> Open(STOREFOLDERID id) {
    ComPtr<IStoreFolder> folder;
    EXPECT_EQ(ns_->OpenFolder(id, 0, folder.Put()), S_OK);
    return folder;
  }

  STOREFOLDERID NewFolder(STOREFOLDERID parent, const char* name) {
    STOREFOLDERID id = FOLDERID_INVALID;
    EXPECT_EQ(ns_->CreateFolder(parent, name, 0, &id), S_OK);
    return id;
  }

  // Stores `raw` as a new message of `folder` and returns its identifier.
  MESSAGEID AddMessage(IStoreFolder* folder, const std::string& raw) {
    ComPtr<IStream> stream;
    MESSAGEID id = MESSAGEID_INVALID;
    EXPECT_EQ(folder->CreateStream(0, 0, stream.Put(), &id), S_OK);
    if (!stream) return MESSAGEID_INVALID;
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, MESSAGEID_INVALID);
    ULONG written = 0;
    EXPECT_EQ(stream->Write(raw.data(), static_cast<ULONG>(raw.size()), &written), S_OK);
    EXPECT_EQ(written, raw.size());
    EXPECT_EQ(folder->CommitStream(0, 0, 0, stream.Get(), id, nullptr), S_OK);
    return id;
  }

  static std::string RawMessage(const std::string& subject) {
    return "From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: " + subject +
           "\r\nDate: Mon, 3 Jan 2005 09:05:03 +0000\r\n\r\nBody of " + subject + "\r\n";
  }

  // Every message of `folder` from `firstId`, checking the enumeration rules.
  std::vector<MessageSeen> Messages(IStoreFolder* folder, MESSAGEID firstId = MESSAGEID_FIRST) {
    std::vector<MessageSeen> seen;
    MESSAGEPROPS props{};
    props.cbSize = CB_MESSAGEPROPS;
    HENUMSTORE handle = 0;
    HRESULT hr = folder->GetFirstMessage(0, 0, firstId, &props, &handle);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    while (hr == S_OK) {
      EXPECT_NE(handle, 0u);
      seen.push_back(MessageSeen{props.dwMessageId, props.cbMessage, props.dwFlags});
      EXPECT_EQ(folder->FreeMessageProps(&props), S_OK);
      EXPECT_EQ(props.pszSubject, nullptr);
      EXPECT_EQ(props.pStream, nullptr);
      if (seen.size() > 10000) break;
      hr = folder->GetNextMessage(handle, 0, &props);
      EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    }
    if (handle != 0) {
      EXPECT_EQ(folder->GetMessageClose(handle), S_OK);
    }
    return seen;
  }

  std::vector<MESSAGEID> MessageIds(IStoreFolder* folder) {
    std::vector<MESSAGEID> ids;
    for (const MessageSeen& m : Messages(folder)) ids.push_back(m.id);
    return ids;
  }

  // The raw text of message `id`, read in chunks of `chunk` bytes.
  static std::string RawText(IStoreFolder* folder, MESSAGEID id, ULONG chunk = 7) {
    ComPtr<IStream> stream;
    EXPECT_EQ(folder->OpenMessage(id, IID_IStream, stream.PutVoid()), S_OK);
    if (!stream) return {};
    std::string text;
    std::vector<char> buffer(chunk);
    for (int guard = 0; guard < 1000000; ++guard) {
      ULONG got = 0;
      HRESULT hr = stream->Read(buffer.data(), chunk, &got);
      EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
      EXPECT_LE(got, chunk);
      if (FAILED(hr) || got == 0) break;
      text.append(buffer.data(), got);
    }
    return text;
  }

  static MESSAGEIDLIST ListOf(MESSAGEID* id) { return MESSAGEIDLIST{CB_MESSAGEIDLIST, 1, id}; }

  std::unique_ptr<StoreHarness> harness_;
  ComPtr<IStoreNamespace> ns_;
  STOREFOLDERID scratch_ = FOLDERID_INVALID;
};

TEST_P(StoreContract, EveryMethodButInitializeWaitsForIt) {
  ComPtr<IStoreNamespace> fresh;
  ASSERT_EQ(harness_->CreateNamespace(fresh.Put()), S_OK);
  ComPtr<IStoreFolder> folder;
  IStoreFolder* raw = reinterpret_cast<IStoreFolder*>(1);
  EXPECT_EQ(fresh->OpenFolder(scratch_, 0, &raw), E_UNEXPECTED);
  EXPECT_EQ(raw, nullptr);
  STOREFOLDERID id = 0;
  EXPECT_EQ(fresh->CreateFolder(scratch_, "Early", 0, &id), E_UNEXPECTED);
  EXPECT_EQ(fresh->RenameFolder(scratch_, 0, "Early"), E_UNEXPECTED);
  EXPECT_EQ(fresh->DeleteFolder(scratch_, 0), E_UNEXPECTED);
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 5;
  EXPECT_EQ(fresh->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle), E_UNEXPECTED);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(fresh->Initialize(nullptr, 0), S_OK);
  EXPECT_EQ(fresh->OpenFolder(scratch_, 0, folder.Put()), S_OK);
  EXPECT_THAT(SubFolderNames(scratch_), testing::IsEmpty()) << "nothing was created early";
}

TEST_P(StoreContract, RefusesStructuresOfAnotherSize) {
  ComPtr<IStoreFolder> folder = Open(scratch_);
  ASSERT_TRUE(folder);
  MESSAGEID id = AddMessage(folder.Get(), RawMessage("sized"));
  STOREFOLDERID other = NewFolder(scratch_, "Other");
  ComPtr<IStoreFolder> destination = Open(other);
  ASSERT_TRUE(destination);

  for (ULONG cbSize : {0u, CB_FOLDERPROPS - 1, CB_FOLDERPROPS + 1, 4u}) {
    SCOPED_TRACE(testing::Message() << "FOLDERPROPS cbSize " << cbSize);
    FOLDERPROPS props{};
    props.cbSize = cbSize;
    HENUMSTORE handle = 9;
    EXPECT_EQ(ns_->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle), E_INVALIDARG);
    EXPECT_EQ(handle, 0u);
  }
  for (ULONG cbSize :
       {0u, CB_MESSAGEPROPS - 1, CB_MESSAGEPROPS + 1, static_cast<ULONG>(sizeof(MESSAGEPROPS))}) {
    if (cbSize == CB_MESSAGEPROPS) continue;
    SCOPED_TRACE(testing::Message() << "MESSAGEPROPS cbSize " << cbSize);
    MESSAGEPROPS props{};
    props.cbSize = cbSize;
    HENUMSTORE handle = 9;
    EXPECT_EQ(folder->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle), E_INVALIDARG);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(props.pszSubject, nullptr);
    EXPECT_EQ(folder->GetMessageProps(id, MSGPROPS_FAST, &props), E_INVALIDARG);
    EXPECT_EQ(props.pszSubject, nullptr);
  }
  for (ULONG cbSize : {0u, CB_MESSAGEIDLIST - 1, CB_MESSAGEIDLIST + 1,
                       static_cast<ULONG>(sizeof(MESSAGEIDLIST))}) {
    if (cbSize == CB_MESSAGEIDLIST) continue;
    SCOPED_TRACE(testing::Message() << "MESSAGEIDLIST cbSize " << cbSize);
    MESSAGEIDLIST list{cbSize, 1, &id};
    EXPECT_EQ(folder->MarkMessagesAsRead(TRUE, 0, &list), E_INVALIDARG);
    EXPECT_EQ(ns_->CopyMoveMessages(folder.Get(), destination.Get(), &list, CMF_MOVE, 0, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr), E_INVALIDARG);
  }
  // Nothing changed.
  std::vector<MessageSeen> left = Messages(folder.Get());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].id, id);
  EXPECT_EQ(left[0].flags & MSGFLAG_READ, 0u);
  EXPECT_THAT(MessageIds(destination.Get()), testing::IsEmpty());
}

TEST_P(StoreContract, CreatedFoldersAreListedBelowTheirParent) {
  std::vector<FolderSeen> top = SubFolders(FOLDERID_ROOT);
  EXPECT_TRUE(
      std::any_of(top.begin(), top.end(), [&](const FolderSeen& f) { return f.id == scratch_; }));
  EXPECT_THAT(SubFolders(scratch_), testing::IsEmpty());

  STOREFOLDERID alpha = NewFolder(scratch_, "Alpha");
  EXPECT_NE(alpha, FOLDERID_ROOT);
  EXPECT_NE(alpha, FOLDERID_INVALID);
  EXPECT_EQ(ns_->CreateFolder(scratch_, "Beta", 0, nullptr), S_OK);
  STOREFOLDERID inner = NewFolder(alpha, "Inner");

  std::vector<FolderSeen> below = SubFolders(scratch_);
  ASSERT_EQ(below.size(), 2u);
  EXPECT_THAT(SubFolderNames(scratch_), testing::ElementsAre("Alpha", "Beta"));
  for (const FolderSeen& f : below) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(f.type, FOLDER_NOTSPECIAL);
    EXPECT_EQ(f.messages, 0u);
    EXPECT_EQ(f.unread, 0u);
    EXPECT_EQ(f.subFolders, f.name == "Alpha" ? 1 : 0);
    if (f.name == "Alpha") {
      EXPECT_EQ(f.id, alpha);
    }
  }
  EXPECT_EQ(FolderAsListed(FOLDERID_ROOT, scratch_).subFolders, 2);
  std::vector<FolderSeen> deeper = SubFolders(alpha);
  ASSERT_EQ(deeper.size(), 1u);
  EXPECT_EQ(deeper[0].id, inner);
  EXPECT_EQ(deeper[0].name, "Inner");
}

TEST_P(StoreContract, RefusedFolderChangesChangeNothing) {
  STOREFOLDERID alpha = NewFolder(scratch_, "Alpha");
  STOREFOLDERID beta = NewFolder(scratch_, "Beta");
  NewFolder(alpha, "Inner");
  const STOREFOLDERID unknown = 0x7FFFFFF0u;
  std::string longName(CCH_FOLDER_NAME, 'x');
  struct Refusal {
    const char* name;
    std::function<HRESULT()> call;
  };
  const Refusal refusals[] = {
      {"create with an empty name", [&] { return ns_->CreateFolder(scratch_, "", 0, nullptr); }},
      {"create with a name of spaces",
       [&] { return ns_->CreateFolder(scratch_, "  ", 0, nullptr); }},
      {"create with a name too long",
       [&] { return ns_->CreateFolder(scratch_, longName.c_str(), 0, nullptr); }},
      {"create a duplicate", [&] { return ns_->CreateFolder(scratch_, "Beta", 0, nullptr); }},
      {"create below an unknown parent",
       [&] { return ns_->CreateFolder(unknown, "Gamma", 0, nullptr); }},
      {"rename an unknown folder", [&] { return ns_->RenameFolder(unknown, 0, "Gamma"); }},
      {"rename to an empty name", [&] { return ns_->RenameFolder(beta, 0, ""); }},
      {"rename to a name of spaces", [&] { return ns_->RenameFolder(beta, 0, " "); }},
      {"rename to a sibling's name", [&] { return ns_->RenameFolder(beta, 0, "Alpha"); }},
      {"delete an unknown folder", [&] { return ns_->DeleteFolder(unknown, 0); }},
      {"delete a folder with subfolders", [&] { return ns_->DeleteFolder(alpha, 0); }},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    EXPECT_LT(refusal.call(), 0);
    EXPECT_THAT(SubFolderNames(scratch_), testing::ElementsAre("Alpha", "Beta"));
    EXPECT_THAT(SubFolderNames(alpha), testing::ElementsAre("Inner"));
  }
  IStoreFolder* folder = reinterpret_cast<IStoreFolder*>(1);
  EXPECT_LT(ns_->OpenFolder(unknown, 0, &folder), 0);
  EXPECT_EQ(folder, nullptr);
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 3;
  EXPECT_LT(ns_->GetFirstSubFolder(unknown, &props, &handle), 0);
  EXPECT_EQ(handle, 0u);
}

TEST_P(StoreContract, RenameAndDeleteShowInTheNextEnumeration) {
  STOREFOLDERID alpha = NewFolder(scratch_, "Alpha");
  {
    ComPtr<IStoreFolder> folder = Open(alpha);
    ASSERT_TRUE(folder);
    AddMessage(folder.Get(), RawMessage("doomed"));
  }
  EXPECT_EQ(ns_->RenameFolder(alpha, 0, "Renamed"), S_OK);
  std::vector<FolderSeen> below = SubFolders(scratch_);
  ASSERT_EQ(below.size(), 1u);
  EXPECT_EQ(below[0].id, alpha);
  EXPECT_EQ(below[0].name, "Renamed");
  EXPECT_EQ(below[0].messages, 1u);

  EXPECT_EQ(ns_->DeleteFolder(alpha, 0), S_OK);
  EXPECT_THAT(SubFolders(scratch_), testing::IsEmpty());
  ComPtr<IStoreFolder> gone;
  EXPECT_LT(ns_->OpenFolder(alpha, 0, gone.Put()), 0);
  EXPECT_FALSE(gone);
}

TEST_P(StoreContract, EmptyEnumerationsAnswerNoMore) {
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 0;
  EXPECT_EQ(ns_->GetFirstSubFolder(scratch_, &props, &handle), S_FALSE);
  if (handle != 0) {
    EXPECT_EQ(ns_->GetSubFolderClose(handle), S_OK);
  }

  ComPtr<IStoreFolder> folder = Open(scratch_);
  ASSERT_TRUE(folder);
  MESSAGEPROPS message{};
  message.cbSize = CB_MESSAGEPROPS;
  handle = 0;
  EXPECT_EQ(folder->GetFirstMessage(0, 0, MESSAGEID_FIRST, &message, &handle), S_FALSE);
  EXPECT_EQ(message.pszSubject, nullptr);
  if (handle != 0) {
    EXPECT_EQ(folder->GetMessageClose(handle), S_OK);
  }
}

TEST_P(StoreContract, MessagesComeInIdentifierOrder) {
  ComPtr<IStoreFolder> folder = Open(scratch_);
  ASSERT_TRUE(folder);
  std::vector<std::string> texts = {RawMessage("one"), RawMessage("two"), RawMessage("three")};
  std::vector<MESSAGEID> ids;
  for (const std::string& text : texts) ids.push_back(AddMessage(folder.Get(), text));

  std::vector<MessageSeen> seen = Messages(folder.Get());
  ASSERT_EQ(seen.size(), 3u);
  std::vector<MESSAGEID> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].id, sorted[i]);
    size_t made = std::find(ids.begin(), ids.end(), seen[i].id) - ids.begin();
    ASSERT_LT(made, texts.size());
    EXPECT_EQ(seen[i].size, texts[made].size()) << "cbMessage is the raw size";
  }
  // From a given identifier on.
  std::vector<MessageSeen> tail = Messages(folder.Get(), sorted[1]);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[0].id, sorted[1]);
  EXPECT_EQ(tail[1].id, sorted[2]);

  FolderSeen listed = FolderAsListed(FOLDERID_ROOT, scratch_);
  EXPECT_EQ(listed.messages, 3u);
  EXPECT_EQ(listed.unread, 3u);
}

TEST_P(StoreContract, PropertyStringsStayValidUntilFreed) {
  ComPtr<IStoreFolder> folder = Open(scratch_);
  ASSERT_TRUE(folder);
  MESSAGEID first = AddMessage(folder.Get(), RawMessage("first subject"));
  MESSAGEID second = AddMessage(folder.Get(), RawMessage("second subject"));
  MESSAGEPROPS a{}, b{};
  a.cbSize = b.cbSize = CB_MESSAGEPROPS;
  ASSERT_EQ(folder->GetMessageProps(first, MSGPROPS_FAST, &a), S_OK);
  std::string subject = a.pszSubject ? a.pszSubject : "";
  ASSERT_EQ(folder->GetMessageProps(second, MSGPROPS_FAST, &b), S_OK);
  EXPECT_EQ(a.dwMessageId, first);
  EXPECT_EQ(b.dwMessageId, second);
  EXPECT_EQ(a.pStream, nullptr) << "MSGPROPS_FAST attaches no stream";
  EXPECT_EQ(std::string(a.pszSubject ? a.pszSubject : ""), subject);
  EXPECT_EQ(folder->FreeMessageProps(&a), S_OK);
  EXPECT_EQ(a.pszSubject, nullptr);
  EXPECT_EQ(a.pszDisplayTo, nullptr);
  EXPECT_EQ(a.pszDisplayFrom, nullptr);
  EXPECT_EQ(a.pszNormalSubject, nullptr);
  EXPECT_EQ(folder->FreeMessageProps(&b), S_OK);

  MESSAGEPROPS missing{};
  missing.cbSize = CB_MESSAGEPROPS;
  EXPECT_LT(folder->GetMessageProps(0x7FFFFFF0u, MSGPROPS_FAST, &missing), 0);
  EXPECT_EQ(missing.pszSubject, nullptr);
}

TEST_P(StoreContract, RawTextComesBackAsWritten) {
  ComPtr<IStoreFolder> folder = Open(scratch_);
  ASSERT_TRUE(folder);
  const std::string text = RawMessage("raw") + std::string(300, 'x') + "\r\n";
  MESSAGEID id = AddMessage(folder.Get(), text);
  EXPECT_EQ(RawText(folder.Get(), id, 7), text);
  EXPECT_EQ(RawText(folder.Get(), id, 99), text);
  ComPtr<IStream> stream;
  ASSERT_EQ(folder->OpenMessage(id, IID_IStream, stream.PutVoid()), S_OK);
  STATSTG stat{};
  EXPECT_EQ(stream->Stat(&stat, 0), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, text.size());

  IUnknown* object = reinterpret_cast<IUnknown*>(1);
  EXPECT_LT(folder->OpenMessage(0x7FFFFFF0u, IID_IStream, reinterpret_cast<void**>(&object)), 0);
  EXPECT_EQ(object, nullptr);
  object = reinterpret_cast<IUnknown*>(1);
  EXPECT_LT(folder->OpenMessage(id, IID_IAddrBook, reinterpret_cast<void**>(&object)), 0);
  EXPECT_EQ(object, nullptr);
}

TEST_P(StoreContract, OnlyCommittedStreamsBecomeMessages) {
  ComPtr<IStoreFolder> folder = Open(scratch_);
  ASSERT_TRUE(folder);
  {
    ComPtr<IStream> stream;
    MESSAGEID id = 0;
    ASSERT_EQ(folder->CreateStream(0, 0, stream.Put(), &id), S_OK);
    const std::string text = RawMessage("abandoned");
    EXPECT_EQ(stream->Write(text.data(), static_cast<ULONG>(text.size()), nullptr), S_OK);
  }
  EXPECT_THAT(MessageIds(folder.Get()), testing::IsEmpty());
  MESSAGEID kept = AddMessage(folder.Get(), RawMessage("kept"));
  EXPECT_THAT(MessageIds(folder.Get()), testing::ElementsAre(kept));
}

TEST_P(StoreContract, MarkingSetsAndClearsTheReadFlag) {
  ComPtr<IStoreFolder> folder = Open(scratch_);
  ASSERT_TRUE(folder);
  MESSAGEID id = AddMessage(folder.Get(), RawMessage("mark"));
  AddMessage(folder.Get(), RawMessage("other"));
  MESSAGEIDLIST list = ListOf(&id);
  ASSERT_EQ(folder->MarkMessagesAsRead(TRUE, 0, &list), S_OK);
  for (const MessageSeen& m : Messages(folder.Get())) {
    EXPECT_EQ((m.flags & MSGFLAG_READ) != 0, m.id == id);
  }
  EXPECT_EQ(FolderAsListed(FOLDERID_ROOT, scratch_).unread, 1u);
  ASSERT_EQ(folder->MarkMessagesAsRead(FALSE, 0, &list), S_OK);
  for (const MessageSeen& m : Messages(folder.Get())) EXPECT_EQ(m.flags & MSGFLAG_READ, 0u);
  EXPECT_EQ(FolderAsListed(FOLDERID_ROOT, scratch_).unread, 2u);

  MESSAGEID unknown = 0x7FFFFFF0u;
  MESSAGEIDLIST bad = ListOf(&unknown);
  EXPECT_LT(folder->MarkMessagesAsRead(TRUE, 0, &bad), 0);
  EXPECT_EQ(FolderAsListed(FOLDERID_ROOT, scratch_).unread, 2u);
}

TEST_P(StoreContract, CopiesLoseOnlyTheFlagsToRemove) {
  STOREFOLDERID otherId = NewFolder(scratch_, "Copies");
  ComPtr<IStoreFolder> source = Open(scratch_);
  ComPtr<IStoreFolder> destination = Open(otherId);
  ASSERT_TRUE(source && destination);
  const std::string text = RawMessage("copied");
  MESSAGEID id = AddMessage(source.Get(), text);
  MESSAGEIDLIST list = ListOf(&id);
  ASSERT_EQ(source->MarkMessagesAsRead(TRUE, 0, &list), S_OK);

  // Removing the complement of the flags keeps them; removing the read flag
  // drops it.
  ASSERT_EQ(
      ns_->CopyMoveMessages(source.Get(), destination.Get(), &list, 0, ~MSGFLAG_READ, nullptr),
      S_OK);
  ASSERT_EQ(ns_->CopyMoveMessages(source.Get(), destination.Get(), &list, 0, MSGFLAG_READ, nullptr),
            S_OK);
  std::vector<MessageSeen> copies = Messages(destination.Get());
  ASSERT_EQ(copies.size(), 2u);
  int read = 0;
  for (const MessageSeen& copy : copies) {
    EXPECT_NE(copy.id, id) << "a copy is a new message";
    read += (copy.flags & MSGFLAG_READ) ? 1 : 0;
    EXPECT_EQ(RawText(destination.Get(), copy.id), text);
  }
  EXPECT_EQ(read, 1);
  std::vector<MessageSeen> original = Messages(source.Get());
  ASSERT_EQ(original.size(), 1u);
  EXPECT_EQ(original[0].id, id);
  EXPECT_NE(original[0].flags & MSGFLAG_READ, 0u);
}

TEST_P(StoreContract, MovesLeaveTheSource) {
  STOREFOLDERID otherId = NewFolder(scratch_, "Moved");
  ComPtr<IStoreFolder> source = Open(scratch_);
  ComPtr<IStoreFolder> destination = Open(otherId);
  ASSERT_TRUE(source && destination);
  const std::string text = RawMessage("moving");
  MESSAGEID id = AddMessage(source.Get(), text);
  MESSAGEID stays = AddMessage(source.Get(), RawMessage("staying"));
  MESSAGEIDLIST list = ListOf(&id);
  ASSERT_EQ(ns_->CopyMoveMessages(source.Get(), destination.Get(), &list, CMF_MOVE, 0, nullptr),
            S_OK);
  EXPECT_THAT(MessageIds(source.Get()), testing::ElementsAre(stays));
  std::vector<MESSAGEID> moved = MessageIds(destination.Get());
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(RawText(destination.Get(), moved[0]), text);

  // A message that is not in the source is refused; nothing moves.
  MESSAGEIDLIST again = ListOf(&id);
  EXPECT_LT(ns_->CopyMoveMessages(source.Get(), destination.Get(), &again, CMF_MOVE, 0, nullptr),
            0);
  EXPECT_THAT(MessageIds(source.Get()), testing::ElementsAre(stays));
  EXPECT_EQ(MessageIds(destination.Get()).size(), 1u);
}

TEST_P(StoreContract, DeletingRemovesOnlyWhatIsThere) {
  ComPtr<IStoreFolder> folder = Open(scratch_);
  ASSERT_TRUE(folder);
  MESSAGEID a = AddMessage(folder.Get(), RawMessage("a"));
  MESSAGEID b = AddMessage(folder.Get(), RawMessage("b"));
  MESSAGEID mixed[] = {a, 0x7FFFFFF0u};
  MESSAGEIDLIST bad{CB_MESSAGEIDLIST, 2, mixed};
  EXPECT_LT(folder->DeleteMessages(&bad, 0, nullptr), 0);
  std::vector<MESSAGEID> both = MessageIds(folder.Get());
  EXPECT_EQ(both.size(), 2u) << "a refused list deletes nothing";

  MESSAGEIDLIST list = ListOf(&a);
  EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr), S_OK);
  EXPECT_THAT(MessageIds(folder.Get()), testing::ElementsAre(b));
  EXPECT_LT(folder->DeleteMessages(&list, 0, nullptr), 0);
  ComPtr<IStream> stream;
  EXPECT_LT(folder->OpenMessage(a, IID_IStream, stream.PutVoid()), 0);
  EXPECT_FALSE(stream);
}

}  // namespace vorn_contract
