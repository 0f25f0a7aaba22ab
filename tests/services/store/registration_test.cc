// The store server library's entry points: registration under the store's
// class, creation through the registry, and when it may be unloaded.

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/store.h"
#include "runtime/com_ptr.h"
#include "tests/services/store/store_fixture.h"
#include "tests/support/temp_root.h"

namespace store_test {
namespace {

constexpr const char* kClassKey = "CLSID\\{E70C92A9-4BFD-11D1-8A95-00C04FB951F3}";

std::string ReadString(const std::string& key, const char* value) {
  HKEY open = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &open) != ERROR_SUCCESS) {
    return "<no key>";
  }
  char data[4096] = {};
  DWORD size = sizeof(data);
  DWORD type = 0;
  LSTATUS status =
      RegQueryValueExA(open, value, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size);
  RegCloseKey(open);
  if (status != ERROR_SUCCESS || type != REG_SZ) return "<no value>";
  return data;
}

class StoreRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    module_ = LoadLibraryA(StoreLibraryPath().c_str());
    ASSERT_NE(nullptr, module_);
    reg_ = reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module_, "DllRegisterServer"));
    unreg_ = reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module_, "DllUnregisterServer"));
    canUnload_ = reinterpret_cast<LPFNCANUNLOADNOW>(GetProcAddress(module_, "DllCanUnloadNow"));
    ASSERT_TRUE(reg_ && unreg_ && canUnload_);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
    CoUninitialize();
  }

  vorn_test::TempRoot root_;
  HMODULE module_ = nullptr;
  LPFNREGISTERSERVER reg_ = nullptr;
  LPFNREGISTERSERVER unreg_ = nullptr;
  LPFNCANUNLOADNOW canUnload_ = nullptr;
};

TEST_F(StoreRegistrationTest, RegistersItsOwnPathAndIsCreatedThroughTheRegistry) {
  ASSERT_EQ(S_OK, reg_());
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath(StoreLibraryPath().c_str(), real));
  char registered[PATH_MAX];
  std::string path = ReadString(std::string(kClassKey) + "\\InprocServer32", "");
  ASSERT_NE(nullptr, realpath(path.c_str(), registered)) << path;
  EXPECT_STREQ(real, registered);
  EXPECT_EQ('/', path.front()) << "a full path";
  EXPECT_EQ("Both", ReadString(std::string(kClassKey) + "\\InprocServer32", "ThreadingModel"));
  EXPECT_EQ("Vorn Mail Store", ReadString(kClassKey, ""));
  EXPECT_EQ(S_OK, reg_()) << "registering again is harmless";

  ComPtr<IStoreNamespace> store;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StoreNamespace, nullptr,
                                   CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                   IID_IStoreNamespace, store.PutVoid()));
  ASSERT_EQ(S_OK, store->Initialize(nullptr, 0));
  ComPtr<IStoreFolder> folder;
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 0;
  ASSERT_EQ(S_OK, store->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle));
  EXPECT_STREQ("Inbox", props.szName);
  EXPECT_EQ(S_OK, store->GetSubFolderClose(handle));

  ASSERT_EQ(S_OK, unreg_());
  EXPECT_EQ("<no key>", ReadString(kClassKey, ""));
  EXPECT_EQ(S_OK, unreg_()) << "unregistering what is not registered is harmless";
  ComPtr<IStoreNamespace> none;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IStoreNamespace, none.PutVoid()));
}

TEST_F(StoreRegistrationTest, ClassObjectAndUnloading) {
  auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(module_, "DllGetClassObject"));
  ASSERT_NE(nullptr, get);
  ComPtr<IClassFactory> factory;
  void* none = &factory;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get(IID_IStoreNamespace, IID_IClassFactory, &none));
  EXPECT_EQ(nullptr, none);
  ASSERT_EQ(S_OK, get(CLSID_StoreNamespace, IID_IClassFactory, factory.PutVoid()));
  ComPtr<IUnknown> outer;
  ComPtr<IStoreNamespace> store;
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            factory->CreateInstance(reinterpret_cast<IUnknown*>(&factory), IID_IStoreNamespace,
                                    store.PutVoid()));
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, outer.PutVoid()));
  EXPECT_EQ(S_FALSE, canUnload_()) << "the class object is still held";
  factory = nullptr;
  EXPECT_EQ(S_OK, canUnload_()) << "failed creations leave nothing alive";

  // Every object the library hands out keeps it in use: the namespace, a
  // folder, a stream, and a server lock.
  ASSERT_EQ(S_OK, get(CLSID_StoreNamespace, IID_IClassFactory, factory.PutVoid()));
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IStoreNamespace, store.PutVoid()));
  factory = nullptr;
  ASSERT_EQ(S_OK, store->Initialize(nullptr, 0));
  EXPECT_EQ(S_FALSE, canUnload_());
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 0;
  ASSERT_EQ(S_OK, store->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle));
  store->GetSubFolderClose(handle);
  ComPtr<IStoreFolder> folder;
  ASSERT_EQ(S_OK, store->OpenFolder(props.dwFolderId, 0, folder.Put()));
  ComPtr<IStream> stream;
  MESSAGEID id = 0;
  ASSERT_EQ(S_OK, folder->CreateStream(0, 0, stream.Put(), &id));
  store = nullptr;
  EXPECT_EQ(S_FALSE, canUnload_());
  folder = nullptr;
  EXPECT_EQ(S_FALSE, canUnload_());
  stream = nullptr;
  EXPECT_EQ(S_OK, canUnload_());
  ASSERT_EQ(S_OK, get(CLSID_StoreNamespace, IID_IClassFactory, factory.PutVoid()));
  ASSERT_EQ(S_OK, factory->LockServer(TRUE));
  factory = nullptr;
  EXPECT_EQ(S_FALSE, canUnload_());
  ASSERT_EQ(S_OK, get(CLSID_StoreNamespace, IID_IClassFactory, factory.PutVoid()));
  ASSERT_EQ(S_OK, factory->LockServer(FALSE));
  factory = nullptr;
  EXPECT_EQ(S_OK, canUnload_());
}

}  // namespace
}  // namespace store_test
