// The automation binding: ActiveXObject, late-bound members, VARIANT
// conversion, error messages and event sinks.
//
// A script object for an automation object is a Proxy over a target object
// that holds the object's reference (hidden) and one function per method
// that the object's type information lists (properties become accessors).
// A name the type information does not list is looked up with
// IDispatch::GetIDsOfNames when the script reads it, so that objects without
// type information work too.
//
// Duktape reports script errors with longjmp, which skips C++ destructors.
// Every native function here therefore does its C++ work in an inner scope
// that leaves at most an error on the value stack, and throws only after that
// scope has ended.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "hosts/script/automation_text.h"
#include "hosts/script/engine.h"
#include "hosts/script/script_text.h"
#include "platform/control.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"

namespace vornhost {

// One automation object a script holds. The script object's finalizer
// deletes it; ReleaseAutomation lets go of the reference earlier.
struct ObjectRef {
  ComPtr<IDispatch> dispatch;
};

class EventSink;

struct Automation {
  std::unordered_map<ObjectRef*, std::unique_ptr<ObjectRef>> objects;
  struct Connection {
    ComPtr<IConnectionPoint> point;
    DWORD cookie;
    ComPtr<EventSink> sink;
  };
  std::vector<Connection> connections;
  unsigned nextSink = 1;
};

namespace {

constexpr char kRefKey[] = "\xFF" "ref";         // target: ObjectRef*
constexpr char kTargetKey[] = "\xFF" "target";   // member function: its target
constexpr char kNameKey[] = "\xFF" "name";       // member function: member name
constexpr char kKindKey[] = "\xFF" "kind";       // member function: MemberKind
constexpr char kDispidKey[] = "\xFF" "dispid";   // member function: DISPID, once known
constexpr char kParamsKey[] = "\xFF" "params";   // member function: declared count
constexpr char kOptionalKey[] = "\xFF" "optional";
constexpr char kPrototypeKey[] = "\xFF" "axproto";  // stash: prototype of script objects
constexpr char kHandlerKey[] = "\xFF" "handlers";   // stash: sink id -> handler object
constexpr char kPendingKey[] = "\xFF" "pending";    // stash: error raised by a handler

enum MemberKind { kMethod = 0, kGetter = 1, kSetter = 2 };

// ---- Conversions ----------------------------------------------------------------

// Clears every value of an argument array when it goes out of scope.
class VariantArray {
 public:
  explicit VariantArray(size_t count) : values_(count) {
    for (VARIANT& v : values_) VariantInit(&v);
  }
  ~VariantArray() {
    for (VARIANT& v : values_) VariantClear(&v);
  }
  VariantArray(const VariantArray&) = delete;
  VariantArray& operator=(const VariantArray&) = delete;
  VARIANT* data() { return values_.data(); }
  VARIANT& operator[](size_t i) { return values_[i]; }

