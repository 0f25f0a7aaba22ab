#include "runtime/automation_client.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/message_text.h"
#include "platform/runtime.h"
#include "runtime/unknown_impl.h"

namespace vorn_rt {
namespace {

std::string Arguments(int count) {
  return std::to_string(count) + (count == 1 ? " argument" : " arguments");
}

// The names of member `memid`: the member's, then its parameters'.
std::vector<std::string> NamesOf(ITypeInfo* info, MEMBERID memid, UINT max) {
  std::vector<BSTR> names(max, nullptr);
  UINT got = 0;
  std::vector<std::string> result;
  if (SUCCEEDED(info->GetNames(memid, names.data(), max, &got))) {
    for (UINT i = 0; i < got && i < max; ++i) result.push_back(Utf8OfBstr(names[i]));
  }
  for (BSTR name : names) SysFreeString(name);
  return result;
}

}  // namespace

HRESULT CreateAutomationObject(const std::string& name, IDispatch** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (name.find('\0') != std::string::npos) return CO_E_CLASSSTRING;
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
  if (FAILED(hr)) return hr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(out));
  if (SUCCEEDED(hr) && !*out) hr = E_NOINTERFACE;
  return hr;
}

std::vector<AutomationMember> DescribeMembers(IDispatch* dispatch) {
  std::vector<AutomationMember> members;
  UINT count = 0;
  if (!dispatch || FAILED(dispatch->GetTypeInfoCount(&count)) || count == 0) return members;
  ComPtr<ITypeInfo> info;
  if (FAILED(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put())) || !info) return members;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr)) || !attr) return members;
  const WORD funcs = attr->cFuncs;
  info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < funcs; ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(info->GetFuncDesc(i, &desc)) || !desc) continue;
    AutomationMember member{};
    member.dispid = desc->memid;
    member.params = desc->cParams;
    member.result = desc->elemdescFunc.tdesc.vt;
    int flagged = 0;
    for (int p = 0; desc->lprgelemdescParam && p < desc->cParams; ++p) {
      const ELEMDESC& param = desc->lprgelemdescParam[p];
      const bool optional = (param.paramdesc.wParamFlags & PARAMFLAG_FOPT) != 0;
      if (optional) ++flagged;
      member.paramList.push_back({std::string(), param.tdesc.vt, optional});
    }
    member.optional = desc->cParamsOpt > flagged ? desc->cParamsOpt : flagged;
    member.kind = MemberKind::kMethod;
    if (desc->invkind == INVOKE_PROPERTYGET) member.kind = MemberKind::kGetter;
    if (desc->invkind == INVOKE_PROPERTYPUT || desc->invkind == INVOKE_PROPERTYPUTREF) {
      member.kind = MemberKind::kSetter;
    }
    const bool restricted = (desc->wFuncFlags & FUNCFLAG_FRESTRICTED) != 0;
    info->ReleaseFuncDesc(desc);
    if (restricted) continue;
    std::vector<std::string> names =
        NamesOf(info.Get(), member.dispid, static_cast<UINT>(member.params) + 1);
    if (names.empty()) continue;
    member.name = std::move(names[0]);
    for (size_t p = 1; p < names.size() && p - 1 < member.paramList.size(); ++p) {
      member.paramList[p - 1].name = std::move(names[p]);
    }
    members.push_back(std::move(member));
  }
  return members;
}

HRESULT IdOfName(IDispatch* dispatch, const std::string& name, DISPID* dispid) {
  if (!dispatch || !dispid) return E_POINTER;
  BSTR wide = VornSysAllocStringA(name.data(), static_cast<int>(name.size()));
  if (!wide) return E_OUTOFMEMORY;
  LPOLESTR names[1] = {wide};
  const HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, dispid);
  SysFreeString(wide);
  return hr;
}

CallFault::~CallFault() { FreeExceptionInfo(&exception); }

