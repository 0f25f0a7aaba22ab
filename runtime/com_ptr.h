// ComPtr<T>: holds one counted reference to an interface and releases it
// exactly once.
#pragma once

#include <utility>

#include "platform/unknown.h"

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference to `p` (AddRef).
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) {
    if (this != &other) ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  // Takes over a reference the caller already owns (no AddRef).
  static ComPtr Adopt(T* p) {
    ComPtr result;
    result.p_ = p;
    return result;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Releases the held reference (if any) and returns the slot for an
  // out-parameter that delivers a new owned reference.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  // Gives up ownership without releasing.
  T* Detach() { return std::exchange(p_, nullptr); }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }

  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // Hands the caller a new reference through an out-parameter.
  void CopyTo(T** out) const {
    if (p_) p_->AddRef();
    *out = p_;
  }

  // Queries for interface U; the result is null when the object lacks it.
  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (!p_) {
      out->Reset();
      return E_POINTER;
    }
    return p_->QueryInterface(InterfaceIdOf<U>::value, out->PutVoid());
  }

 private:
  T* p_ = nullptr;
};