 private:
  std::vector<VARIANT> values_;
};

class VariantValue {
 public:
  VariantValue() { VariantInit(&value_); }
  ~VariantValue() { VariantClear(&value_); }
  VariantValue(const VariantValue&) = delete;
  VariantValue& operator=(const VariantValue&) = delete;
  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

ObjectRef* RefOfTarget(duk_context* ctx, duk_idx_t target) {
  if (!duk_is_object(ctx, target)) return nullptr;
  duk_get_prop_string(ctx, target, kRefKey);
  auto* ref = static_cast<ObjectRef*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  return ref;
}

std::string Utf8Of(BSTR text) {
  int cb = 0;
  LPSTR narrow = VornSysStringToA(text, &cb);
  if (!narrow) throw std::bad_alloc();
  std::string result(narrow, static_cast<size_t>(cb));
  CoTaskMemFree(narrow);
  return result;
}

const char* TypeName(duk_context* ctx, duk_idx_t index) {
  if (duk_is_function(ctx, index)) return "a function";
  if (duk_is_array(ctx, index)) return "an array";
  if (duk_is_symbol(ctx, index)) return "a symbol";
  if (duk_is_buffer_data(ctx, index)) return "a buffer";
  return "an object that is not an automation object";
}

// The script value at `index` as a VARIANT. False, with *why set, for a
// value that has no automation form.
bool ToVariant(duk_context* ctx, duk_idx_t index, VARIANT* out, std::string* why) {
  VariantInit(out);
  switch (duk_get_type(ctx, index)) {
    case DUK_TYPE_UNDEFINED:
    case DUK_TYPE_NONE:
      return true;
    case DUK_TYPE_NULL:
      out->vt = VT_NULL;
      return true;
    case DUK_TYPE_BOOLEAN:
      out->vt = VT_BOOL;
      out->boolVal = duk_get_boolean(ctx, index) ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    case DUK_TYPE_NUMBER: {
      const double value = duk_get_number(ctx, index);
      if (std::trunc(value) == value && value >= -2147483648.0 && value <= 2147483647.0) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(value);
      } else {
        out->vt = VT_R8;
        out->dblVal = value;
      }
      return true;
    }
    case DUK_TYPE_STRING: {
      duk_size_t length = 0;
      const char* text = duk_get_lstring(ctx, index, &length);
      const std::string utf8 = EngineToUtf8(text, length);
      BSTR bstr = VornSysAllocStringA(utf8.data(), static_cast<int>(utf8.size()));
      if (!bstr) throw std::bad_alloc();
      out->vt = VT_BSTR;
      out->bstrVal = bstr;
      return true;
    }
    case DUK_TYPE_OBJECT: {
      // A script object of an automation object: the hidden reference is
      // read from the Proxy's target.
      ObjectRef* ref = duk_is_function(ctx, index) ? nullptr : RefOfTarget(ctx, index);
      if (ref) {
        if (!ref->dispatch) {
          *why = "the object has been released";
          return false;
        }
        out->vt = VT_DISPATCH;
        ref->dispatch.CopyTo(&out->pdispVal);
        return true;
      }
      *why = std::string("cannot pass ") + TypeName(ctx, index);
      return false;
    }
    default:
      *why = std::string("cannot pass ") + TypeName(ctx, index);
      return false;
  }
}

void PushObject(duk_context* ctx, IDispatch* dispatch);

// Pushes the script form of `value`. False, with *why set, for a value that
// has none (the stack is unchanged then).
bool PushVariant(duk_context* ctx, const VARIANT& value, std::string* why) {
  VARTYPE vt = value.vt;
  const bool byRef = (vt & VT_BYREF) != 0;
  vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
  if (byRef && !value.byref) {
    *why = "a reference result points nowhere";
    return false;
  }
  switch (vt) {
    case VT_EMPTY:
      duk_push_undefined(ctx);
      return true;
    case VT_NULL:
      duk_push_null(ctx);
      return true;
    case VT_VARIANT:
      if (!byRef) break;
      return PushVariant(ctx, *value.pvarVal, why);
    case VT_BOOL:
      duk_push_boolean(ctx, (byRef ? *value.pboolVal : value.boolVal) != VARIANT_FALSE);
      return true;
    case VT_BSTR:
      PushText(ctx, Utf8Of(byRef ? *value.pbstrVal : value.bstrVal));
      return true;
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* unknown = vt == VT_DISPATCH
                              ? static_cast<IUnknown*>(byRef ? *value.ppdispVal : value.pdispVal)
                              : (byRef ? *value.ppunkVal : value.punkVal);
      if (!unknown) {
        duk_push_null(ctx);
        return true;
      }
      ComPtr<IDispatch> dispatch;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, dispatch.PutVoid()))) {
        *why = "the object it returned cannot be called from a script";
        return false;
      }
      PushObject(ctx, dispatch.Get());
      return true;
    }
    case VT_ERROR:
      duk_push_number(ctx, static_cast<double>(byRef ? *value.plVal : value.scode));
      return true;
    default:
      break;
  }
  // Every other value that is a number: through the runtime's conversion.
  VariantValue number;
  if (FAILED(VariantChangeType(number.get(), &value, 0, VT_R8))) {
    char text[64];
    std::snprintf(text, sizeof text, "its value of type %u has no script form",
                  static_cast<unsigned>(value.vt));
    *why = text;
    return false;
  }
  duk_push_number(ctx, number.get()->dblVal);
  return true;
}

