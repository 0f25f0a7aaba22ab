// Per-thread initialisation, the process's table of class objects, and
// object creation by class: class objects registered in this process first,
// then the component library the registry names for the class.

#include <mutex>
#include <vector>

#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "runtime/inproc_server.h"

namespace {

// CoInitialize calls not yet undone on this thread.
thread_local unsigned tInitCount = 0;

struct ClassRegistration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* object;  // one reference, held until revoked
};

struct ClassTable {
  std::mutex mutex;
  std::vector<ClassRegistration> entries;  // in registration order
  DWORD lastCookie = 0;
};

ClassTable& Classes() {
  // Never destroyed: objects may be revoked from static destructors.
  static ClassTable* table = new ClassTable;
  return *table;
}

// Every request is served in process; the local-server bit alone asks for
// nothing this platform has.
bool ServesInProcess(DWORD clsctx) {
  return (clsctx & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) != 0;
}

// The class object registered last for `clsid`, with an added reference.
ComPtr<IUnknown> FindRegistered(REFCLSID clsid) {
  ClassTable& table = Classes();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (auto it = table.entries.rbegin(); it != table.entries.rend(); ++it) {
    if (it->clsid == clsid) return ComPtr<IUnknown>(it->object);
  }
  return nullptr;
}

HRESULT GetClassObject(REFCLSID clsid, DWORD clsctx, REFIID riid, void** ppv) {
  if (!ServesInProcess(clsctx)) return REGDB_E_CLASSNOTREG;
  if (ComPtr<IUnknown> registered = FindRegistered(clsid)) {
    const HRESULT hr = registered->QueryInterface(riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
  }
  return vorn_rt::GetServerClassObject(clsid, riid, ppv);
}

}  // namespace

HRESULT CoInitialize(void* reserved) {
  if (reserved) return E_INVALIDARG;
  return tInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (tInitCount > 0) --tInitCount;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD /*clsctx*/,
                              DWORD /*flags*/, DWORD* cookie) {
  if (!cookie) return E_INVALIDARG;
  *cookie = 0;
  if (!classObject) return E_INVALIDARG;
  if (tInitCount == 0) return CO_E_NOTINITIALIZED;
  try {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.entries.reserve(table.entries.size() + 1);
    const DWORD assigned = ++table.lastCookie;
    classObject->AddRef();
    table.entries.push_back({assigned, clsid, classObject});
    *cookie = assigned;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IUnknown* object = nullptr;
  {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
      if (it->cookie == cookie) {
        object = it->object;
        table.entries.erase(it);
        break;
      }
    }
  }
  if (!object) return E_INVALIDARG;
  // Outside the lock: the last release may run code that registers or revokes.
  object->Release();
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsctx, void* serverInfo, REFIID riid,
                         void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (serverInfo) return E_INVALIDARG;
  if (tInitCount == 0) return CO_E_NOTINITIALIZED;
  try {
    return GetClassObject(clsid, clsctx, riid, ppv);
  } catch (...) {
    *ppv = nullptr;
    return E_UNEXPECTED;
  }
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsctx, REFIID riid,
                         void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (tInitCount == 0) return CO_E_NOTINITIALIZED;
  if (outer) return CLASS_E_NOAGGREGATION;
  try {
    ComPtr<IClassFactory> factory;
    HRESULT hr = GetClassObject(clsid, clsctx, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(nullptr, riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
  } catch (...) {
    *ppv = nullptr;
    return E_UNEXPECTED;
  }
}
