// CMailStore's message reader over the library: a fake store whose folders
// open each message the way the store server does (the library's message
// class loaded from the raw text), the control's logic reading body text and
// attachment names from it, over every golden message.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/loader.h"
#include "platform/runtime.h"
#include "platform/store.h"
#include "store/mailstore.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/fake_store.h"
#include "tests/fakes/forwarding.h"
#include "tests/services/mime/mime_model.h"
#include "tests/services/mime/mime_test_support.h"
#include "tests/support/temp_root.h"

namespace {

// A folder that hands out the library's messages, loaded from the raw text
// the fake store keeps.
class LibraryMessages : public vorn_fakes::ForwardingStoreFolder {
 public:
  using ForwardingStoreFolder::ForwardingStoreFolder;
  HRESULT OpenMessage(MESSAGEID messageId, REFIID riid, void** object) override {
    if (!(riid == IID_IMimeMessage)) return inner()->OpenMessage(messageId, riid, object);
    *object = nullptr;
    ComPtr<IStream> raw;
    HRESULT hr = inner()->OpenMessage(messageId, IID_IStream, raw.PutVoid());
    if (FAILED(hr)) return hr;
    ComPtr<IPersistStreamInit> message;
    hr = CoCreateInstance(CLSID_VornMimeMessage, nullptr, CLSCTX_INPROC_SERVER,
                          IID_IPersistStreamInit, message.PutVoid());
    if (FAILED(hr)) return hr;
    hr = message->Load(raw.Get());
    if (FAILED(hr)) return hr;
    return message->QueryInterface(IID_IMimeMessage, object);
  }
};

struct Golden {
  std::string subject;
  std::string from;
  std::string body;
  std::vector<std::string> attachments;
};

Golden ReadGolden(const std::string& text) {
  Golden golden;
  size_t body = text.find("\nbody:\n");
  golden.body = text.substr(body + 7);
  size_t pos = 0;
  while (pos < body) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end - pos);
    if (line.rfind("attachment: ", 0) == 0) golden.attachments.push_back(line.substr(12));
    if (line.rfind("subject: ", 0) == 0) golden.subject = line.substr(9);
    if (line.rfind("from: ", 0) == 0) golden.from = line.substr(6);
    pos = end + 1;
  }
  return golden;
}

void RegisterLibrary(const std::string& path) {
  HMODULE library = LoadLibraryA(path.c_str());
  ASSERT_NE(nullptr, library) << path;
  auto doRegister =
      reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(library, "DllRegisterServer"));
  ASSERT_NE(nullptr, doRegister);
  EXPECT_EQ(S_OK, doRegister());
  FreeLibrary(library);
}

// A root with the library registered (it serves the MIME allocator too), the
// fake store, and the mail store, which ends first.
struct LibraryWorld {
  LibraryWorld() {
    RegisterLibrary(mime_test::LibraryPath());
    store.wrapFolder = [](ComPtr<IStoreFolder> inner) {
      return vorn_fakes::MakeForwarding<LibraryMessages>(std::move(inner));
    };
    inbox = store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
  }
  ~LibraryWorld() { mail.reset(); }

  vorn_test::TempRoot root;
  vorn_fakes::FakeEnv env;
  vorn_fakes::FakeStore store{env};
  vorn_fakes::ClassRegistration storeClass = store.Register();
  std::unique_ptr<CMailStore> mail = std::make_unique<CMailStore>();
  STOREFOLDERID inbox = 0;
};

TEST(ReaderOverLibrary, ReadsEveryGoldenMessage) {
  LibraryWorld world;
  std::vector<std::string> names = mime_test::DataFiles(".eml");
  std::vector<int32_t> ids;
  for (const std::string& name : names) {
    vorn_fakes::FakeMessage& message = world.store.AddMessage(world.inbox);
    message.raw = mime_test::DataFile(name);
    ids.push_back(static_cast<int32_t>(message.id));
  }
  ASSERT_EQ(1, world.mail->OpenSession());
  ASSERT_EQ(1, world.mail->SetFolder(static_cast<int32_t>(world.inbox)));
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    std::string stem = names[i].substr(0, names[i].size() - 4);
    Golden golden = ReadGolden(mime_test::DataFile(stem + ".golden"));
    ASSERT_EQ(1, world.mail->SetMessage(ids[i]));
    EXPECT_EQ(golden.body, world.mail->GetBody());
    std::vector<std::string> attachments;
    for (int a = 0; a < world.mail->GetAttachmentCount(); ++a) {
      attachments.push_back(world.mail->GetAttachmentName(a));
    }
    EXPECT_EQ(golden.attachments, attachments);
  }
}