// ---- Calls -------------------------------------------------------------------------

// Takes the error an event handler raised during the last call, if any, and
// leaves it on the stack. True when there was one.
bool TakePendingError(duk_context* ctx) {
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kPendingKey);
  if (duk_is_undefined(ctx, -1)) {
    duk_pop_2(ctx);
    return false;
  }
  duk_del_prop_string(ctx, -2, kPendingKey);
  duk_remove(ctx, -2);
  return true;
}

struct CallInfo {
  ObjectRef* ref;
  std::string name;
  MemberKind kind;
  DISPID dispid;
  bool dispidKnown;
  int params;    // declared parameters, -1 when unknown
  int optional;  // of which optional
};

// Resolves the DISPID of member `name` through IDispatch::GetIDsOfNames.
HRESULT IdOfName(IDispatch* dispatch, const std::string& name, DISPID* dispid) {
  BSTR wide = VornSysAllocStringA(name.data(), static_cast<int>(name.size()));
  if (!wide) return E_OUTOFMEMORY;
  LPOLESTR names[1] = {wide};
  const HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, dispid);
  SysFreeString(wide);
  return hr;
}

// Calls the member with the script arguments at 0 .. nargs-1 and pushes the
// result. Returns false with an error pushed instead.
bool CallMember(duk_context* ctx, const CallInfo& call, duk_idx_t nargs) {
  std::string message;
  {
    IDispatch* dispatch = call.ref ? call.ref->dispatch.Get() : nullptr;
    if (!dispatch) {
      message = call.name + ": the object has been released";
    } else {
      ComPtr<IDispatch> hold(dispatch);  // a handler may drop the script's reference
      DISPID dispid = call.dispid;
      HRESULT hr = S_OK;
      if (!call.dispidKnown) hr = IdOfName(dispatch, call.name, &dispid);
      const auto count = static_cast<size_t>(nargs);
      VariantArray args(count);
      for (size_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
        std::string why;
        // rgvarg holds the arguments last first.
        if (!ToVariant(ctx, static_cast<duk_idx_t>(i), &args[count - 1 - i], &why)) {
          message = call.name + ": argument " + std::to_string(i + 1) + ": " + why;
          break;
        }
      }
      if (message.empty() && FAILED(hr)) {
        message = DescribeFailure(call.name, hr, nullptr);
      }
      if (message.empty()) {
        if (!call.dispidKnown) {
          // Remember the DISPID on the member function for the next call.
          duk_push_current_function(ctx);
          duk_push_int(ctx, dispid);
          duk_put_prop_string(ctx, -2, kDispidKey);
          duk_pop(ctx);
        }
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(count), 0};
        WORD flags = DISPATCH_METHOD;
        if (call.kind == kGetter) flags = DISPATCH_PROPERTYGET;
        if (call.kind == kMethod && call.params < 0) flags |= DISPATCH_PROPERTYGET;
        if (call.kind == kSetter) {
          flags = DISPATCH_PROPERTYPUT;
          params.rgdispidNamedArgs = &putId;
          params.cNamedArgs = 1;
        }
        VariantValue result;
        EXCEPINFO exception{};
        UINT argError = 0;
        hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                              result.get(), &exception, &argError);
        // An event handler that failed, or quit, during the call decides how
        // the call ends.
        if (TakePendingError(ctx)) {
          FreeExceptionInfo(&exception);
          return false;
        }
        if (EngineOf(ctx)->quitting) {
          FreeExceptionInfo(&exception);
          PushQuitError(ctx);
          return false;
        }
        if (FAILED(hr)) {
          CallDetails details;
          details.argCount = static_cast<int>(count);
          details.declared = call.params;
          details.optional = call.optional;
          if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) {
            details.argument = argError < count ? static_cast<int>(count - argError) : 0;
          }
          message = DescribeFailure(call.name, hr, hr == DISP_E_EXCEPTION ? &exception : nullptr,
                                    details);
        } else {
          std::string why;
          if (!PushVariant(ctx, *result.get(), &why)) {
            message = call.name + ": the result cannot be used: " + why;
          }
        }
        FreeExceptionInfo(&exception);
      }
    }
  }
  if (message.empty()) return true;
  PushScriptError(ctx, message);
  return false;
}

