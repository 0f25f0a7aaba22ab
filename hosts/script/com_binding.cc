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

#include "hosts/script/engine.h"
#include "hosts/script/script_text.h"
#include "platform/control.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/automation_client.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"

namespace vornhost {

using vorn_rt::CallDetails;
using vorn_rt::CallFault;
using vorn_rt::DescribeFailure;
using vorn_rt::MemberKind;

// One automation object a script holds. The script object's finalizer
// deletes it; ReleaseAutomation lets go of the reference earlier.
struct ObjectRef {
  ComPtr<IDispatch> dispatch;
};

struct Automation {
  std::unordered_map<ObjectRef*, std::unique_ptr<ObjectRef>> objects;
  std::vector<std::unique_ptr<vorn_rt::EventConnection>> connections;
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

constexpr MemberKind kMethod = MemberKind::kMethod;
constexpr MemberKind kGetter = MemberKind::kGetter;
constexpr MemberKind kSetter = MemberKind::kSetter;

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
      PushText(ctx, vorn_rt::Utf8OfBstr(byRef ? *value.pbstrVal : value.bstrVal));
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
      if (!call.dispidKnown) hr = vorn_rt::IdOfName(dispatch, call.name, &dispid);
      const auto count = static_cast<size_t>(nargs);
      VariantArray args(count);
      for (size_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
        std::string why;
        if (!ToVariant(ctx, static_cast<duk_idx_t>(i), &args[i], &why)) {
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
        VariantValue result;
        CallFault fault;
        hr = vorn_rt::InvokeMember(dispatch, dispid, call.kind, args.data(), count, result.get(),
                                   &fault, call.kind == kMethod && call.params < 0);
        // An event handler that failed, or quit, during the call decides how
        // the call ends.
        if (TakePendingError(ctx)) return false;
        if (EngineOf(ctx)->quitting) {
          PushQuitError(ctx);
          return false;
        }
        if (FAILED(hr)) {
          CallDetails details;
          details.argCount = static_cast<int>(count);
          details.declared = call.params;
          details.optional = call.optional;
          details.argument = fault.argument;
          message = DescribeFailure(call.name, hr,
                                    hr == DISP_E_EXCEPTION ? &fault.exception : nullptr, details);
        } else {
          std::string why;
          if (!PushVariant(ctx, *result.get(), &why)) {
            message = call.name + ": the result cannot be used: " + why;
          }
        }
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
  call.kind = static_cast<MemberKind>(duk_get_int_default(ctx, -1, static_cast<int>(kMethod)));
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
  duk_push_int(ctx, static_cast<int>(kind));
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
    if (ref && ref->dispatch && SUCCEEDED(vorn_rt::IdOfName(ref->dispatch.Get(), name, &dispid))) {
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

// Pushes the script object of `dispatch` (adds a reference).
void PushObject(duk_context* ctx, IDispatch* dispatch) {
  Engine* engine = EngineOf(ctx);
  auto owned = std::make_unique<ObjectRef>();
  owned->dispatch = ComPtr<IDispatch>(dispatch);
  ObjectRef* ref = owned.get();
  engine->automation->objects.emplace(ref, std::move(owned));
  const std::vector<vorn_rt::AutomationMember> members = vorn_rt::DescribeMembers(dispatch);

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

  for (const vorn_rt::AutomationMember& m : members) {
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

// [handler name args...] -> the handler method's result. Runs as a safe
// call: whatever the script does, no error escapes into the caller's frames.
// A safe call sees the caller's whole stack: the values it is given are
// the topmost `count` + 2, and udata carries `count`.
duk_ret_t CallHandler(duk_context* ctx, void* udata) {
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

// Turns event `name` of connection `id` into a call of the handler object's
// method of the same name. Events without a handler method are ignored. An
// error a handler raises is kept and thrown to the script when the call that
// fired the event returns.
HRESULT FireEvent(Engine* engine, unsigned id, const std::string& name, const VARIANT* args,
                  size_t count) {
  if (!engine->ctx || engine->quitting) return S_OK;
  duk_context* ctx = engine->ctx;
  const duk_idx_t base = duk_get_top(ctx);
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kHandlerKey);
  duk_get_prop_index(ctx, -1, id);  // the handler object
  duk_remove(ctx, -2);
  duk_remove(ctx, -2);
  PushText(ctx, name);
  for (size_t i = 0; i < count; ++i) {
    std::string why;
    if (!PushVariant(ctx, args[i], &why)) duk_push_undefined(ctx);
  }
  HRESULT hr = S_OK;
  UINT passed = static_cast<UINT>(count);
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

}  // namespace

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
    vorn_rt::EventInterface events;
    HRESULT hr =
        ref->dispatch ? vorn_rt::FindEventInterface(ref->dispatch.Get(), &events) : E_POINTER;
    // Every function of the handler object must name an event.
    if (SUCCEEDED(hr)) {
      duk_dup(ctx, 1);
      if (duk_safe_call(ctx, FirstUnknownHandler, &events.names, 1, 1) != DUK_EXEC_SUCCESS) {
        message = "host.connect: " + ValueText(ctx, -1);
      } else if (!duk_is_undefined(ctx, -1)) {
        std::string list;  // the event names in the order the type information gives
        for (const std::string& name : events.order) list += (list.empty() ? "" : ", ") + name;
        message = "host.connect: the object has no event \"" + ValueText(ctx, -1) +
                  "\" (its events: " + list + ")";
      }
      duk_pop(ctx);
    }
    if (message.empty() && SUCCEEDED(hr)) {
      const unsigned id = automation->nextSink++;
      duk_push_global_stash(ctx);
      duk_get_prop_string(ctx, -1, kHandlerKey);
      duk_dup(ctx, 1);
      duk_put_prop_index(ctx, -2, id);
      duk_pop_2(ctx);
      auto connection = std::make_unique<vorn_rt::EventConnection>();
      hr = connection->Connect(ref->dispatch.Get(), events,
                               [engine, id](const std::string& name, const VARIANT* args,
                                            size_t count) {
                                 return FireEvent(engine, id, name, args, count);
                               });
      if (SUCCEEDED(hr)) automation->connections.push_back(std::move(connection));
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
  std::vector<std::unique_ptr<vorn_rt::EventConnection>> connections;
  connections.swap(automation->connections);
  for (auto& c : connections) c->Disconnect();
  connections.clear();
  for (auto& entry : automation->objects) entry.second->dispatch.Reset();
}

void DestroyAutomation(Engine* engine) {
  ReleaseAutomation(engine);
  delete engine->automation;
  engine->automation = nullptr;
}

}  // namespace vornhost