HRESULT InvokeMember(IDispatch* dispatch, DISPID dispid, MemberKind kind, const VARIANT* args,
                     size_t count, VARIANT* result, CallFault* fault, bool asPropertyToo) {
  if (!dispatch || (count > 0 && !args)) return E_POINTER;
  // rgvarg holds the arguments last first. The copies are shallow: Invoke
  // only reads them, and the caller keeps ownership of what they point to.
  constexpr size_t kInline = 8;
  VARIANT inlineArgs[kInline];
  std::vector<VARIANT> heapArgs;
  VARIANT* reversed = inlineArgs;
  if (count > kInline) {
    heapArgs.resize(count);
    reversed = heapArgs.data();
  }
  for (size_t i = 0; i < count; ++i) std::memcpy(&reversed[count - 1 - i], &args[i], sizeof(VARIANT));

  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{count > 0 ? reversed : nullptr, nullptr, static_cast<UINT>(count), 0};
  WORD flags = DISPATCH_METHOD;
  if (kind == MemberKind::kGetter) flags = DISPATCH_PROPERTYGET;
  if (kind == MemberKind::kMethod && asPropertyToo) flags |= DISPATCH_PROPERTYGET;
  if (kind == MemberKind::kSetter) {
    flags = DISPATCH_PROPERTYPUT;
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception{};
  UINT argError = 0;
  const HRESULT hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                      result, &exception, &argError);
  if (fault) {
    FreeExceptionInfo(&fault->exception);
    fault->exception = exception;
    fault->argument = 0;
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && argError < count) {
      fault->argument = static_cast<int>(count - argError);
    }
  } else {
    FreeExceptionInfo(&exception);
  }
  return hr;
}

std::string Utf8OfBstr(BSTR text) {
  if (!text) return std::string();
  int cb = 0;
  LPSTR narrow = VornSysStringToA(text, &cb);
  if (!narrow) throw std::bad_alloc();
  std::string result(narrow, static_cast<size_t>(cb));
  CoTaskMemFree(narrow);
  return result;
}

std::string HresultHex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string HresultMeaning(HRESULT hr) {
  char text[512];
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(hr), 0, text, sizeof text, nullptr);
  if (length == 0) return "Unknown result code.";
  return std::string(text, length);
}

std::string DescribeFailure(const std::string& member, HRESULT hr, EXCEPINFO* exception,
                            const CallDetails& details) {
  if (exception) {
    if (exception->pfnDeferredFillIn) {
      exception->pfnDeferredFillIn(exception);
      exception->pfnDeferredFillIn = nullptr;
    }
    const std::string description = Utf8OfBstr(exception->bstrDescription);
    const std::string source = Utf8OfBstr(exception->bstrSource);
    const HRESULT code = exception->scode != 0 ? exception->scode : hr;
    std::string message = member + ": " + HresultHex(code) + " ";
    if (!description.empty()) {
      message += source.empty() ? description : source + ": " + description;
    } else {
      message += HresultMeaning(code);
    }
    return message;
  }
  std::string message = member + ": " + HresultHex(hr) + " " + HresultMeaning(hr);
  if (hr == DISP_E_BADPARAMCOUNT && details.declared >= 0 && details.argCount >= 0) {
    const int required = details.declared - details.optional;
    message += " " + member + " takes ";
    if (details.optional > 0) {
      message += std::to_string(required) + " to " + Arguments(details.declared);
    } else {
      message += Arguments(details.declared);
    }
    message += ", not " + std::to_string(details.argCount) + ".";
  } else if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && details.argument > 0) {
    message += " (argument " + std::to_string(details.argument) + ")";
  }
  return message;
}

void FreeExceptionInfo(EXCEPINFO* exception) {
  if (!exception) return;
  SysFreeString(exception->bstrSource);
  SysFreeString(exception->bstrDescription);
  SysFreeString(exception->bstrHelpFile);
  *exception = EXCEPINFO{};
}

// ---- Events ------------------------------------------------------------------------

