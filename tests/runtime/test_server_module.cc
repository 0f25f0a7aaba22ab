// A component library for the activation tests: serves CLSID_TestServerThing
// through DllGetClassObject and counts the objects it has alive.

#include <atomic>

#include "platform/runtime.h"
#include "tests/runtime/test_thing.h"

namespace {

std::atomic<int> gLiveObjects{0};

class ServerThing final : public ITestThing {
 public:
  ServerThing() { ++gLiveObjects; }
  ~ServerThing() { --gLiveObjects; }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITestThing) {
      *ppv = static_cast<ITestThing*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  int Answer() override { return 100; }

 private:
  std::atomic<ULONG> refs_{0};
};

// Lives as long as the library; its count only keeps the interface's shape.
class ServerFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
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