// The CallInfo of the running member function.
CallInfo CurrentCall(duk_context* ctx) {
  CallInfo call{};
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, kTargetKey);
  call.ref = RefOfTarget(ctx, -1);
  duk_pop(ctx);
  duk_get_prop_string(ctx, -1, kNameKey);
  duk_size_t length = 0;
  const char* name = duk_get_lstring(ctx, -1, &length);
  call.name = name ? EngineToUtf8(name, length) : std::string();
  duk_pop(ctx);
  duk_get_prop_string(ctx, -1, kKindKey);
  call.kind = static_cast<MemberKind>(duk_get_int_default(ctx, -1, kMethod));
  duk_pop(ctx);
  duk_get_prop_string(ctx, -1, kDispidKey);
  call.dispidKnown = duk_is_number(ctx, -1);
  call.dispid = duk_get_int_default(ctx, -1, DISPID_UNKNOWN);
  duk_pop(ctx);
  duk_get_prop_string(ctx, -1, kParamsKey);
  call.params = duk_get_int_default(ctx, -1, -1);
  duk_pop(ctx);
  duk_get_prop_string(ctx, -1, kOptionalKey);
  call.optional = duk_get_int_default(ctx, -1, 0);
  duk_pop_2(ctx);
  return call;
}

duk_ret_t MemberFunction(duk_context* ctx) {
  if (EngineOf(ctx)->quitting) {
    PushQuitError(ctx);
    return duk_throw(ctx);
  }
  duk_idx_t nargs = duk_get_top(ctx);
  bool ok;
  {
    const CallInfo call = CurrentCall(ctx);
    // Accessors are called with the property name after their arguments.
    if (call.kind == kGetter) nargs = 0;
    if (call.kind == kSetter) nargs = nargs > 0 ? 1 : 0;
    ok = CallMember(ctx, call, nargs);
  }
  if (!ok) return duk_throw(ctx);
  return 1;
}

// Pushes a member function of the target at `target`.
void PushMemberFunction(duk_context* ctx, duk_idx_t target, const std::string& name,
                        MemberKind kind, int params, int optional) {
  target = duk_normalize_index(ctx, target);
  duk_push_c_function(ctx, MemberFunction, DUK_VARARGS);
  duk_dup(ctx, target);
  duk_put_prop_string(ctx, -2, kTargetKey);
  PushText(ctx, name);
  duk_put_prop_string(ctx, -2, kNameKey);
  duk_push_int(ctx, kind);
  duk_put_prop_string(ctx, -2, kKindKey);
  duk_push_int(ctx, params);
  duk_put_prop_string(ctx, -2, kParamsKey);
  duk_push_int(ctx, optional);
  duk_put_prop_string(ctx, -2, kOptionalKey);
  // The function's own name, for stack traces and String(f).
  duk_push_string(ctx, "name");
  PushText(ctx, name);
  duk_def_prop(ctx, -3, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_FORCE);
}

// ---- Script objects ------------------------------------------------------------------

duk_ret_t FinalizeObject(duk_context* ctx) {
  Engine* engine = EngineOf(ctx);
  duk_get_prop_string(ctx, 0, kRefKey);
  auto* ref = static_cast<ObjectRef*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  if (ref && engine && engine->automation) engine->automation->objects.erase(ref);
  duk_push_pointer(ctx, nullptr);
  duk_put_prop_string(ctx, 0, kRefKey);
  return 0;
}

// get trap: the target's members (and the prototype's) first; another name
// is asked of the object itself, and when it knows the name, a member
// function for it is made and kept on the target.
duk_ret_t GetTrap(duk_context* ctx) {
  // [target key receiver]
  duk_dup(ctx, 1);
  const bool listed = duk_has_prop(ctx, 0);
  if (listed || duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) {
    duk_dup(ctx, 1);
    duk_get_prop(ctx, 0);
    return 1;
  }
  {
    ObjectRef* ref = RefOfTarget(ctx, 0);
    duk_size_t length = 0;
    const char* key = duk_get_lstring(ctx, 1, &length);
    const std::string name = EngineToUtf8(key, length);
    DISPID dispid = DISPID_UNKNOWN;
    if (ref && ref->dispatch && SUCCEEDED(IdOfName(ref->dispatch.Get(), name, &dispid))) {
      duk_dup(ctx, 1);
      PushMemberFunction(ctx, 0, name, kMethod, -1, 0);
      duk_push_int(ctx, dispid);
      duk_put_prop_string(ctx, -2, kDispidKey);
      duk_dup(ctx, -1);
      duk_insert(ctx, -3);  // [... fn key fn]
      duk_put_prop(ctx, 0);
      return 1;
    }
  }
  duk_push_undefined(ctx);
  return 1;
}

