// The plumbing of a component library: what keeps it in use, its class
// factories, and its own path.
//
// Each library keeps one ServerModule of its own; its objects hold a
// ModuleObject for their lifetime, its class factories are ClassFactory
// objects in static storage, and its exports answer from them:
//
//   vorn_rt::ServerModule g_module;
//   vorn_rt::ClassFactory g_factory(g_module, CLSID_Thing, &CreateThing);
//   VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
//     return vorn_rt::GetClassObjectFrom({&g_factory}, clsid, riid, ppv);
//   }
//   VORN_EXPORT HRESULT DllCanUnloadNow() { return g_module.CanUnloadNow(); }
#pragma once

#include <atomic>
#include <initializer_list>
#include <string>

#include "platform/unknown.h"
#include "runtime/status_guard.h"
#include "runtime/unknown_impl.h"

namespace vorn_rt {

// The count of what keeps one library in use: live objects it made (class
// factory references among them) and server locks.
class ServerModule {
 public:
  ServerModule() = default;
  ServerModule(const ServerModule&) = delete;
  ServerModule& operator=(const ServerModule&) = delete;

  void AddObject() { objects_.fetch_add(1); }
  void ReleaseObject() { objects_.fetch_sub(1); }

  // IClassFactory::LockServer: counts a lock, or takes one back.
  // E_UNEXPECTED for an unlock without a lock, which changes nothing.
  HRESULT LockServer(BOOL lock) {
    if (lock) {
      locks_.fetch_add(1);
      return S_OK;
    }
    long held = locks_.load();
    do {
      if (held <= 0) return E_UNEXPECTED;
    } while (!locks_.compare_exchange_weak(held, held - 1));
    return S_OK;
  }

  bool InUse() const { return objects_.load() > 0 || locks_.load() > 0; }
  // DllCanUnloadNow: S_OK when nothing keeps the library in use, else S_FALSE.
  HRESULT CanUnloadNow() const { return InUse() ? S_FALSE : S_OK; }

 private:
  std::atomic<long> objects_{0};
  std::atomic<long> locks_{0};
};

// Counts its owner as a live object of `module` for as long as it lives; a
// member or base of every object class of a library.
class ModuleObject {
 public:
  explicit ModuleObject(ServerModule& module) : module_(module) { module_.AddObject(); }
  ~ModuleObject() { module_.ReleaseObject(); }
  ModuleObject(const ModuleObject&) = delete;
  ModuleObject& operator=(const ModuleObject&) = delete;

 private:
  ServerModule& module_;
};

// Makes a new object and queries it for `riid`; *ppv (not null, already
// cleared) receives the caller's reference on success.
using CreateFunction = HRESULT (*)(REFIID riid, void** ppv);

// A class factory in static storage, serving any number of objects of one
// class. While references to it are held, and while it is locked, its module
// is in use. Aggregation is refused; an exception from `create` becomes a
// status (see Guarded).
class ClassFactory final : public IClassFactory {
 public:
  ClassFactory(ServerModule& module, REFCLSID clsid, CreateFunction create)
      : module_(module), clsid_(clsid), create_(create) {}
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override {
    module_.AddObject();
    return refs_.AddRef();
  }
  ULONG Release() override {
    const ULONG left = refs_.Release([] {});
    module_.ReleaseObject();
    return left;
  }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    const HRESULT hr = Guarded([&] { return create_(riid, ppv); });
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
  }
  HRESULT LockServer(BOOL lock) override { return module_.LockServer(lock); }

  REFCLSID clsid() const { return clsid_; }

 private:
  ServerModule& module_;
  const CLSID clsid_;
  const CreateFunction create_;
  RefCount<> refs_{0};
};

// DllGetClassObject over a library's factories: the one serving `clsid`,
// queried for `riid`. E_POINTER for a null `ppv`; otherwise *ppv is set,
// null on failure; CLASS_E_CLASSNOTAVAILABLE when no factory serves `clsid`.
inline HRESULT GetClassObjectFrom(std::initializer_list<ClassFactory*> factories,
                                  REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (ClassFactory* factory : factories) {
    if (factory->clsid() == clsid) return factory->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// The full path of the shared library (or program) holding `address`, ""
// when it cannot be had. A library passes an address of its own, such as
// one of its exports, to learn its own path.
VORN_API std::string LibraryPathOf(const void* address);

}  // namespace vorn_rt
