#include "tests/fakes/class_factory.h"

#include <utility>

namespace vorn_fakes {
namespace {

class FakeClassFactory final : public IClassFactory, public FakeObject {
 public:
  FakeClassFactory(FakeEnv& env, CreateFunction create)
      : FakeObject(env, "ClassFactory"), create_(std::move(create)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IClassFactory*>(this), {IID_IClassFactory}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    CallScope call =
        Begin("CreateInstance", {CallArg::Ptr("outer", outer), CallArg::Guid("riid", &riid)});
    if (!ppv) return Done(call, E_POINTER);
    *ppv = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    if (outer) return Done(call, CLASS_E_NOAGGREGATION);
    HRESULT hr = create_(riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    return Done(call, hr);
  }

  HRESULT LockServer(BOOL lock) override {
    CallScope call =
        Begin("LockServer", {CallArg::Num("lock", static_cast<uint32_t>(lock))}, false);
    return Done(call, call.dead ? E_UNEXPECTED : S_OK);
  }

 private:
  CreateFunction create_;
};

}  // namespace

IClassFactory* MakeClassFactory(FakeEnv& env, CreateFunction create) {
  return env.Make<FakeClassFactory>(std::move(create));
}

ClassRegistration::ClassRegistration(REFCLSID clsid, IUnknown* classObject, DWORD clsctx) {
  initialized_ = SUCCEEDED(CoInitialize(nullptr));
  status_ = CoRegisterClassObject(clsid, classObject, clsctx, REGCLS_MULTIPLEUSE, &cookie_);
  if (FAILED(status_)) cookie_ = 0;
}

ClassRegistration::ClassRegistration(ClassRegistration&& other) noexcept
    : cookie_(std::exchange(other.cookie_, 0)),
      initialized_(std::exchange(other.initialized_, false)),
      status_(other.status_) {}

ClassRegistration& ClassRegistration::operator=(ClassRegistration&& other) noexcept {
  if (this != &other) {
    Revoke();
    cookie_ = std::exchange(other.cookie_, 0);
    initialized_ = std::exchange(other.initialized_, false);
    status_ = other.status_;
  }
  return *this;
}

void ClassRegistration::Revoke() {
  if (cookie_ != 0) CoRevokeClassObject(std::exchange(cookie_, 0));
  if (std::exchange(initialized_, false)) CoUninitialize();
}

}  // namespace vorn_fakes
