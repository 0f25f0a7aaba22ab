// The Node.js binding of the platform's automation objects: the ActiveXObject
// class, connect and disconnect for events, and release.
//
// A script object of an automation object is an ActiveXObject instance that
// wraps one Binding. Its members are own properties, made from the object's
// type information when the instance is made: a method is a function bound to
// the object, a property an accessor pair. Every member function carries a
// link back to its object, so that a function the script keeps keeps the
// object (and so the Binding its data points into) alive. A name that is not
// an own member reaches, through the prototype chain, a proxy that index.js
// sets up; it asks the object for the name (memberByName).
//
// Each Node environment (the main thread and every worker thread) loads the
// addon once and gets its own Environment: it initialises the component
// runtime on its thread, knows the Bindings made there, and releases them
// all, then uninitialises the runtime, when the environment shuts down.
//
// Errors are thrown as C++ exceptions (Napi::Error) that node-addon-api turns
// into JavaScript exceptions at the boundary. No C++ exception crosses a
// call from the automation object into the binding (the event callback).

#include <napi.h>
#include <stdio_ext.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/automation.h"
#include "platform/runtime.h"
#include "runtime/automation_client.h"
#include "runtime/com_ptr.h"

namespace vorn_node {
namespace {

using vorn_rt::AutomationMember;
using vorn_rt::MemberKind;

// Marks the instances of ActiveXObject that the binding itself made.
constexpr napi_type_tag kObjectTag = {0x7d0b58e23c1a4f0eULL, 0x9b6d2a5c8e1f4c11ULL};

class Binding;
struct Connection;

// ---- Per-environment state -------------------------------------------------------------

// What one Node environment holds. Lives as long as the environment's
// instance data or any Binding made in it, whichever is last.
struct Environment {
  napi_env env = nullptr;
  bool runtimeStarted = false;
  bool instanceGone = false;            // the environment's instance data was finalized
  bool closing = false;                 // the environment is shutting down
  Napi::FunctionReference constructor;  // ActiveXObject
  Napi::Reference<Napi::Symbol> ownerKey;  // member function -> its object
  std::set<Binding*> bindings;
  std::map<uint32_t, Connection*> connections;
  uint32_t nextConnection = 1;
  IDispatch* adopt = nullptr;   // handed to the constructor by WrapDispatch
  int callDepth = 0;            // automation calls running on this thread
  Napi::Reference<Napi::Value> pendingError;  // raised by an event handler

