#include "tests/services/imap/imap_fixture.h"

#include "platform/loader.h"
#include "platform/runtime.h"

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

HRESULT RegisterLibrary(const std::string& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return CO_E_DLLNOTFOUND;
  auto doRegister =
      reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module, "DllRegisterServer"));
  return doRegister ? doRegister() : CO_E_ERRORINDLL;
}

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

}  // namespace imap_test