struct MemberDesc {
  std::string name;
  MemberKind kind;
  int params;
  int optional;
};

// The members the type information of `dispatch` lists; empty when it has
// none.
std::vector<MemberDesc> DescribeMembers(IDispatch* dispatch) {
  std::vector<MemberDesc> members;
  UINT count = 0;
  if (FAILED(dispatch->GetTypeInfoCount(&count)) || count == 0) return members;
  ComPtr<ITypeInfo> info;
  if (FAILED(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put())) || !info) return members;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr)) || !attr) return members;
  const WORD funcs = attr->cFuncs;
  info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < funcs; ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(info->GetFuncDesc(i, &desc)) || !desc) continue;
    const MEMBERID memid = desc->memid;
    const INVOKEKIND invkind = desc->invkind;
    const int params = desc->cParams;
    int optional = desc->cParamsOpt;
    int flagged = 0;
    for (int p = 0; desc->lprgelemdescParam && p < params; ++p) {
      if (desc->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FOPT) ++flagged;
    }
    if (flagged > optional) optional = flagged;
    const bool restricted = (desc->wFuncFlags & FUNCFLAG_FRESTRICTED) != 0;
    info->ReleaseFuncDesc(desc);
    if (restricted) continue;
    BSTR name = nullptr;
    UINT got = 0;
    if (FAILED(info->GetNames(memid, &name, 1, &got)) || got == 0) continue;
    std::string text = Utf8Of(name);
    SysFreeString(name);
    MemberKind kind = kMethod;
    if (invkind == INVOKE_PROPERTYGET) kind = kGetter;
    if (invkind == INVOKE_PROPERTYPUT || invkind == INVOKE_PROPERTYPUTREF) kind = kSetter;
    members.push_back({std::move(text), kind, params, optional});
  }
  return members;
}

// Pushes the script object of `dispatch` (adds a reference).
void PushObject(duk_context* ctx, IDispatch* dispatch) {
  Engine* engine = EngineOf(ctx);
  auto owned = std::make_unique<ObjectRef>();
  owned->dispatch = ComPtr<IDispatch>(dispatch);
  ObjectRef* ref = owned.get();
  engine->automation->objects.emplace(ref, std::move(owned));
  const std::vector<MemberDesc> members = DescribeMembers(dispatch);

  duk_push_object(ctx);
  const duk_idx_t target = duk_get_top_index(ctx);
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kPrototypeKey);
  duk_set_prototype(ctx, target);
  duk_pop(ctx);
  duk_push_pointer(ctx, ref);
  duk_put_prop_string(ctx, target, kRefKey);
  duk_push_c_function(ctx, FinalizeObject, 1);
  duk_set_finalizer(ctx, target);

  for (const MemberDesc& m : members) {
    PushText(ctx, m.name);
    if (m.kind == kMethod) {
      PushMemberFunction(ctx, target, m.name, kMethod, m.params, m.optional);
      duk_def_prop(ctx, target,
                   DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_ENUMERABLE |
                       DUK_DEFPROP_SET_CONFIGURABLE | DUK_DEFPROP_FORCE);
    } else {
      PushMemberFunction(ctx, target, m.name, m.kind, m.params, m.optional);
      duk_def_prop(ctx, target,
                   (m.kind == kGetter ? DUK_DEFPROP_HAVE_GETTER : DUK_DEFPROP_HAVE_SETTER) |
                       DUK_DEFPROP_SET_ENUMERABLE | DUK_DEFPROP_SET_CONFIGURABLE |
                       DUK_DEFPROP_FORCE);
    }
  }

  duk_push_object(ctx);  // handler
  duk_push_c_function(ctx, GetTrap, 3);
  duk_put_prop_string(ctx, -2, "get");
  duk_push_proxy(ctx, 0);
}