  void ReleaseAll();
};

// One event connection: the handler object and the runtime's connection.
struct Connection {
  uint32_t id = 0;
  Binding* binding = nullptr;
  Napi::ObjectReference handlers;
  vorn_rt::EventConnection link;
};

// ---- Conversions ---------------------------------------------------------------------

// Clears the VARIANTs of a call's arguments when it goes out of scope.
using ArgumentList = vorn_rt::VariantArgs;
using VariantValue = vorn_rt::ScopedVariant;

Environment* EnvironmentOf(Napi::Env env) { return env.GetInstanceData<Environment>(); }

// The error a failed call throws: `message`, with the member's name in
// `member` and, when there is one, the result code as an unsigned number in
// `hresult`.
Napi::Error CallError(Napi::Env env, const std::string& message, const std::string& member,
                      HRESULT hr, bool hasCode = true, bool typeError = false) {
  Napi::Error error = typeError ? Napi::TypeError::New(env, message)
                                : Napi::Error::New(env, message);
  if (hasCode) {
    error.Set("hresult", Napi::Number::New(env, static_cast<double>(static_cast<uint32_t>(hr))));
  }
  error.Set("member", Napi::String::New(env, member));
  return error;
}

Napi::Error ReleasedError(Napi::Env env, const std::string& member) {
  return CallError(env, member + ": the object has been released", member, S_OK, false);
}

Binding* BindingOf(Napi::Value value);
Napi::Value WrapDispatch(Napi::Env env, IDispatch* dispatch);

const char* KindOfValue(Napi::Value value) {
  switch (value.Type()) {
    case napi_function:
      return "a function";
    case napi_symbol:
      return "a symbol";
    case napi_bigint:
      return "a bigint";
    case napi_external:
      return "an external value";
    default:
      break;
  }
  if (value.IsArray()) return "an array";
  if (value.IsBuffer() || value.IsTypedArray() || value.IsArrayBuffer()) return "a buffer";
  return "an object that is not an automation object";
}

// `value` as a VARIANT (owned by *out). False, with *why set, for a value
// that has no automation form.
bool ToVariant(Napi::Value value, VARIANT* out, std::string* why);

// The script form of `value`. False, with *why set, for a value that has
// none.
bool FromVariant(Napi::Env env, const VARIANT& value, Napi::Value* out, std::string* why) {
  VARTYPE vt = value.vt;
  const bool byRef = (vt & VT_BYREF) != 0;
  vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
  if (byRef && !value.byref) {
    *why = "a reference result points nowhere";
    return false;
  }
  switch (vt) {
    case VT_EMPTY:
      *out = env.Undefined();
      return true;
    case VT_NULL:
      *out = env.Null();
      return true;
    case VT_VARIANT:
      if (!byRef) break;
      return FromVariant(env, *value.pvarVal, out, why);
    case VT_BOOL:
      *out = Napi::Boolean::New(env, (byRef ? *value.pboolVal : value.boolVal) != VARIANT_FALSE);
      return true;
    case VT_BSTR: {
      BSTR text = byRef ? *value.pbstrVal : value.bstrVal;
      *out = Napi::String::New(env, text ? text : u"", text ? SysStringLen(text) : 0);
      return true;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* unknown = vt == VT_DISPATCH
                              ? static_cast<IUnknown*>(byRef ? *value.ppdispVal : value.pdispVal)
                              : (byRef ? *value.ppunkVal : value.punkVal);
      if (!unknown) {
        *out = env.Null();
        return true;
      }
      ComPtr<IDispatch> dispatch;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, dispatch.PutVoid()))) {
        *why = "the object it returned cannot be called from a script";
        return false;
      }
      *out = WrapDispatch(env, dispatch.Get());
      return true;
    }
    case VT_ERROR:
      *out = Napi::Number::New(env, static_cast<double>(byRef ? *value.plVal : value.scode));
      return true;
    default:
      break;
  }
  // Every other value that is a number (all the integer types among them).
  VariantValue number;
  if (FAILED(VariantChangeType(number.get(), &value, 0, VT_R8))) {
    *why = "its value of type " + std::to_string(value.vt) + " has no script form";
    return false;
  }
  *out = Napi::Number::New(env, number.get()->dblVal);
  return true;
}

// ---- Bindings ------------------------------------------------------------------------

// The member functions' data: which member of which Binding.
struct MemberSlot {
  Binding* binding;
  int method = -1;  // index into members, -1 for none
  int getter = -1;
  int setter = -1;
};

class Binding final : public Napi::ObjectWrap<Binding> {
 public:
  static Napi::Function DefineClass(Napi::Env env) {
    return ObjectWrap<Binding>::DefineClass(env, "ActiveXObject", {});
  }

  // new ActiveXObject(progIdOrClsid), or an instance for the IDispatch that
  // WrapDispatch hands over.
  explicit Binding(const Napi::CallbackInfo& info) : ObjectWrap<Binding>(info) {
    Napi::Env env = info.Env();
    environment_ = EnvironmentOf(env);
    Napi::Object self = info.This().As<Napi::Object>();
    self.TypeTag(&kObjectTag);
    if (environment_->adopt) {
      dispatch_ = ComPtr<IDispatch>(environment_->adopt);
      environment_->adopt = nullptr;
    } else {
      if (info.Length() < 1 || !info[0].IsString()) {
        throw Napi::TypeError::New(env, "ActiveXObject: give a ProgID or a \"{CLSID}\" string");
      }
      const std::string name = info[0].As<Napi::String>().Utf8Value();
      const HRESULT hr = vorn_rt::CreateAutomationObject(name, dispatch_.Put());
      if (FAILED(hr)) {
        const std::string member = "ActiveXObject(\"" + name + "\")";
        throw CallError(env, vorn_rt::DescribeFailure(member, hr, nullptr), "ActiveXObject", hr);
      }
    }
    DefineMembers(env, self);
    environment_->bindings.insert(this);
  }

  ~Binding() override {
    Release();
    environment_->bindings.erase(this);
    // At shut-down the instance data may go before the objects.
    if (environment_->instanceGone && environment_->bindings.empty()) delete environment_;
  }

  IDispatch* dispatch() const { return dispatch_.Get(); }