HRESULT FindEventInterface(IDispatch* dispatch, EventInterface* events) {
  if (!dispatch || !events) return E_POINTER;
  ComPtr<IProvideClassInfo> classInfo;
  HRESULT hr = dispatch->QueryInterface(IID_IProvideClassInfo, classInfo.PutVoid());
  if (FAILED(hr)) return hr;
  ComPtr<ITypeInfo> coclass;
  hr = classInfo->GetClassInfo(coclass.Put());
  if (FAILED(hr)) return hr;
  TYPEATTR* attr = nullptr;
  hr = coclass->GetTypeAttr(&attr);
  if (FAILED(hr)) return hr;
  const WORD impls = attr->cImplTypes;
  coclass->ReleaseTypeAttr(attr);
  ComPtr<ITypeInfo> source;
  for (UINT i = 0; i < impls && !source; ++i) {
    INT flags = 0;
    if (FAILED(coclass->GetImplTypeFlags(i, &flags))) continue;
    if ((flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) !=
        (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) {
      continue;
    }
    HREFTYPE ref = 0;
    hr = coclass->GetRefTypeOfImplType(i, &ref);
    if (FAILED(hr)) return hr;
    hr = coclass->GetRefTypeInfo(ref, source.Put());
    if (FAILED(hr)) return hr;
  }
  if (!source) return CONNECT_E_NOCONNECTION;
  hr = source->GetTypeAttr(&attr);
  if (FAILED(hr)) return hr;
  EventInterface found;
  found.iid = attr->guid;
  const WORD funcs = attr->cFuncs;
  source->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < funcs; ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(source->GetFuncDesc(i, &desc)) || !desc) continue;
    const MEMBERID memid = desc->memid;
    const UINT params = static_cast<UINT>(std::max<SHORT>(desc->cParams, 0));
    source->ReleaseFuncDesc(desc);
    std::vector<std::string> names = NamesOf(source.Get(), memid, params + 1);
    if (names.empty()) continue;
    found.order.push_back(names[0]);
    found.params[memid].assign(names.begin() + 1, names.end());
    found.names[memid] = std::move(names[0]);
  }
  *events = std::move(found);
  return S_OK;
}

// The sink a connection gives the object: each event becomes a call of the
// callback with the event's name. After Detach every event is answered with
// S_OK and nothing is called.
class EventConnection::Sink final : public IDispatch {
 public:
  Sink(const IID& iid, std::map<DISPID, std::string> names, EventCallback callback)
      : iid_(iid), names_(std::move(names)), callback_(std::move(callback)) {}

  void Detach() { callback_ = nullptr; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom({{IID_IUnknown, this}, {IID_IDispatch, this}, {iid_, this}}, riid,
                              ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** typeInfo) override {
    if (typeInfo) *typeInfo = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* dispids) override {
    for (UINT i = 0; dispids && i < count; ++i) dispids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO*, UINT*) override {
    if (result) VariantInit(result);
    if (!callback_) return S_OK;
    const auto found = names_.find(dispid);
    if (found == names_.end()) return DISP_E_MEMBERNOTFOUND;
    const UINT count = params ? params->cArgs : 0;
    if (count > 0 && !params->rgvarg) return E_INVALIDARG;
    try {
      // The callback may disconnect; keep the sink and the callback alive.
      ComPtr<Sink> self(this);
      EventCallback callback = callback_;
      std::vector<VARIANT> args(count);
      for (UINT i = 0; i < count; ++i) {
        std::memcpy(&args[i], &params->rgvarg[count - 1 - i], sizeof(VARIANT));
      }
      return callback(found->second, args.data(), count);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  ~Sink() = default;

  RefCount<> refs_;
  IID iid_;
  std::map<DISPID, std::string> names_;
  EventCallback callback_;
};

EventConnection::~EventConnection() { Disconnect(); }

HRESULT EventConnection::Connect(IDispatch* dispatch, const EventInterface& events,
                                 EventCallback callback) {
  Disconnect();
  if (!dispatch) return E_POINTER;
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = dispatch->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
  if (FAILED(hr)) return hr;
  ComPtr<IConnectionPoint> point;
  hr = container->FindConnectionPoint(events.iid, point.Put());
  if (FAILED(hr)) return hr;
  // The sink starts with the one reference this connection holds.
  Sink* sink = new (std::nothrow) Sink(events.iid, events.names, std::move(callback));
  if (!sink) return E_OUTOFMEMORY;
  DWORD cookie = 0;
  hr = point->Advise(sink, &cookie);
  if (FAILED(hr)) {
    sink->Detach();
    sink->Release();
    return hr;
  }
  point_ = std::move(point);
  sink_ = sink;
  cookie_ = cookie;
  return S_OK;
}

void EventConnection::Disconnect() {
  if (sink_) {
    sink_->Detach();
    if (point_ && cookie_ != 0) point_->Unadvise(cookie_);
    sink_->Release();
  }
  sink_ = nullptr;
  cookie_ = 0;
  point_.Reset();
}

}  // namespace vorn_rt