// ---- ActiveXObject --------------------------------------------------------------

duk_ret_t ActiveXObject(duk_context* ctx) {
  Engine* engine = EngineOf(ctx);
  if (engine->quitting) {
    PushQuitError(ctx);
    return duk_throw(ctx);
  }
  if (!duk_is_string(ctx, 0) || duk_is_symbol(ctx, 0)) {
    PushScriptError(ctx, "ActiveXObject: give a ProgID or a \"{CLSID}\" string");
    return duk_throw(ctx);
  }
  bool ok = false;
  {
    duk_size_t length = 0;
    const char* text = duk_get_lstring(ctx, 0, &length);
    const std::string name = EngineToUtf8(text, length);
    const std::string member = "ActiveXObject(\"" + name + "\")";
    CLSID clsid{};
    HRESULT hr = name.find('\0') != std::string::npos ? CO_E_CLASSSTRING
                                                       : CLSIDFromProgID(name.c_str(), &clsid);
    ComPtr<IDispatch> dispatch;
    if (SUCCEEDED(hr)) {
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                            dispatch.PutVoid());
    }
    if (SUCCEEDED(hr) && !dispatch) hr = E_NOINTERFACE;
    if (FAILED(hr)) {
      PushScriptError(ctx, DescribeFailure(member, hr, nullptr));
    } else {
      PushObject(ctx, dispatch.Get());
      ok = true;
    }
  }
  if (!ok) return duk_throw(ctx);
  return 1;
}

duk_ret_t ObjectToString(duk_context* ctx) {
  duk_push_string(ctx, "[object ActiveXObject]");
  return 1;
}

// ---- Events -------------------------------------------------------------------------

// The event interface of `dispatch`: the default source interface of its
// class, as its class information tells.
HRESULT FindEventInterface(IDispatch* dispatch, ComPtr<ITypeInfo>* events) {
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
  for (UINT i = 0; i < impls; ++i) {
    INT flags = 0;
    if (FAILED(coclass->GetImplTypeFlags(i, &flags))) continue;
    if ((flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) !=
        (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) {
      continue;
    }
    HREFTYPE ref = 0;
    hr = coclass->GetRefTypeOfImplType(i, &ref);
    if (FAILED(hr)) return hr;
    return coclass->GetRefTypeInfo(ref, events->Put());
  }
  return CONNECT_E_NOCONNECTION;
}

}  // namespace

// The sink a connection gives the object: it turns each event into a call of
// the handler object's method of the same name. Events without a handler
// method are ignored. An error a handler raises is kept and thrown to the
// script when the call that fired the event returns.
class EventSink final : public IDispatch {
 public:
  EventSink(Engine* engine, const IID& iid, unsigned id, std::map<DISPID, std::string> names)
      : engine_(engine), iid_(iid), id_(id), names_(std::move(names)) {}