  // Disconnects the object's events and lets go of the object.
  void Release() {
    std::vector<Connection*> connections;
    connections.swap(connections_);
    for (Connection* connection : connections) {
      environment_->connections.erase(connection->id);
      connection->link.Disconnect();
      delete connection;
    }
    dispatch_.Reset();
  }

  void AddConnection(Connection* connection) { connections_.push_back(connection); }

  void RemoveConnection(Connection* connection) {
    for (size_t i = 0; i < connections_.size(); ++i) {
      if (connections_[i] == connection) {
        connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }

 private:
  static napi_value CallMethod(napi_env env, napi_callback_info info) {
    return Napi::details::WrapCallback(env, [&]() -> napi_value {
      Napi::CallbackInfo call(env, info);
      auto* slot = static_cast<MemberSlot*>(call.Data());
      return slot->binding->Call(call, slot->method, call.Length());
    });
  }

  static napi_value CallGetter(napi_env env, napi_callback_info info) {
    return Napi::details::WrapCallback(env, [&]() -> napi_value {
      Napi::CallbackInfo call(env, info);
      auto* slot = static_cast<MemberSlot*>(call.Data());
      return slot->binding->Call(call, slot->getter, 0);
    });
  }

  static napi_value CallSetter(napi_env env, napi_callback_info info) {
    return Napi::details::WrapCallback(env, [&]() -> napi_value {
      Napi::CallbackInfo call(env, info);
      auto* slot = static_cast<MemberSlot*>(call.Data());
      slot->binding->Call(call, slot->setter, 1);
      return nullptr;
    });
  }

  // One own property per member name: a bound function for a method, an
  // accessor pair for a property.
  void DefineMembers(Napi::Env env, Napi::Object self) {
    for (AutomationMember& m : vorn_rt::DescribeMembers(dispatch_.Get())) {
      members_.push_back(std::move(m));
    }
    // The accessors of a property answer to one DISPID, the one its name
    // has; a type library may list the setter under an id of its own.
    for (AutomationMember& m : members_) {
      DISPID named = DISPID_UNKNOWN;
      if (m.kind == MemberKind::kSetter &&
          SUCCEEDED(vorn_rt::IdOfName(dispatch_.Get(), m.name, &named))) {
        m.dispid = named;
      }
    }
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < members_.size(); ++i) {
      const AutomationMember& m = members_[i];
      auto found = byName.find(m.name);
      if (found == byName.end()) {
        found = byName.emplace(m.name, slots_.size()).first;
        slots_.push_back(MemberSlot{this});
      }
      MemberSlot& slot = slots_[found->second];
      const int index = static_cast<int>(i);
      if (m.kind == MemberKind::kMethod) slot.method = index;
      if (m.kind == MemberKind::kGetter) slot.getter = index;
      if (m.kind == MemberKind::kSetter) slot.setter = index;
    }
    std::vector<napi_property_descriptor> properties;
    properties.reserve(slots_.size());
    for (MemberSlot& slot : slots_) {
      const int first = slot.method >= 0 ? slot.method : slot.getter >= 0 ? slot.getter
                                                                          : slot.setter;
      const std::string& name = members_[static_cast<size_t>(first)].name;
      napi_property_descriptor d{};
      d.utf8name = name.c_str();
      d.attributes = static_cast<napi_property_attributes>(napi_enumerable | napi_configurable);
      d.data = &slot;
      if (slot.method >= 0) {
        d.value = MemberFunction(env, self, name, &slot);
      } else {
        if (slot.getter >= 0) d.getter = CallGetter;
        if (slot.setter >= 0) d.setter = CallSetter;
      }
      properties.push_back(d);
    }
    NAPI_THROW_IF_FAILED_VOID(
        env, napi_define_properties(env, self, properties.size(), properties.data()));
  }

  // A function that calls the member of `slot`, linked to its object.
  napi_value MemberFunction(Napi::Env env, Napi::Object self, const std::string& name,
                            MemberSlot* slot) {
    napi_value fn = nullptr;
    NAPI_THROW_IF_FAILED(env, napi_create_function(env, name.data(), name.size(), CallMethod,
                                                   slot, &fn),
                         nullptr);
    Napi::Function(env, fn).Set(environment_->ownerKey.Value(), self);
    return fn;
  }

 public:
  // A member the type information does not list, found by `name` through
  // IDispatch::GetIDsOfNames: a function for it, kept on the object as a
  // property that is not enumerated; undefined when the object does not
  // know the name.
  Napi::Value MemberByName(Napi::Env env, Napi::Object self, const std::string& name) {
    DISPID dispid = DISPID_UNKNOWN;
    if (!dispatch_ || FAILED(vorn_rt::IdOfName(dispatch_.Get(), name, &dispid))) {
      return env.Undefined();
    }
    AutomationMember member{};
    member.name = name;
    member.dispid = dispid;
    member.kind = MemberKind::kMethod;
    member.params = -1;  // unknown: called as a method or a property read
    member.result = VT_VARIANT;
    members_.push_back(std::move(member));
    slots_.push_back(MemberSlot{this, static_cast<int>(members_.size() - 1)});
    Napi::Value fn(env, MemberFunction(env, self, name, &slots_.back()));
    napi_property_descriptor d{};
    d.utf8name = name.c_str();
    d.attributes = napi_configurable;
    d.value = fn;
    NAPI_THROW_IF_FAILED(env, napi_define_properties(env, self, 1, &d), env.Undefined());
    return fn;
  }

 private:
  // Calls member `index` with the first `count` script arguments and
  // returns its result.
  napi_value Call(const Napi::CallbackInfo& info, int index, size_t count) {
    Napi::Env env = info.Env();
    const AutomationMember& member = members_[static_cast<size_t>(index)];
    if (!dispatch_) throw ReleasedError(env, member.name);
    if (count > info.Length()) count = info.Length();
    ArgumentList args(count);
    for (size_t i = 0; i < count; ++i) {
      std::string why;
      if (!ToVariant(info[i], &args.data()[i], &why)) {
        throw CallError(env, member.name + ": argument " + std::to_string(i + 1) + ": " + why,
                        member.name, DISP_E_TYPEMISMATCH, true, true);
      }
    }
    // A handler may release the object during the call.
    ComPtr<IDispatch> hold = dispatch_;
    VariantValue result;
    vorn_rt::CallFault fault;
    Environment* environment = environment_;
    ++environment->callDepth;
    const HRESULT hr = vorn_rt::InvokeMember(hold.Get(), member.dispid, member.kind, args.data(),
                                             count, result.get(), &fault, member.params < 0);
    --environment->callDepth;
    // What the object wrote through the C library appears before what the
    // script writes next (node writes to the descriptor directly).
    if (__fpending(stdout) > 0) std::fflush(stdout);
    if (!environment->pendingError.IsEmpty()) {
      // An event handler failed during the call: its error ends the call.
      Napi::Value error = environment->pendingError.Value();
      environment->pendingError.Reset();
      throw Napi::Error(env, error);
    }
    if (FAILED(hr)) {
      vorn_rt::CallDetails details;
      details.argCount = static_cast<int>(count);
      details.declared = member.params;
      details.optional = member.optional;
      details.argument = fault.argument;
      const bool raised = hr == DISP_E_EXCEPTION;
      const HRESULT code = raised && fault.exception.scode != 0 ? fault.exception.scode : hr;
      throw CallError(env,
                      vorn_rt::DescribeFailure(member.name, hr,
                                               raised ? &fault.exception : nullptr, details),
                      member.name, code);
    }
    Napi::Value value;
    std::string why;
    if (!FromVariant(env, *result.get(), &value, &why)) {
      throw CallError(env, member.name + ": the result cannot be used: " + why, member.name,
                      S_OK, false);
    }
    return value;
  }

  Environment* environment_;
  ComPtr<IDispatch> dispatch_;
  // Deques: the member functions point at slots, which must not move.
  std::deque<AutomationMember> members_;
  std::deque<MemberSlot> slots_;
  std::vector<Connection*> connections_;
};

Binding* BindingOf(Napi::Value value) {
  if (!value.IsObject() || value.IsFunction()) return nullptr;
  Napi::Object object = value.As<Napi::Object>();
  if (!object.CheckTypeTag(&kObjectTag)) return nullptr;
  return Binding::Unwrap(object);
}

Napi::Value WrapDispatch(Napi::Env env, IDispatch* dispatch) {
  Environment* environment = EnvironmentOf(env);
  environment->adopt = dispatch;
  Napi::Object object;
  try {
    object = environment->constructor.New({});
  } catch (...) {
    environment->adopt = nullptr;
    throw;
  }
  return object;
}

bool ToVariant(Napi::Value value, VARIANT* out, std::string* why) {
  VariantInit(out);
  switch (value.Type()) {
    case napi_undefined:
      return true;
    case napi_null:
      out->vt = VT_NULL;
      return true;
    case napi_boolean:
      out->vt = VT_BOOL;
      out->boolVal = value.As<Napi::Boolean>().Value() ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    case napi_number: {
      const double number = value.As<Napi::Number>().DoubleValue();
      if (std::trunc(number) == number && number >= -2147483648.0 && number <= 2147483647.0) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(number);
      } else {
        out->vt = VT_R8;
        out->dblVal = number;
      }
      return true;
    }
    case napi_string: {
      // UTF-16 straight into the BSTR: unpaired surrogates pass unchanged.
      napi_env env = value.Env();
      size_t length = 0;
      NAPI_THROW_IF_FAILED(env, napi_get_value_string_utf16(env, value, nullptr, 0, &length),
                           false);
      BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(length));
      if (!text) throw Napi::Error::New(value.Env(), "out of memory");
      out->vt = VT_BSTR;
      out->bstrVal = text;
      NAPI_THROW_IF_FAILED(
          env, napi_get_value_string_utf16(env, value, text, length + 1, &length), false);
      return true;
    }
    case napi_object: {
      Binding* binding = BindingOf(value);
      if (binding) {
        if (!binding->dispatch()) {
          *why = "the object has been released";
          return false;
        }
        out->vt = VT_DISPATCH;
        out->pdispVal = binding->dispatch();
        out->pdispVal->AddRef();
        return true;
      }
      break;
    }
    default:
      break;
  }
  *why = std::string("cannot pass ") + KindOfValue(value);
  return false;
}

