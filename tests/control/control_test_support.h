// Helpers for the control's tests: calling members through IDispatch, a
// store of fakes for the control's session, a memory stream, a sink.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation.h"
#include "platform/control.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/fake_mime.h"
#include "tests/fakes/fake_store.h"

namespace control_test {

// A new control's IDispatch.
ComPtr<IDispatch> NewControl();

VARIANT Long(LONG value);
// The variant owns a new BSTR.
VARIANT Text(const std::string& utf8);
std::string Utf8(BSTR text);

struct CallResult {
  HRESULT hr = E_FAIL;
  VARIANT value{};  // owned; cleared by the destructor
  UINT argError = 0xFFFFFFFF;
  CallResult() = default;
  CallResult(const CallResult&) = delete;
  CallResult(CallResult&& other) noexcept : hr(other.hr), value(other.value), argError(other.argError) {
    other.value = VARIANT{};
  }
  ~CallResult() { VariantClear(&value); }
};

// Calls `name` (looked up with GetIDsOfNames) with `args` in declared order;
// the arguments are cleared afterwards.
CallResult Call(IDispatch* object, const std::string& name, std::vector<VARIANT> args = {});
CallResult CallId(IDispatch* object, DISPID dispid, std::vector<VARIANT> args = {},
                  WORD flags = DISPATCH_METHOD);

// The fakes a control's session opens: a store with the standard folders and
// an allocator, both registered for the lifetime of the object. No address
// book is registered.
struct FakeSession {
  FakeSession();
  vorn_fakes::FakeEnv env;
  vorn_fakes::FakeMimeModel mime{env};
  vorn_fakes::FakeStore store{env, &mime};
  std::optional<vorn_fakes::ClassRegistration> storeRegistration;
  std::optional<vorn_fakes::ClassRegistration> mimeRegistration;
};

// Points standard input at /dev/null for the object's lifetime, so that
// dialogs return at once.
class NoTerminalInput {
 public:
  NoTerminalInput();
  ~NoTerminalInput();
  NoTerminalInput(const NoTerminalInput&) = delete;
  NoTerminalInput& operator=(const NoTerminalInput&) = delete;

 private:
  int saved_;
};

// A growable in-memory stream.
class MemoryStream final : public IStream {
 public:
  static ComPtr<MemoryStream> Make(std::string bytes = std::string());
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override;
  HRESULT Read(void* pv, ULONG cb, ULONG* read) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* written) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
  HRESULT SetSize(ULARGE_INTEGER size) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;
  std::string bytes;
  size_t position = 0;

 private:
  RefCount<ULONG> refs_;
};

// An event sink that records each call as "Name(arg, arg, ...)".
class RecordingSink final : public IDispatch {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override;
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO*, UINT*) override;
  std::vector<std::string> events;
  ULONG refs = 0;
};

}  // namespace control_test
