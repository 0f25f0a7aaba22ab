// Enumerator<Interface, Item, Traits>: a snapshot enumerator for
// IEnumOLEVERB, IEnumConnections and IEnumConnectionPoints. It keeps
// Traits::Stored values (which own what they hold); Traits::Copy hands one
// to the caller as an Item (adding references, allocating strings) and
// Traits::Clear frees an Item made by Copy.
#pragma once

#include <memory>
#include <new>
#include <vector>

#include "control/module_state.h"
#include "platform/unknown.h"
#include "runtime/unknown_impl.h"

template <class Interface, class Item, class Traits>
class Enumerator final : public Interface {
 public:
  // A new enumerator (one reference, caller owns) over `items`.
  static HRESULT Make(std::vector<typename Traits::Stored> items, Interface** out) {
    if (!out) return E_POINTER;
    auto shared = std::make_shared<std::vector<typename Traits::Stored>>(std::move(items));
    *out = new (std::nothrow) Enumerator(std::move(shared), 0);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<Interface>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  HRESULT Next(ULONG count, Item* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && position_ < items_->size(); ++n, ++position_) {
      if (FAILED(Traits::Copy((*items_)[position_], &out[n]))) {
        for (ULONG k = 0; k < n; ++k) Traits::Clear(&out[k]);
        if (fetched) *fetched = 0;
        return E_OUTOFMEMORY;
      }
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    const size_t left = items_->size() - position_;
    if (count > left) {
      position_ = items_->size();
      return S_FALSE;
    }
    position_ += count;
    return S_OK;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(Interface** copy) override {
    if (!copy) return E_POINTER;
    *copy = new (std::nothrow) Enumerator(items_, position_);
    return *copy ? S_OK : E_OUTOFMEMORY;
  }

 private:
  Enumerator(std::shared_ptr<std::vector<typename Traits::Stored>> items, size_t position)
      : items_(std::move(items)), position_(position) {}
  ~Enumerator() = default;

  ModuleUsageToken usage_;
  RefCount<> refs_;
  std::shared_ptr<std::vector<typename Traits::Stored>> items_;
  size_t position_;
};
