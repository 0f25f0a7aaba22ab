// Putting fakes where CoCreateInstance finds them.
//
//   vorn_fakes::FakeEnv env;
//   vorn_fakes::FakeStore store(env);
//   vorn_fakes::ClassRegistration registration = store.Register();
//   ... code under test calls CoCreateInstance(CLSID_StoreNamespace, ...) ...
//
// The registration lasts until the ClassRegistration ends, which revokes it.
#pragma once

#include <functional>

#include "platform/runtime.h"
#include "tests/fakes/fake_env.h"

namespace vorn_fakes {

// Creates the object a class factory hands out: stores the `riid` interface
// of a new object in *ppv (null on failure) and returns the status.
using CreateFunction = std::function<HRESULT(REFIID riid, void** ppv)>;

// A fake class factory ("ClassFactory#n" in the log). CreateInstance is
// faultable and logged with its riid; a non-null outer object is refused
// with CLASS_E_NOAGGREGATION. LockServer is logged and always succeeds.
// The returned factory has a count of 0; hand it out with AddRef or
// QueryInterface (ClassRegistration does).
IClassFactory* MakeClassFactory(FakeEnv& env, CreateFunction create);

// RAII: CoInitialize, then CoRegisterClassObject(clsid, classObject,
// clsctx, REGCLS_MULTIPLEUSE); at the end CoRevokeClassObject and
// CoUninitialize. The runtime holds its own reference to the class object
// while registered.
class ClassRegistration {
 public:
  ClassRegistration() = default;
  ClassRegistration(REFCLSID clsid, IUnknown* classObject,
                    DWORD clsctx = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER);
  ~ClassRegistration() { Revoke(); }
  ClassRegistration(ClassRegistration&& other) noexcept;
  ClassRegistration& operator=(ClassRegistration&& other) noexcept;
  ClassRegistration(const ClassRegistration&) = delete;
  ClassRegistration& operator=(const ClassRegistration&) = delete;

  // The result of CoRegisterClassObject (S_OK when registered).
  HRESULT status() const { return status_; }
  bool registered() const { return cookie_ != 0; }
  // Ends the registration early; nothing happens when there is none.
  void Revoke();

 private:
  DWORD cookie_ = 0;
  bool initialized_ = false;
  HRESULT status_ = E_UNEXPECTED;
};

}  // namespace vorn_fakes
