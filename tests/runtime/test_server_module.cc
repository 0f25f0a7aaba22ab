// A component library for the activation tests: serves CLSID_TestServerThing
// through DllGetClassObject and counts the objects it has alive.

#include <atomic>

#include "platform/runtime.h"
#include "runtime/unknown_impl.h"
#include "tests/runtime/test_thing.h"

namespace {

std::atomic<int> gLiveObjects{0};

class ServerThing final : public ITestThing {
 public:
  ServerThing() { ++gLiveObjects; }
  ~ServerThing() { --gLiveObjects; }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<ITestThing>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }
  int Answer() override { return 100; }

 private:
  RefCount<> refs_{0};
};

// Lives as long as the library; its count only keeps the interface's shape.
class ServerFactory final : public IClassFactory {
 public:
  // The references QueryInterface adds are the uncounted ones of AddRef.
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* thing = new ServerThing;
    thing->AddRef();
    const HRESULT hr = thing->QueryInterface(riid, ppv);
    thing->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

ServerFactory gFactory;

}  // namespace

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!(clsid == CLSID_TestServerThing)) return CLASS_E_CLASSNOTAVAILABLE;
  return gFactory.QueryInterface(riid, ppv);
}

VORN_EXPORT int VornTestServerLiveObjects() { return gLiveObjects; }
