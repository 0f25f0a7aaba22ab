#include "tests/control/control_test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "control/dispatch_table.h"
#include "control/vornoutlookexpressctrl.h"
#include "platform/runtime.h"

namespace control_test {

ComPtr<IDispatch> NewControl() {
  ComPtr<IDispatch> control;
  CVornOutlookExpressCtrl::Create(nullptr, IID_IDispatch, control.PutVoid());
  return control;
}

VARIANT Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT Text(const std::string& utf8) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = VornSysAllocStringA(utf8.data(), static_cast<int>(utf8.size()));
  return v;
}

std::string Utf8(BSTR text) {
  int cb = 0;
  LPSTR a = VornSysStringToA(text, &cb);
  std::string s(a, static_cast<size_t>(cb));
  CoTaskMemFree(a);
  return s;
}

CallResult CallId(IDispatch* object, DISPID dispid, std::vector<VARIANT> args, WORD flags) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                    static_cast<UINT>(reversed.size()), 0};
  CallResult result;
  result.hr = object->Invoke(dispid, IID_NULL, 0, flags, &params, &result.value, nullptr,
                             &result.argError);
  for (VARIANT& v : reversed) VariantClear(&v);
  return result;
}

CallResult Call(IDispatch* object, const std::string& name, std::vector<VARIANT> args) {
  BSTR wide = VornSysAllocStringA(name.c_str(), -1);
  LPOLESTR names[] = {wide};
  DISPID dispid = 0;
  const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid);
  SysFreeString(wide);
  if (FAILED(hr)) {
    for (VARIANT& v : args) VariantClear(&v);
    CallResult failed;
    failed.hr = hr;
    return failed;
  }
  return CallId(object, dispid, std::move(args));
}

FakeSession::FakeSession() {
  store.AddStandardFolders();
  storeRegistration.emplace(store.Register());
  mimeRegistration.emplace(mime.RegisterAllocator());
}

NoTerminalInput::NoTerminalInput() : saved_(dup(STDIN_FILENO)) {
  const int null = open("/dev/null", O_RDONLY);
  dup2(null, STDIN_FILENO);
  close(null);
}

NoTerminalInput::~NoTerminalInput() {
  dup2(saved_, STDIN_FILENO);
  close(saved_);
}

ComPtr<MemoryStream> MemoryStream::Make(std::string bytes) {
  auto* s = new MemoryStream;
  s->bytes = std::move(bytes);
  return ComPtr<MemoryStream>::Adopt(s);
}

HRESULT MemoryStream::QueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceFrom(
      {{IID_IUnknown, this}, {IID_IStream, this}, {IID_ISequentialStream, this}}, riid, ppv);
}

ULONG MemoryStream::Release() {
  return refs_.Release([this] { delete this; });
}

HRESULT MemoryStream::Read(void* pv, ULONG cb, ULONG* read) {
  const size_t n = std::min<size_t>(cb, bytes.size() - std::min(position, bytes.size()));
  std::memcpy(pv, bytes.data() + position, n);
  position += n;
  if (read) *read = static_cast<ULONG>(n);
  return S_OK;
}

HRESULT MemoryStream::Write(const void* pv, ULONG cb, ULONG* written) {
  if (bytes.size() < position + cb) bytes.resize(position + cb);
  std::memcpy(bytes.data() + position, pv, cb);
  position += cb;
  if (written) *written = cb;
  return S_OK;
}

HRESULT MemoryStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  int64_t base = origin == STREAM_SEEK_SET ? 0
                 : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(position)
                                             : static_cast<int64_t>(bytes.size());
  if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
  position = static_cast<size_t>(base + move.QuadPart);
  if (newPosition) newPosition->QuadPart = position;
  return S_OK;
}

HRESULT MemoryStream::SetSize(ULARGE_INTEGER size) {
  bytes.resize(static_cast<size_t>(size.QuadPart));
  return S_OK;
}

HRESULT MemoryStream::Stat(STATSTG* stat, DWORD) {
  stat->cbSize.QuadPart = bytes.size();
  return S_OK;
}

HRESULT RecordingSink::QueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceAs<IDispatch>(this, riid, ppv);
}

HRESULT RecordingSink::GetTypeInfoCount(UINT* count) {
  *count = 0;
  return S_OK;
}
HRESULT RecordingSink::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT RecordingSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
  return E_NOTIMPL;
}

HRESULT RecordingSink::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                              EXCEPINFO*, UINT*) {
  std::string name = "?";
  for (const EventMember& e : EventMembers()) {
    if (e.dispid == dispid) name = e.name;
  }
  std::string line = name + "(";
  // Arguments arrive last first; the line lists them in declared order.
  for (UINT i = params->cArgs; i-- > 0;) {
    const VARIANT& a = params->rgvarg[i];
    line += a.vt == VT_I2 ? "s" + std::to_string(a.iVal) : std::to_string(a.lVal);
    if (i > 0) line += ", ";
  }
  events.push_back(line + ")");
  return S_OK;
}

}  // namespace control_test