TEST(ReaderOverLibrary, TextLongerThanOneReadKeepsEveryCharacter) {
  LibraryWorld world;
  // Characters of one, two, three and four UTF-8 bytes, so that chunk ends
  // fall everywhere, including between the halves of surrogate pairs.
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  vorn_fakes::FakeMessage& message = world.store.AddMessage(world.inbox);
  message.raw = "Subject: long\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + text;
  ASSERT_EQ(1, world.mail->OpenSession());
  ASSERT_EQ(1, world.mail->SetFolder(static_cast<int32_t>(world.inbox)));
  ASSERT_EQ(1, world.mail->SetMessage(static_cast<int32_t>(message.id)));
  EXPECT_EQ(text, world.mail->GetBody());
}

// The store server caches its header fields through the library and hands
// its messages out as the library's messages: golden messages committed to
// it list and read as the golden files say.
TEST(ReaderOverStoreServer, ListsAndReadsEveryGoldenMessage) {
  vorn_test::TempRoot root;
  RegisterLibrary(mime_test::LibraryPath());
  RegisterLibrary(vorn_test::BinDir() + "/vornstore.so");
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));

  std::vector<std::string> names = mime_test::DataFiles(".eml");
  STOREFOLDERID inbox = 0;
  {
    ComPtr<IStoreNamespace> store;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IStoreNamespace, store.PutVoid()));
    ASSERT_EQ(S_OK, store->Initialize(nullptr, 0));
    FOLDERPROPS props{};
    props.cbSize = CB_FOLDERPROPS;
    HENUMSTORE folders = 0;
    for (HRESULT hr = store->GetFirstSubFolder(FOLDERID_ROOT, &props, &folders); hr == S_OK;
         hr = store->GetNextSubFolder(folders, &props)) {
      if (std::string(props.szName) == "Inbox") inbox = props.dwFolderId;
    }
    if (folders) store->GetSubFolderClose(folders);
    ASSERT_NE(0u, inbox);
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(S_OK, store->OpenFolder(inbox, 0, folder.Put()));
    for (const std::string& name : names) {
      std::string raw = mime_test::DataFile(name);
      ComPtr<IStream> stream;
      MESSAGEID id = 0;
      ASSERT_EQ(S_OK, folder->CreateStream(0, 0, stream.Put(), &id));
      ULONG written = 0;
      ASSERT_EQ(S_OK, stream->Write(raw.data(), static_cast<ULONG>(raw.size()), &written));
      ASSERT_EQ(S_OK, folder->CommitStream(0, 0, 0, stream.Get(), id, nullptr));
    }
  }

  {
    CMailStore mail;
    ASSERT_EQ(1, mail.OpenSession());
    ASSERT_EQ(1, mail.SetFolder(static_cast<int32_t>(inbox)));
    ASSERT_EQ(static_cast<int32_t>(names.size()), mail.GetMessageCount());
    for (int32_t i = 0; i < mail.GetMessageCount(); ++i) {
      SCOPED_TRACE(names[i]);
      std::string stem = names[i].substr(0, names[i].size() - 4);
      Golden golden = ReadGolden(mime_test::DataFile(stem + ".golden"));
      EXPECT_EQ(golden.subject == "(absent)" ? "" : golden.subject, mail.GetMessageSubject(i));
      EXPECT_EQ(golden.from == "(absent)" ? "" : golden.from, mail.GetMessageDisplayFrom(i));
      ASSERT_EQ(1, mail.SetMessage(mail.GetMessageId(i)));
      EXPECT_EQ(golden.body, mail.GetBody());
      std::vector<std::string> attachments;
      for (int a = 0; a < mail.GetAttachmentCount(); ++a) {
        attachments.push_back(mail.GetAttachmentName(a));
      }
      EXPECT_EQ(golden.attachments, attachments);
    }
  }
  CoUninitialize();
}

}  // namespace
