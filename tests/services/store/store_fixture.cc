#include "tests/services/store/store_fixture.h"

#include "platform/loader.h"
#include "platform/runtime.h"

namespace store_test {

HRESULT CreateStoreNamespace(ComPtr<IStoreNamespace>* store) {
  // The built server library, loaded once for the test program.
  static const LPFNGETCLASSOBJECT getClassObject = []() -> LPFNGETCLASSOBJECT {
    HMODULE module = LoadLibraryA(StoreLibraryPath().c_str());
    if (!module) return nullptr;
    return reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
  }();
  if (!getClassObject) return CO_E_DLLNOTFOUND;
  ComPtr<IClassFactory> factory;
  HRESULT hr = getClassObject(CLSID_StoreNamespace, IID_IClassFactory, factory.PutVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, IID_IStoreNamespace, store->PutVoid());
}

std::string StoreLibraryPath() { return vorn_test::BinDir() + "/vornstore.so"; }
std::string MimeLibraryPath() { return vorn_test::BinDir() + "/vornmime.so"; }

std::string MakeMessage(const std::string& subject, const std::string& from,
                        const std::string& to, const std::string& body) {
  return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject + "\r\n\r\n" + body;
}

void StoreTest::SetUp() {
  root_ = std::make_unique<vorn_test::TempRoot>();
  initialised_ = SUCCEEDED(CoInitialize(nullptr));
  ASSERT_TRUE(initialised_);
  if (UsesMimeLibrary()) {
    ASSERT_EQ(S_OK, RegisterLibrary(MimeLibraryPath()));
  } else {
    mime_ = std::make_unique<SimpleMimeRegistration>();
  }
  ASSERT_EQ(S_OK, CreateStoreNamespace(&store_));
  ASSERT_EQ(S_OK, store_->Initialize(nullptr, 0));
  std::vector<FolderRow> top = SubFolders(FOLDERID_ROOT);
  ASSERT_FALSE(top.empty());
  inbox_ = top.front().id;
}

void StoreTest::TearDown() {
  store_ = nullptr;
  mime_.reset();
  if (initialised_) CoUninitialize();
  root_.reset();
}

ComPtr<IStoreNamespace> StoreTest::OpenAnotherNamespace() {
  ComPtr<IStoreNamespace> other;
  EXPECT_EQ(S_OK, CreateStoreNamespace(&other));
  EXPECT_EQ(S_OK, other->Initialize(nullptr, 0));
  return other;
}

ComPtr<IStoreFolder> StoreTest::Open(STOREFOLDERID id) { return Open(store_.Get(), id); }

ComPtr<IStoreFolder> StoreTest::Open(IStoreNamespace* store, STOREFOLDERID id) {
  ComPtr<IStoreFolder> folder;
  EXPECT_EQ(S_OK, store->OpenFolder(id, 0, folder.Put())) << "folder " << id;
  return folder;
}

STOREFOLDERID StoreTest::MakeFolder(STOREFOLDERID parent, const std::string& name) {
  STOREFOLDERID id = FOLDERID_INVALID;
  EXPECT_EQ(S_OK, store_->CreateFolder(parent, name.c_str(), 0, &id)) << name;
  return id;
}

MESSAGEID StoreTest::Commit(IStoreFolder* folder, std::string_view text, DWORD msgFlags) {
  ComPtr<IStream> stream;
  MESSAGEID id = MESSAGEID_INVALID;
  EXPECT_EQ(S_OK, folder->CreateStream(0, 0, stream.Put(), &id));
  if (!stream) return MESSAGEID_INVALID;
  ULONG written = 0;
  EXPECT_EQ(S_OK, stream->Write(text.data(), static_cast<ULONG>(text.size()), &written));
  EXPECT_EQ(S_OK, folder->CommitStream(0, 0, msgFlags, stream.Get(), id, nullptr));
  return id;
}

std::vector<FolderRow> StoreTest::SubFolders(STOREFOLDERID parent) {
  std::vector<FolderRow> rows;
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 0;
  HRESULT hr = store_->GetFirstSubFolder(parent, &props, &handle);
  EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
  while (hr == S_OK) {
    rows.push_back({props.dwFolderId, props.szName, props.sfType, props.cSubFolders,
                    props.cUnread, props.cMessage});
    hr = store_->GetNextSubFolder(handle, &props);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
  }
  if (handle) {
    EXPECT_EQ(S_OK, store_->GetSubFolderClose(handle));
  }
  return rows;
}

std::vector<MessageRow> StoreTest::Messages(IStoreFolder* folder) {
  std::vector<MessageRow> rows;
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE handle = 0;
  HRESULT hr = folder->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle);
  EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
  auto text = [](LPSTR s) { return s ? std::string(s) : std::string("<null>"); };
  while (hr == S_OK) {
    auto ticks = [](FILETIME t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
    rows.push_back({props.dwMessageId, text(props.pszSubject), text(props.pszNormalSubject),
                    text(props.pszDisplayFrom), text(props.pszDisplayTo), props.dwFlags,
                    props.dwState, props.cbMessage, props.dwLanguage, props.priority,
                    ticks(props.ftReceived), ticks(props.ftSent)});
    EXPECT_EQ(nullptr, props.pStream);
    EXPECT_EQ(S_OK, folder->FreeMessageProps(&props));
    hr = folder->GetNextMessage(handle, 0, &props);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
  }
  if (handle) {
    EXPECT_EQ(S_OK, folder->GetMessageClose(handle));
  }
  return rows;
}

std::vector<MESSAGEID> StoreTest::MessageIds(IStoreFolder* folder) {
  std::vector<MESSAGEID> ids;
  for (const MessageRow& row : Messages(folder)) ids.push_back(row.id);
  return ids;
}

std::string StoreTest::RawText(IStoreFolder* folder, MESSAGEID id) {
  ComPtr<IStream> stream;
  HRESULT hr = folder->OpenMessage(id, IID_IStream, stream.PutVoid());
  EXPECT_EQ(S_OK, hr);
  if (FAILED(hr)) return "<failed>";
  std::string text;
  char buffer[7];
  ULONG got = 0;
  do {
    EXPECT_EQ(S_OK, stream->Read(buffer, sizeof(buffer), &got));
    text.append(buffer, got);
  } while (got > 0);
  return text;
}

void StoreTest::SnapshotFolder(STOREFOLDERID parent, int depth, std::string* out) {
  for (const FolderRow& folder : SubFolders(parent)) {
    *out += std::string(depth * 2, ' ') + "folder " + std::to_string(folder.id) + " '" +
            folder.name + "' special " + std::to_string(folder.special) + " sub " +
            std::to_string(folder.subFolders) + " unread " + std::to_string(folder.unread) +
            " count " + std::to_string(folder.messages) + "\n";
    ComPtr<IStoreFolder> open = Open(folder.id);
    if (!open) continue;
    for (const MessageRow& m : Messages(open.Get())) {
      *out += std::string(depth * 2 + 2, ' ') + "message " + std::to_string(m.id) + " flags " +
              std::to_string(m.flags) + " size " + std::to_string(m.size) + " received " +
              std::to_string(m.received) + " '" + m.subject + "' '" + m.from + "' '" + m.to +
              "'\n" + RawText(open.Get(), m.id) + "\n";
    }
    SnapshotFolder(folder.id, depth + 1, out);
  }
}

std::string StoreTest::Snapshot() {
  std::string out;
  SnapshotFolder(FOLDERID_ROOT, 0, &out);
  return out;
}

}  // namespace store_test
