// FakeEnv: what every fake of one test shares (the fault injector and the
// call log), and the home of every fake object.
//
// Declare the FakeEnv before anything that can hold a fake object (the code
// under test, class registrations, ComPtrs), so that it ends last.
//
// Object lifetime: fake objects are counted like any component object, but
// their memory is kept by the FakeEnv until it ends. When an object's count
// drops to 0 it lets go of what it holds and is marked released; a later
// call, AddRef or Release through a dangling pointer is then recorded in
// log.Errors() (and answered with E_UNEXPECTED) instead of corrupting memory.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/unknown.h"
#include "tests/fakes/call_log.h"
#include "tests/fakes/fault_injector.h"

namespace vorn_fakes {

class FakeObject;

// A private interface identifier every fake object answers with its
// FakeObject (no reference is taken, and the answer is not logged). Fakes use
// it to recognise their own objects behind forwarding wrappers (a folder
// passed to CopyMoveMessages, a stream passed to CommitStream).
constexpr IID IID_VornFakeObject = MakeGuid("{5D0F3A41-7C2B-4E8E-9B51-2F6A0C7D4E19}");

class FakeEnv {
 public:
  FakeEnv() = default;
  ~FakeEnv();
  FakeEnv(const FakeEnv&) = delete;
  FakeEnv& operator=(const FakeEnv&) = delete;

  FaultInjector faults;
  CallLog log;

  // Creates a fake object owned by this environment, with a count of 0; the
  // caller hands it out with QueryInterface or AddRef.
  template <class T, class... Args>
  T* Make(Args&&... args) {
    auto object = std::make_unique<T>(*this, std::forward<Args>(args)...);
    T* raw = object.get();
    pool_.push_back(std::move(object));
    return raw;
  }

  // The fake object behind `unknown` (through forwarding wrappers too) when
  // it is a `T` of some FakeEnv, else null. No reference is taken.
  template <class T>
  static T* Find(IUnknown* unknown);

 private:
  std::vector<std::unique_ptr<FakeObject>> pool_;
};

class FakeObject {
 public:
  virtual ~FakeObject() = default;
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;

  // "<Kind>#<serial>", as the call log knows it.
  const std::string& name() const { return name_; }
  ULONG refs() const { return refs_; }
  bool released() const { return released_; }
  FakeEnv& env() const { return env_; }

 protected:
  FakeObject(FakeEnv& env, std::string_view kind);

  // IUnknown plumbing for the derived classes. QueryFor hands out `self` for
  // the listed identifiers (IID_IUnknown is always accepted).
  HRESULT QueryFor(IUnknown* self, std::initializer_list<IID> iids, REFIID riid, void** ppv);
  ULONG AddRefImpl();
  ULONG ReleaseImpl();
  // Called once when the count drops to 0: release whatever the object holds.
  virtual void OnFinalRelease() {}

  // One method call in progress: logged on Begin, result recorded by Done.
  struct CallScope {
    size_t index;
    std::optional<HRESULT> fault;  // the status to fail with, when one fired
    bool dead;                     // the object was already released
  };
  // Logs the call; for a faultable method also asks the injector. A call on a
  // released object is recorded as an error; `dead` tells the method to
  // answer E_UNEXPECTED.
  CallScope Begin(std::string_view method, std::vector<CallArg> args, bool faultable = true);
  HRESULT Done(const CallScope& scope, HRESULT result);

 private:
  FakeEnv& env_;
  std::string name_;
  ULONG refs_ = 0;
  bool released_ = false;
};

template <class T>
T* FakeEnv::Find(IUnknown* unknown) {
  if (!unknown) return nullptr;
  void* raw = nullptr;
  if (unknown->QueryInterface(IID_VornFakeObject, &raw) != S_OK || !raw) return nullptr;
  return dynamic_cast<T*>(static_cast<FakeObject*>(raw));
}

}  // namespace vorn_fakes
