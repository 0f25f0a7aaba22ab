// The library's exports: class objects, self-registration and unloading.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "tests/services/mime/mime_model.h"
#include "tests/services/mime/mime_test_support.h"
#include "tests/support/temp_root.h"

namespace {

class MimeModule : public testing::Test {
 protected:
  void SetUp() override {
    library_ = LoadLibraryA(mime_test::LibraryPath().c_str());
    ASSERT_NE(nullptr, library_);
    getClassObject_ =
        reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(library_, "DllGetClassObject"));
    canUnloadNow_ =
        reinterpret_cast<LPFNCANUNLOADNOW>(GetProcAddress(library_, "DllCanUnloadNow"));
    register_ =
        reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(library_, "DllRegisterServer"));
    unregister_ =
        reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(library_, "DllUnregisterServer"));
    ASSERT_TRUE(getClassObject_ && canUnloadNow_ && register_ && unregister_);
    ASSERT_EQ(S_OK, CoInitialize(nullptr) >= 0 ? S_OK : E_FAIL);
  }
  void TearDown() override {
    CoUninitialize();
    if (library_) FreeLibrary(library_);
  }

  HMODULE library_ = nullptr;
  LPFNGETCLASSOBJECT getClassObject_ = nullptr;
  LPFNCANUNLOADNOW canUnloadNow_ = nullptr;
  LPFNREGISTERSERVER register_ = nullptr;
  LPFNREGISTERSERVER unregister_ = nullptr;
};

std::string ReadString(const std::string& subKey, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return "(no key)";
  }
  char value[4096];
  DWORD size = sizeof value;
  DWORD type = 0;
  LSTATUS status =
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return "(no value)";
  return value;
}

std::string ClassKey(const CLSID& clsid) {
  char text[39];
  StringFromGUID2(clsid, text, sizeof text);
  return std::string("CLSID\\") + text;
}

TEST_F(MimeModule, RegistersAndUnregistersBothClasses) {
  vorn_test::TempRoot root;
  // A class of someone else's, which must survive our unregistration.
  HKEY other = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT,
                                           "CLSID\\{00000000-1111-2222-3333-444444444444}", 0,
                                           nullptr, 0, KEY_WRITE, nullptr, &other, nullptr));
  RegCloseKey(other);

  ASSERT_EQ(S_OK, register_());
  ASSERT_EQ(S_OK, register_());  // again: the same entries
  struct Case {
    const CLSID* clsid;
    const char* name;
  } classes[] = {{&CLSID_VornMimeMessage, "Vorn MIME Message"},
                 {&CLSID_IMimeAllocator, "Vorn MIME Allocator"}};
  for (const Case& c : classes) {
    std::string key = ClassKey(*c.clsid);
    EXPECT_EQ(c.name, ReadString(key, nullptr));
    std::string path = ReadString(key + "\\InprocServer32", nullptr);
    EXPECT_TRUE(std::filesystem::path(path).is_absolute()) << path;
    EXPECT_TRUE(std::filesystem::equivalent(path, mime_test::LibraryPath())) << path;
    EXPECT_EQ("Both", ReadString(key + "\\InprocServer32", "ThreadingModel"));
  }

  ComPtr<IMimeMessage> message;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_VornMimeMessage, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMimeMessage, message.PutVoid()));
  ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(S_OK, message.As(&persist));
  ASSERT_EQ(S_OK, persist->Load(mime_test::StreamOf(
                      mime_test::DataFile("alternative.eml")).Get()));
  EXPECT_EQ("Newsletter", mime_test::RootProp(message.Get(), "Subject"));

  ComPtr<IMimeAllocator> allocator;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_IMimeAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMimeAllocator, allocator.PutVoid()));
  void* block = allocator->Alloc(64);
  ASSERT_NE(nullptr, block);
  std::memset(block, 0xAB, 64);
  allocator->Free(block);
  // Memory from the allocator is task memory.
  CoTaskMemFree(allocator->Alloc(8));

  ASSERT_EQ(S_OK, unregister_());
  for (const Case& c : classes) EXPECT_EQ("(no key)", ReadString(ClassKey(*c.clsid), nullptr));
  EXPECT_EQ("(no value)", ReadString("CLSID\\{00000000-1111-2222-3333-444444444444}", nullptr));
  ComPtr<IMimeMessage> gone;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_VornMimeMessage, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IMimeMessage, gone.PutVoid()));
  EXPECT_EQ(S_OK, unregister_());
}

TEST_F(MimeModule, ClassObjectsMakeOnlyWhatTheyCan) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            getClassObject_(IID_IStream, IID_IClassFactory, factory.PutVoid()));
  EXPECT_FALSE(factory);
  ComPtr<IStream> notFactory;
  EXPECT_EQ(E_NOINTERFACE,
            getClassObject_(CLSID_VornMimeMessage, IID_IStream, notFactory.PutVoid()));
  EXPECT_FALSE(notFactory);
  ASSERT_EQ(S_OK, getClassObject_(CLSID_VornMimeMessage, IID_IClassFactory, factory.PutVoid()));

  ComPtr<IUnknown> made;
  ComPtr<IUnknown> outer;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, outer.PutVoid()));
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer.Get(), IID_IUnknown,
                                                           made.PutVoid()));
  EXPECT_FALSE(made);
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IMimeBody, made.PutVoid()));
  EXPECT_FALSE(made);
  ComPtr<IPersistStreamInit> persist;
  EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPersistStreamInit, persist.PutVoid()));

  ComPtr<IClassFactory> allocators;
  ASSERT_EQ(S_OK, getClassObject_(CLSID_IMimeAllocator, IID_IClassFactory,
                                  allocators.PutVoid()));
  ComPtr<IMimeMessage> wrong;
  EXPECT_EQ(E_NOINTERFACE, allocators->CreateInstance(nullptr, IID_IMimeMessage,
                                                      wrong.PutVoid()));
}

TEST_F(MimeModule, CanUnloadOnlyWhenNothingIsAlive) {
  ASSERT_EQ(S_OK, canUnloadNow_());
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(S_OK, getClassObject_(CLSID_VornMimeMessage, IID_IClassFactory, factory.PutVoid()));
  EXPECT_EQ(S_FALSE, canUnloadNow_());
  ComPtr<IMimeMessage> message;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IMimeMessage, message.PutVoid()));
  ASSERT_EQ(S_OK, factory->LockServer(TRUE));
  factory = nullptr;

  HBODY root;
  ASSERT_EQ(S_OK, message->GetBody(IBL_ROOT, HBODY_NULL, &root));
  ComPtr<IMimeBody> body;
  ASSERT_EQ(S_OK, message->BindToObject(root, IID_IMimeBody, body.PutVoid()));
  ComPtr<IStream> data;
  ASSERT_EQ(S_OK, body->GetData(IET_UNICODE, data.Put()));
  message = nullptr;
  body = nullptr;
  EXPECT_EQ(S_FALSE, canUnloadNow_());  // the stream and the lock remain
  data = nullptr;
  EXPECT_EQ(S_FALSE, canUnloadNow_());  // the lock remains

  ASSERT_EQ(S_OK, getClassObject_(CLSID_VornMimeMessage, IID_IClassFactory, factory.PutVoid()));
  ASSERT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(E_UNEXPECTED, factory->LockServer(FALSE));
  factory = nullptr;
  EXPECT_EQ(S_OK, canUnloadNow_());
}

}  // namespace
