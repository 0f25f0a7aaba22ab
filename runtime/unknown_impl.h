// The IUnknown plumbing most objects of this tree share: answering
// QueryInterface from a list of interfaces, and a reference count that
// deletes its object when the last reference goes.
//
// Header only; nothing here is exported.
#pragma once

#include <atomic>
#include <initializer_list>

#include "platform/unknown.h"

// One answer of QueryInterface: a request for `iid` gets `object`, the
// object's pointer for that interface.
struct InterfaceEntry {
  const IID& iid;
  IUnknown* object;
};

// Answers QueryInterface from `entries`, tried in order: the first entry
// whose id is `riid` is handed out with an added reference (through its
// AddRef) and S_OK. Otherwise *ppv becomes null and the result is
// E_NOINTERFACE; a null `ppv` gives E_POINTER. The entries must name
// IID_IUnknown themselves when the object answers it.
inline HRESULT QueryInterfaceFrom(std::initializer_list<InterfaceEntry> entries, REFIID riid,
                                  void** ppv) {
  if (!ppv) return E_POINTER;
  for (const InterfaceEntry& entry : entries) {
    if (riid == entry.iid) {
      *ppv = entry.object;
      entry.object->AddRef();
      return S_OK;
    }
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

// QueryInterface for `self`, which implements each of First, Rest...:
// IID_IUnknown and First's id give its First pointer, each other interface's
// id (InterfaceIdOf) its own pointer. Same results as QueryInterfaceFrom.
template <class First, class... Rest, class Object>
HRESULT QueryInterfaceAs(Object* self, REFIID riid, void** ppv) {
  First* first = static_cast<First*>(self);
  return QueryInterfaceFrom({{IID_IUnknown, first},
                             {InterfaceIdOf<First>::value, first},
                             {InterfaceIdOf<Rest>::value, static_cast<Rest*>(self)}...},
                            riid, ppv);
}

// A reference count that starts at one reference (the creator's) unless
// told otherwise and runs `destroy` (usually `[this] { delete this; }`) when
// the last one is released. `Count` is std::atomic<ULONG> for objects that
// may be shared between threads (the default) or ULONG for objects that stay
// on one thread.
//
//   ULONG AddRef() override { return refs_.AddRef(); }
//   ULONG Release() override { return refs_.Release([this] { delete this; }); }
template <class Count = std::atomic<ULONG>>
class RefCount {
 public:
  explicit RefCount(ULONG initial = 1) : count_(initial) {}
  RefCount(const RefCount&) = delete;
  RefCount& operator=(const RefCount&) = delete;

  // Adds one reference; returns the new count.
  ULONG AddRef() { return ++count_; }

  // Drops one reference and runs `destroy` when none is left; returns the
  // count left. After a result of 0 the owner is gone.
  template <class Destroy>
  ULONG Release(Destroy&& destroy) {
    const ULONG left = --count_;
    if (left == 0) destroy();
    return left;
  }

 private:
  Count count_;
};
