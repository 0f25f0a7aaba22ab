#include "tests/fakes/fake_env.h"

namespace vorn_fakes {

FakeEnv::~FakeEnv() { pool_.clear(); }

FakeObject::FakeObject(FakeEnv& env, std::string_view kind)
    : env_(env), name_(env.log.RegisterObject(kind)) {}

HRESULT FakeObject::QueryFor(IUnknown* self, std::initializer_list<IID> iids, REFIID riid,
                             void** ppv) {
  if (riid == IID_VornFakeObject) {
    if (!ppv) return E_POINTER;
    *ppv = this;
    return S_OK;
  }
  CallScope call = Begin("QueryInterface", {CallArg::Guid("riid", &riid)}, false);
  if (!ppv) return Done(call, E_POINTER);
  *ppv = nullptr;
  if (call.dead) return Done(call, E_UNEXPECTED);
  bool known = riid == IID_IUnknown;
  for (const IID& iid : iids) known = known || riid == iid;
  if (!known) return Done(call, E_NOINTERFACE);
  *ppv = self;
  AddRefImpl();
  return Done(call, S_OK);
}

ULONG FakeObject::AddRefImpl() {
  if (released_) {
    env_.log.NoteError("AddRef on " + name_ + " after its final Release");
    return 0;
  }
  ++refs_;
  env_.log.NoteAddRef(name_, refs_);
  return refs_;
}

ULONG FakeObject::ReleaseImpl() {
  if (released_ || refs_ == 0) {
    env_.log.NoteError("Release on " + name_ + " with no reference left");
    return 0;
  }
  --refs_;
  env_.log.NoteRelease(name_, refs_);
  if (refs_ == 0) {
    released_ = true;
    OnFinalRelease();
  }
  return refs_;
}

FakeObject::CallScope FakeObject::Begin(std::string_view method, std::vector<CallArg> args,
                                        bool faultable) {
  CallScope scope{};
  scope.index = env_.log.Record(name_, std::string(method), std::move(args));
  scope.dead = released_;
  if (released_) {
    env_.log.NoteError(std::string(method) + " called on " + name_ + " after its final Release");
    return scope;
  }
  if (faultable) scope.fault = env_.faults.OnCall(method);
  return scope;
}

HRESULT FakeObject::Done(const CallScope& scope, HRESULT result) {
  env_.log.SetResult(scope.index, result);
  return result;
}

}  // namespace vorn_fakes