// ---- Events --------------------------------------------------------------------------

// Calls handlers[name](args...) for an event. An error the handler raises is
// kept for the call that fired the event, which throws it when it returns.
HRESULT FireEvent(Environment* environment, Connection* connection, const std::string& name,
                  const VARIANT* args, size_t count) {
  if (environment->closing) return S_OK;
  Napi::Env env(environment->env);
  Napi::HandleScope scope(env);
  try {
    Napi::Object handlers = connection->handlers.Value();
    Napi::Value handler = handlers.Get(name);
    if (!handler.IsFunction()) return S_OK;
    std::vector<napi_value> values;
    values.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      Napi::Value value;
      std::string why;
      if (!FromVariant(env, args[i], &value, &why)) value = env.Undefined();
      values.push_back(value);
    }
    handler.As<Napi::Function>().Call(handlers, values);
    return S_OK;
  } catch (const Napi::Error& error) {
    if (environment->callDepth > 0) {
      if (environment->pendingError.IsEmpty()) {
        environment->pendingError = Napi::Persistent(error.Value().As<Napi::Value>());
      }
    } else {
      // Nothing of the script's is running to receive it.
      napi_fatal_exception(env, error.Value());
    }
    return DISP_E_EXCEPTION;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// connect(object, handlers) -> the connection's number, for disconnect.
Napi::Value Connect(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Environment* environment = EnvironmentOf(env);
  Binding* binding = info.Length() > 0 ? BindingOf(info[0]) : nullptr;
  if (!binding) {
    throw Napi::TypeError::New(env, "connect: the first argument must be an automation object");
  }
  if (info.Length() < 2 || !info[1].IsObject()) {
    throw Napi::TypeError::New(env, "connect: the second argument must be an object of handlers");
  }
  if (!binding->dispatch()) throw ReleasedError(env, "connect");
  Napi::Object handlers = info[1].As<Napi::Object>();
  vorn_rt::EventInterface events;
  HRESULT hr = vorn_rt::FindEventInterface(binding->dispatch(), &events);
  if (FAILED(hr)) {
    throw CallError(env, vorn_rt::DescribeFailure("connect", hr, nullptr), "connect", hr);
  }
  // Every own function of the handler object must name an event.
  Napi::Array keys = handlers.GetPropertyNames();
  for (uint32_t i = 0; i < keys.Length(); ++i) {
    Napi::Value key = keys.Get(i);
    if (!handlers.HasOwnProperty(key) || !handlers.Get(key).IsFunction()) continue;
    const std::string name = key.ToString().Utf8Value();
    if (events.names.empty() || [&] {
          for (const std::string& event : events.order) {
            if (event == name) return false;
          }
          return true;
        }()) {
      std::string list;
      for (const std::string& event : events.order) list += (list.empty() ? "" : ", ") + event;
      throw Napi::Error::New(env, "connect: the object has no event \"" + name +
                                      "\" (its events: " + list + ")");
    }
  }
  auto connection = std::make_unique<Connection>();
  connection->id = environment->nextConnection++;
  connection->binding = binding;
  connection->handlers = Napi::Persistent(handlers);
  Connection* raw = connection.get();
  hr = raw->link.Connect(binding->dispatch(), events,
                         [environment, raw](const std::string& name, const VARIANT* args,
                                            size_t count) {
                           return FireEvent(environment, raw, name, args, count);
                         });
  if (FAILED(hr)) {
    throw CallError(env, vorn_rt::DescribeFailure("connect", hr, nullptr), "connect", hr);
  }
  environment->connections[raw->id] = raw;
  binding->AddConnection(connection.release());
  return Napi::Number::New(env, raw->id);
}

// disconnect(number): ends a connection; nothing when it has ended already.
void Disconnect(const Napi::CallbackInfo& info) {
  Environment* environment = EnvironmentOf(info.Env());
  if (info.Length() < 1 || !info[0].IsNumber()) return;
  const auto found = environment->connections.find(info[0].As<Napi::Number>().Uint32Value());
  if (found == environment->connections.end()) return;
  Connection* connection = found->second;
  environment->connections.erase(found);
  connection->binding->RemoveConnection(connection);
  connection->link.Disconnect();
  delete connection;
}

// release(object)
void Release(const Napi::CallbackInfo& info) {
  Binding* binding = info.Length() > 0 ? BindingOf(info[0]) : nullptr;
  if (!binding) {
    throw Napi::TypeError::New(info.Env(), "release: the argument must be an automation object");
  }
  binding->Release();
}

void Environment::ReleaseAll() {
  closing = true;
  for (Binding* binding : bindings) binding->Release();
  pendingError.Reset();
}

// The environment shuts down: every object is let go before the runtime.
void ShutDown(void* data) {
  auto* environment = static_cast<Environment*>(data);
  environment->ReleaseAll();
  if (environment->runtimeStarted) CoUninitialize();
  environment->runtimeStarted = false;
}

void FinalizeEnvironment(Napi::Env, Environment* environment) {
  environment->instanceGone = true;
  if (environment->bindings.empty()) delete environment;
}

// memberByName(object, name): see Binding::MemberByName.
Napi::Value MemberByName(const Napi::CallbackInfo& info) {
  Binding* binding = info.Length() > 1 ? BindingOf(info[0]) : nullptr;
  if (!binding || !info[1].IsString()) return info.Env().Undefined();
  return binding->MemberByName(info.Env(), info[0].As<Napi::Object>(),
                               info[1].As<Napi::String>().Utf8Value());
}

// releaseAll(): lets go of every object of this thread (at process exit).
void ReleaseAllObjects(const Napi::CallbackInfo& info) {
  EnvironmentOf(info.Env())->ReleaseAll();
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  auto* environment = new Environment();
  environment->env = env;
  env.SetInstanceData<Environment, FinalizeEnvironment>(environment);
  const HRESULT hr = CoInitialize(nullptr);
  if (FAILED(hr)) {
    throw CallError(env, vorn_rt::DescribeFailure("CoInitialize", hr, nullptr), "CoInitialize",
                    hr);
  }
  environment->runtimeStarted = true;
  napi_add_env_cleanup_hook(env, ShutDown, environment);

  Napi::Function constructor = Binding::DefineClass(env);
  environment->constructor = Napi::Persistent(constructor);
  environment->ownerKey = Napi::Persistent(Napi::Symbol::New(env, "vorn.owner"));
  exports.Set("ActiveXObject", constructor);
  exports.Set("connect", Napi::Function::New(env, Connect, "connect"));
  exports.Set("disconnect", Napi::Function::New(env, Disconnect, "disconnect"));
  exports.Set("release", Napi::Function::New(env, Release, "release"));
  exports.Set("memberByName", Napi::Function::New(env, MemberByName, "memberByName"));
  exports.Set("releaseAll", Napi::Function::New(env, ReleaseAllObjects, "releaseAll"));
  return exports;
}

}  // namespace
}  // namespace vorn_node

namespace {
Napi::Object InitVorn(Napi::Env env, Napi::Object exports) { return vorn_node::Init(env, exports); }
}  // namespace

NODE_API_MODULE(vorn, InitVorn)
