#include "tests/services/imap/imap_fixture.h"

#include "platform/failure_reason.h"
#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "services/imap/account.h"

namespace imap_test {

#ifdef VORN_IMAP_PLAIN
const char* const kVariant = "vornimapPlain";
#else
const char* const kVariant = "vornimap";
#endif

vorn_test::DovecotServer& Server() {
  vorn_test::DovecotServer::Options options;
#ifdef VORN_IMAP_PLAIN
  options.hideExtensions = true;
#endif
  return vorn_test::DovecotServer::Shared(options);
}

std::string MimeLibraryPath() { return vorn_test::BinDir() + "/vornmime.so"; }

HRESULT CreateImapNamespace(ComPtr<IStoreNamespace>* store) {
  HMODULE module = LoadLibraryA((vorn_test::BinDir() + "/vornimap.so").c_str());
  if (!module) return CO_E_DLLNOTFOUND;
  auto getClassObject =
      reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
  if (!getClassObject) return CO_E_ERRORINDLL;
  ComPtr<IClassFactory> factory;
  HRESULT hr = getClassObject(CLSID_StoreNamespace, IID_IClassFactory, factory.PutVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, IID_IStoreNamespace, store->PutVoid());
}

std::string Reason() {
  char text[VORN_MAX_FAILURE_REASON + 1] = {};
  VornGetFailureReason(text, sizeof text);
  return text;
}

void ImapFixture::SetUp() {
  ASSERT_TRUE(Server().ok()) << Server().error();
  initialised_ = SUCCEEDED(CoInitialize(nullptr));
  ASSERT_EQ(S_OK, RegisterLibrary(MimeLibraryPath()));
  user_ = Server().NewUser();
  Server().WriteAccount(user_);
}

void ImapFixture::TearDown() {
  if (initialised_) CoUninitialize();
}

ComPtr<IStoreNamespace> ImapFixture::Open(HRESULT expected) {
  ComPtr<IStoreNamespace> ns;
  EXPECT_EQ(CreateImapNamespace(&ns), S_OK);
  VornSetFailureReason(nullptr);
  EXPECT_EQ(ns->Initialize(nullptr, 0), expected) << Reason();
  return ns;
}

void ImapFixture::SetValue(const char* name, const std::string& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, vorn_imap::kAccountKey, 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
}

std::unique_ptr<vorn_imap::ImapClient> ImapFixture::OtherClient() {
  auto client = std::make_unique<vorn_imap::ImapClient>();
  vorn_imap::Account account;
  account.server = "127.0.0.1";
  account.port = Server().port();
  account.user = user_;
  account.password = vorn_test::kDovecotPassword;
  EXPECT_EQ(client->Connect(account), S_OK) << Reason();
  return client;
}

std::vector<std::pair<uint32_t, bool>> ImapFixture::OnServer(const std::string& mailbox) {
  auto client = OtherClient();
  std::vector<std::pair<uint32_t, bool>> out;
  if (FAILED(client->Select(mailbox))) return out;
  std::vector<vorn_imap::FetchedMessage> all;
  EXPECT_EQ(client->Fetch({}, false, 0, &all), S_OK);
  for (const auto& m : all) out.emplace_back(m.uid, m.seen);
  return out;
}

ComPtr<IStoreFolder> ImapFixture::MakeFolder(IStoreNamespace* ns, const std::string& name,
                                             STOREFOLDERID* id) {
  STOREFOLDERID made = 0;
  ComPtr<IStoreFolder> folder;
  EXPECT_EQ(ns->CreateFolder(FOLDERID_ROOT, name.c_str(), 0, &made), S_OK) << name;
  if (made) {
    EXPECT_EQ(ns->OpenFolder(made, 0, folder.Put()), S_OK) << name;
  }
  if (id) *id = made;
  return folder;
}

std::vector<std::string> ImapFixture::SubjectsOnServer(const std::string& mailbox) {
  auto client = OtherClient();
  std::vector<std::string> subjects;
  std::vector<vorn_imap::FetchedMessage> all;
  if (FAILED(client->Select(mailbox)) || FAILED(client->Fetch({}, true, 0, &all))) {
    ADD_FAILURE() << "cannot read " << mailbox << ": " << Reason();
    return subjects;
  }
  for (const auto& m : all) {
    size_t at = m.raw.find("Subject: ");
    size_t end = m.raw.find("\r\n", at);
    subjects.push_back(at == std::string::npos ? "" : m.raw.substr(at + 9, end - at - 9));
  }
  return subjects;
}

std::unique_ptr<vorn_imap::ImapCache> ImapFixture::OpenCache() {
  vorn_imap::Account account;
  EXPECT_EQ(vorn_imap::ReadAccount(&account), S_OK);
  std::unique_ptr<vorn_imap::ImapCache> cache;
  EXPECT_EQ(vorn_imap::ImapCache::Open(root_.path() + "/imap/" +
                                           vorn_imap::AccountCacheName(account) + ".db",
                                       &cache),
            S_OK);
  return cache;
}

std::vector<std::pair<MESSAGEID, DWORD>> ImapFixture::Messages(IStoreFolder* folder,
                                                               HRESULT* hr) {
  std::vector<std::pair<MESSAGEID, DWORD>> seen;
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE handle = 0;
  HRESULT first = folder->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle);
  for (HRESULT step = first; step == S_OK; step = folder->GetNextMessage(handle, 0, &props)) {
    seen.emplace_back(props.dwMessageId, props.dwFlags);
    folder->FreeMessageProps(&props);
  }
  if (hr) *hr = first == S_FALSE ? S_OK : first;
  if (handle) folder->GetMessageClose(handle);
  return seen;
}

HRESULT ImapFixture::Add(IStoreFolder* folder, const std::string& subject, MESSAGEID* id) {
  std::string raw = "From: a@example.org\r\nTo: b@example.org\r\nSubject: " + subject +
                    "\r\n\r\nText\r\n";
  ComPtr<IStream> stream;
  HRESULT hr = folder->CreateStream(0, 0, stream.Put(), id);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = stream->Write(raw.data(), static_cast<ULONG>(raw.size()), nullptr))) return hr;
  return folder->CommitStream(0, 0, 0, stream.Get(), *id, nullptr);
}

MESSAGEID ImapFixture::Add(IStoreFolder* folder, const std::string& subject) {
  MESSAGEID id = 0;
  EXPECT_EQ(Add(folder, subject, &id), S_OK) << Reason();
  return id;
}

}  // namespace imap_test