  // After this the sink answers every event with S_OK and touches nothing.
  void Detach() { engine_ = nullptr; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom({{IID_IUnknown, this}, {IID_IDispatch, this}, {iid_, this}}, riid, ppv);
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
    if (!engine_ || !engine_->ctx || engine_->quitting) return S_OK;
    const auto found = names_.find(dispid);
    if (found == names_.end()) return DISP_E_MEMBERNOTFOUND;
    if (params && params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
    try {
      return Fire(found->second, params);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  ~EventSink() = default;

  // [handler name args...] -> the handler method's result. Runs as a safe
  // call: whatever the script does, no error escapes into the caller's frames.
  // A safe call sees the caller's whole stack: the values it is given are
  // the topmost `count` + 2, and udata carries `count`.
  static duk_ret_t CallHandler(duk_context* ctx, void* udata) {
    const auto count = static_cast<duk_idx_t>(*static_cast<const UINT*>(udata));
    const duk_idx_t handler = duk_get_top(ctx) - count - 2;
    duk_dup(ctx, handler + 1);
    duk_get_prop(ctx, handler);  // handler[name]
    if (!duk_is_callable(ctx, -1)) return 0;
    duk_insert(ctx, handler + 2);  // [handler name fn args...]
    duk_dup(ctx, handler);
    duk_insert(ctx, handler + 3);  // [handler name fn handler args...]
    duk_call_method(ctx, count);
    return 0;
  }

  HRESULT Fire(const std::string& name, DISPPARAMS* params) {
    duk_context* ctx = engine_->ctx;
    const duk_idx_t base = duk_get_top(ctx);
    duk_push_global_stash(ctx);
    duk_get_prop_string(ctx, -1, kHandlerKey);
    duk_get_prop_index(ctx, -1, id_);  // the handler object
    duk_remove(ctx, -2);
    duk_remove(ctx, -2);
    PushText(ctx, name);
    const UINT count = params ? params->cArgs : 0;
    for (UINT i = 0; i < count; ++i) {
      std::string why;
      if (!PushVariant(ctx, params->rgvarg[count - 1 - i], &why)) duk_push_undefined(ctx);
    }
    HRESULT hr = S_OK;
    UINT passed = count;
    if (duk_safe_call(ctx, CallHandler, &passed, static_cast<duk_idx_t>(count) + 2, 1) !=
        DUK_EXEC_SUCCESS) {
      // Keep the first error for the script; later ones are dropped.
      duk_push_global_stash(ctx);
      if (!duk_has_prop_string(ctx, -1, kPendingKey)) {
        duk_dup(ctx, -2);
        duk_put_prop_string(ctx, -2, kPendingKey);
      }
      duk_pop(ctx);
      hr = DISP_E_EXCEPTION;
    }
    duk_set_top(ctx, base);
    return hr;
  }

  RefCount<> refs_;
  Engine* engine_;
  IID iid_;
  unsigned id_;
  std::map<DISPID, std::string> names_;
};

namespace {

// [handlers] -> the name of the first own method of `handlers` that is not
// one of the events in *udata (a std::map<DISPID, std::string>), or
// undefined. A safe call: a getter that throws fails the call, nothing more.
duk_ret_t FirstUnknownHandler(duk_context* ctx, void* udata) {
  const auto& names = *static_cast<const std::map<DISPID, std::string>*>(udata);
  // A safe call sees the caller's whole stack; the handlers are on top.
  duk_enum(ctx, -1, DUK_ENUM_OWN_PROPERTIES_ONLY);
  while (duk_next(ctx, -1, 1)) {
    if (duk_is_callable(ctx, -1) && duk_is_string(ctx, -2)) {
      duk_size_t length = 0;
      const char* key = duk_get_lstring(ctx, -2, &length);
      bool known = false;
      for (const auto& entry : names) {
        known = known || EngineToUtf8(key, length) == entry.second;
      }
      if (!known) {
        duk_pop(ctx);
        return 1;  // the key
      }
    }
    duk_pop_2(ctx);
  }
  duk_push_undefined(ctx);
  return 1;
}

// host.connect(object, handlers)
duk_ret_t Connect(duk_context* ctx) {
  Engine* engine = EngineOf(ctx);
  if (engine->quitting) {
    PushQuitError(ctx);
    return duk_throw(ctx);
  }
  ObjectRef* ref = duk_is_function(ctx, 0) ? nullptr : RefOfTarget(ctx, 0);
  if (!ref) {
    PushScriptError(ctx, "host.connect: the first argument must be an automation object");
    return duk_throw(ctx);
  }
  if (!duk_is_object(ctx, 1)) {
    PushScriptError(ctx, "host.connect: the second argument must be an object of handlers");
    return duk_throw(ctx);
  }
  bool failed;
  {
    std::string message;
    Automation* automation = engine->automation;
    ComPtr<ITypeInfo> events;
    std::map<DISPID, std::string> names;
    std::string list;  // the event names in the order the type information gives
    IID iid{};
    HRESULT hr = ref->dispatch ? FindEventInterface(ref->dispatch.Get(), &events) : E_POINTER;
    if (SUCCEEDED(hr)) {
      TYPEATTR* attr = nullptr;
      hr = events->GetTypeAttr(&attr);
      if (SUCCEEDED(hr)) {
        iid = attr->guid;
        const WORD funcs = attr->cFuncs;
        events->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < funcs; ++i) {
          FUNCDESC* desc = nullptr;
          if (FAILED(events->GetFuncDesc(i, &desc))) continue;
          const MEMBERID memid = desc->memid;
          events->ReleaseFuncDesc(desc);
          BSTR name = nullptr;
          UINT got = 0;
          if (SUCCEEDED(events->GetNames(memid, &name, 1, &got)) && got == 1) {
            names[memid] = Utf8Of(name);
            list += (list.empty() ? "" : ", ") + names[memid];
          }
          SysFreeString(name);
        }
      }
    }
    // Every function of the handler object must name an event.
    if (SUCCEEDED(hr)) {
      duk_dup(ctx, 1);
      if (duk_safe_call(ctx, FirstUnknownHandler, &names, 1, 1) != DUK_EXEC_SUCCESS) {
        message = "host.connect: " + ValueText(ctx, -1);
      } else if (!duk_is_undefined(ctx, -1)) {
        message = "host.connect: the object has no event \"" + ValueText(ctx, -1) +
                  "\" (its events: " + list + ")";
      }
      duk_pop(ctx);
    }
    ComPtr<IConnectionPoint> point;
    if (message.empty() && SUCCEEDED(hr)) {
      ComPtr<IConnectionPointContainer> container;
      hr = ref->dispatch->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
      if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, point.Put());
    }
    if (message.empty() && SUCCEEDED(hr)) {
      const unsigned id = automation->nextSink++;
      ComPtr<EventSink> sink = ComPtr<EventSink>::Adopt(new EventSink(engine, iid, id, names));
      duk_push_global_stash(ctx);
      duk_get_prop_string(ctx, -1, kHandlerKey);
      duk_dup(ctx, 1);
      duk_put_prop_index(ctx, -2, id);
      duk_pop_2(ctx);
      DWORD cookie = 0;
      hr = point->Advise(sink.Get(), &cookie);
      if (SUCCEEDED(hr)) {
        automation->connections.push_back({point, cookie, sink});
      } else {
        sink->Detach();
      }
    }
    if (message.empty() && FAILED(hr)) message = DescribeFailure("host.connect", hr, nullptr);
    failed = !message.empty();
    if (failed) PushScriptError(ctx, message);
  }
  if (failed) return duk_throw(ctx);
  return 0;
}

}  // namespace

// ---- Installation ---------------------------------------------------------------------

void InstallAutomation(Engine* engine, duk_idx_t hostIndex) {
  engine->automation = new Automation();
  duk_context* ctx = engine->ctx;
  hostIndex = duk_normalize_index(ctx, hostIndex);

  duk_push_global_stash(ctx);
  duk_push_object(ctx);  // the prototype of script objects
  duk_push_c_function(ctx, ObjectToString, 0);
  duk_put_prop_string(ctx, -2, "toString");
  duk_put_prop_string(ctx, -2, kPrototypeKey);
  duk_push_array(ctx);
  duk_put_prop_string(ctx, -2, kHandlerKey);
  duk_pop(ctx);

  duk_push_global_object(ctx);
  duk_push_c_function(ctx, ActiveXObject, 1);
  duk_put_prop_string(ctx, -2, "ActiveXObject");
  duk_pop(ctx);

  duk_push_c_function(ctx, Connect, 2);
  duk_put_prop_string(ctx, hostIndex, "connect");
}

void ReleaseAutomation(Engine* engine) {
  Automation* automation = engine->automation;
  if (!automation) return;
  // Disconnect first: the objects hold the sinks, and the sinks must not call
  // into the script once the objects are gone.
  std::vector<Automation::Connection> connections;
  connections.swap(automation->connections);
  for (Automation::Connection& c : connections) {
    c.sink->Detach();
    c.point->Unadvise(c.cookie);
  }
  connections.clear();
  for (auto& entry : automation->objects) entry.second->dispatch.Reset();
}

void DestroyAutomation(Engine* engine) {
  ReleaseAutomation(engine);
  delete engine->automation;
  engine->automation = nullptr;
}

}  // namespace vornhost
