// The automation binding: ActiveXObject, late-bound members, VARIANT
// conversion, error messages and event sinks.
//
// A script object for an automation object is a Proxy over a plain target
// object that holds the object's reference (hidden) and its members: one
// function per method the type information lists, a getter and a setter per
// property. The members of one dispatch interface are read from its type
// information once, and their functions are made once and shared by every
// object of that interface: a member function finds its object through
// `this` and its member (name, DISPID, kind, parameter count) through its
// magic number, an index into the engine's list of members. Nothing a script object holds points back at it, so that
// the engine's reference counting frees an object, and releases the
// automation object, as soon as the script drops it.
//
// A name the type information does not list is looked up with
// IDispatch::GetIDsOfNames when the script reads it (the Proxy's get trap),
// so that objects without type information work too; a name found that way
// gets a function of its own on the target.
//
// A call converts its arguments into VARIANTs on the stack: numbers,
// booleans and short ASCII strings take no heap memory (a short string is a
// BSTR in a buffer on the stack, which the callee only reads).
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
#include <utility>
#include <vector>

#include "hosts/script/engine.h"
#include "hosts/script/script_text.h"
#include "platform/control.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/automation_client.h"
#include "runtime/com_ptr.h"

namespace vornhost {

using vorn_rt::CallDetails;
using vorn_rt::CallFault;
using vorn_rt::DescribeFailure;
using vorn_rt::MemberKind;

// What a call of one member needs, resolved once.
struct Member {
  std::string name;        // UTF-8, for messages and the name lookup
  std::string engineName;  // the same in engine text, the property's key
  MemberKind kind = MemberKind::kMethod;
  int params = -1;   // declared parameters, -1 when unknown
  int optional = 0;  // of which optional
  // The DISPID that calls use: the one IDispatch::GetIDsOfNames gives for
  // the name, asked on the first call and kept.
  DISPID dispid = DISPID_UNKNOWN;
  bool dispidKnown = false;
  // Its one function: the stash's list of member functions holds it at this
  // index, and so does Automation::members.
  duk_uarridx_t index = 0;
};

// The members of one dispatch interface, shared by all its objects.
struct MemberTable {
  IID iid{};
  std::vector<Member> members;  // never resized once made: functions point into it
};

// One automation object a script holds. The script object's finalizer
// deletes it (with its event connections); ReleaseAutomation lets go of the
// reference earlier.
struct ObjectRef {
  Automation* owner = nullptr;
  ComPtr<IDispatch> dispatch;
  void* target = nullptr;  // the script object's target, alive as long as this
  std::vector<std::unique_ptr<vorn_rt::EventConnection>> connections;
};

struct Automation {
  Engine* engine = nullptr;
  std::unordered_map<ObjectRef*, std::unique_ptr<ObjectRef>> objects;
  std::vector<std::unique_ptr<MemberTable>> tables;
  // Members found by name, one per name and DISPID: their functions may
  // outlive the objects they were found on.
  std::map<std::pair<std::string, DISPID>, std::unique_ptr<Member>> named;
  // Every member that has a function, by Member::index.
  std::vector<Member*> members;
  unsigned nextSink = 1;
  // An event handler raised an error that the stash holds for the script.
  bool pending = false;
};

namespace {

constexpr char kRefKey[] = "\xFF" "ref";          // target: ObjectRef*
constexpr char kMemberKey[] = "\xFF" "member";    // member function: Member*, when no magic
constexpr char kSinksKey[] = "\xFF" "sinks";      // target: sink id -> handler object
constexpr char kPrototypeKey[] = "\xFF" "axproto";  // stash: prototype of script objects
constexpr char kTrapsKey[] = "\xFF" "axtraps";      // stash: the Proxy handler
constexpr char kFinalizerKey[] = "\xFF" "axfinal";  // stash: the objects' finalizer
constexpr char kFunctionsKey[] = "\xFF" "axfuncs";  // stash: Member::index -> function
constexpr char kPendingKey[] = "\xFF" "pending";    // stash: error raised by a handler

constexpr MemberKind kMethod = MemberKind::kMethod;
constexpr MemberKind kGetter = MemberKind::kGetter;
constexpr MemberKind kSetter = MemberKind::kSetter;

// ---- Conversions ----------------------------------------------------------------

// The ObjectRef of the script object at `index`, or null for any other
// value. Hidden keys pass through a Proxy to its target.
ObjectRef* RefOf(duk_context* ctx, duk_idx_t index) {
  if (!duk_is_object(ctx, index)) return nullptr;
  duk_get_prop_literal(ctx, index, kRefKey);
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

// The arguments of one call as VARIANTs, first to last. Up to kInline
// values and kTextUnits units of short ASCII text live in the object itself,
// on the caller's stack; what the values hold on the heap (longer or
// non-ASCII strings, object references) is freed by the destructor.
class Arguments {
 public:
  explicit Arguments(size_t count) : count_(count) {
    if (count > kInline) spill_.resize(count);
    values_ = count > kInline ? spill_.data() : inline_;
    for (size_t i = 0; i < count; ++i) VariantInit(&values_[i]);
  }
  ~Arguments() {
    for (size_t i = 0; i < count_; ++i) {
      if (values_[i].vt == VT_BSTR && InBuffer(values_[i].bstrVal)) continue;
      VariantClear(&values_[i]);
    }
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  const VARIANT* data() const { return values_; }
  size_t size() const { return count_; }

  // Sets value `i` from the script value at `index`. False, with *why set,
  // for a value that has no automation form.
  bool Set(duk_context* ctx, size_t i, duk_idx_t index, std::string* why) {
    VARIANT* out = &values_[i];
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
        BSTR bstr = IsAscii(text, length) ? AsciiString(text, length) : WideString(text, length);
        if (!bstr) {
          *why = "out of memory";
          return false;
        }
        out->vt = VT_BSTR;
        out->bstrVal = bstr;
        return true;
      }
      case DUK_TYPE_OBJECT: {
        // A script object of an automation object: its hidden reference.
        ObjectRef* ref = duk_is_function(ctx, index) ? nullptr : RefOf(ctx, index);
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

 private:
  static constexpr size_t kInline = 8;
  static constexpr size_t kTextUnits = 256;
  static constexpr size_t kPrefixUnits = sizeof(uint32_t) / sizeof(OLECHAR);

  bool InBuffer(BSTR text) const { return text >= text_ && text < text_ + kTextUnits; }

  // A BSTR of ASCII text: in the buffer when it fits, else on the heap.
  BSTR AsciiString(const char* text, size_t length) {
    BSTR bstr = nullptr;
    const size_t room = kTextUnits - used_;
    if (room > kPrefixUnits && length < room - kPrefixUnits) {
      const uint32_t bytes = static_cast<uint32_t>(length * sizeof(OLECHAR));
      std::memcpy(text_ + used_, &bytes, sizeof bytes);
      bstr = text_ + used_ + kPrefixUnits;
      bstr[length] = 0;
      used_ += kPrefixUnits + length + 1;
    } else {
      bstr = SysAllocStringLen(nullptr, static_cast<UINT>(length));
      if (!bstr) return nullptr;
    }
    for (size_t i = 0; i < length; ++i) bstr[i] = static_cast<OLECHAR>(text[i]);
    return bstr;
  }

  static BSTR WideString(const char* text, size_t length) {
    try {
      std::u16string wide;
      EngineToUtf16(text, length, &wide);
      return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }

  size_t count_;
  VARIANT* values_;
  VARIANT inline_[kInline];
  std::vector<VARIANT> spill_;
  OLECHAR text_[kTextUnits];
  size_t used_ = 0;
};

using Result = vorn_rt::ScopedVariant;

// Pushes the text of a BSTR as an engine string; ASCII text is copied
// across unit for byte.
void PushBstr(duk_context* ctx, BSTR text) {
  const UINT length = SysStringLen(text);
  char ascii[256];
  if (length <= sizeof ascii) {
    UINT i = 0;
    for (; i < length && text[i] < 0x80; ++i) ascii[i] = static_cast<char>(text[i]);
    if (i == length) {
      duk_push_lstring(ctx, ascii, length);
      return;
    }
  }
  std::string engineText;
  Utf16ToEngine(text, length, &engineText);
  duk_push_lstring(ctx, engineText.data(), engineText.size());
}

void PushObject(duk_context* ctx, Automation* automation, IDispatch* dispatch);

// Pushes the script form of `value`. False, with *why set, for a value that
// has none (the stack is unchanged then).
bool PushVariant(duk_context* ctx, Automation* automation, const VARIANT& value,
                 std::string* why) {
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
    case VT_I4:
      duk_push_int(ctx, byRef ? *value.plVal : value.lVal);
      return true;
    case VT_R8:
      duk_push_number(ctx, byRef ? *value.pdblVal : value.dblVal);
      return true;
    case VT_VARIANT:
      if (!byRef) break;
      return PushVariant(ctx, automation, *value.pvarVal, why);
    case VT_BOOL:
      duk_push_boolean(ctx, (byRef ? *value.pboolVal : value.boolVal) != VARIANT_FALSE);
      return true;
    case VT_BSTR:
      PushBstr(ctx, byRef ? *value.pbstrVal : value.bstrVal);
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
      PushObject(ctx, automation, dispatch.Get());
      return true;
    }
    case VT_ERROR:
      duk_push_number(ctx, static_cast<double>(byRef ? *value.plVal : value.scode));
      return true;
    default:
      break;
  }
  // Every other value that is a number: through the runtime's conversion.
  Result number;
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
bool TakePendingError(duk_context* ctx, Automation* automation) {
  if (!automation->pending) return false;
  automation->pending = false;
  duk_push_global_stash(ctx);
  duk_get_prop_literal(ctx, -1, kPendingKey);
  if (duk_is_undefined(ctx, -1)) {
    duk_pop_2(ctx);
    return false;
  }
  duk_del_prop_literal(ctx, -2, kPendingKey);
  duk_remove(ctx, -2);
  return true;
}

// Calls `member` of `ref` (null when the function was not called on an
// automation object) with the script arguments at 0 .. nargs-1 and pushes the
// result. Returns false with an error pushed instead.
bool CallMember(duk_context* ctx, Automation* automation, Member* member, ObjectRef* ref,
                duk_idx_t nargs) {
  std::string message;
  {
    IDispatch* dispatch = ref ? ref->dispatch.Get() : nullptr;
    if (!ref) {
      message = member->name + ": not called on an automation object";
    } else if (!dispatch) {
      message = member->name + ": the object has been released";
    } else {
      ComPtr<IDispatch> hold(dispatch);  // a handler may drop the script's reference
      HRESULT hr = S_OK;
      if (!member->dispidKnown) {
        DISPID dispid = DISPID_UNKNOWN;
        hr = vorn_rt::IdOfName(dispatch, member->name, &dispid);
        if (SUCCEEDED(hr)) {
          member->dispid = dispid;
          member->dispidKnown = true;
        }
      }
      const auto count = static_cast<size_t>(nargs);
      Arguments args(count);
      for (size_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
        std::string why;
        if (!args.Set(ctx, i, static_cast<duk_idx_t>(i), &why)) {
          message = member->name + ": argument " + std::to_string(i + 1) + ": " + why;
          break;
        }
      }
      if (message.empty() && FAILED(hr)) message = DescribeFailure(member->name, hr, nullptr);
      if (message.empty()) {
        Result result;
        CallFault fault;
        hr = vorn_rt::InvokeMember(dispatch, member->dispid, member->kind, args.data(), count,
                                   result.get(), &fault,
                                   member->kind == kMethod && member->params < 0);
        // An event handler that failed, or quit, during the call decides how
        // the call ends.
        if (TakePendingError(ctx, automation)) return false;
        if (automation->engine->quitting) {
          PushQuitError(ctx);
          return false;
        }
        if (FAILED(hr)) {
          CallDetails details;
          details.argCount = static_cast<int>(count);
          details.declared = member->params;
          details.optional = member->optional;
          details.argument = fault.argument;
          message = DescribeFailure(member->name, hr,
                                    hr == DISP_E_EXCEPTION ? &fault.exception : nullptr, details);
        } else {
          std::string why;
          if (!PushVariant(ctx, automation, *result.get(), &why)) {
            message = member->name + ": the result cannot be used: " + why;
          }
        }
      }
    }
  }
  if (message.empty()) return true;
  PushScriptError(ctx, message);
  return false;
}

// Every member function: `this` is the script object; the function's magic
// number is the member's index, or -1 when a hidden pointer names it.
duk_ret_t MemberFunction(duk_context* ctx) {
  duk_idx_t nargs = duk_get_top(ctx);
  duk_push_this(ctx);
  ObjectRef* ref = RefOf(ctx, -1);
  Automation* automation = ref ? ref->owner : EngineOf(ctx)->automation;
  const duk_int_t magic = duk_get_current_magic(ctx);
  Member* member = nullptr;
  if (magic >= 0) {
    member = automation->members[static_cast<size_t>(magic)];
  } else {
    duk_push_current_function(ctx);
    duk_get_prop_literal(ctx, -1, kMemberKey);
    member = static_cast<Member*>(duk_get_pointer(ctx, -1));
  }
  duk_set_top(ctx, nargs);
  if (automation->engine->quitting) {
    PushQuitError(ctx);
    return duk_throw(ctx);
  }
  // Accessors are called with the property name after their arguments.
  if (member->kind == kGetter) nargs = 0;
  if (member->kind == kSetter) nargs = nargs > 0 ? 1 : 0;
  if (!CallMember(ctx, automation, member, ref, nargs)) return duk_throw(ctx);
  return 1;
}

// Makes the one function of `member` and gives the member its index.
void MakeMemberFunction(duk_context* ctx, Automation* automation, Member* member) {
  member->index = static_cast<duk_uarridx_t>(automation->members.size());
  automation->members.push_back(member);
  duk_push_global_stash(ctx);
  duk_get_prop_literal(ctx, -1, kFunctionsKey);
  duk_push_c_function(ctx, MemberFunction, DUK_VARARGS);
  if (member->index <= 0x7FFF) {
    duk_set_magic(ctx, -1, static_cast<duk_int_t>(member->index));
  } else {
    duk_set_magic(ctx, -1, -1);
    duk_push_pointer(ctx, member);
    duk_put_prop_literal(ctx, -2, kMemberKey);
  }
  // The function's own name, for stack traces and String(f).
  duk_push_literal(ctx, "name");
  duk_push_lstring(ctx, member->engineName.data(), member->engineName.size());
  duk_def_prop(ctx, -3, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_FORCE);
  duk_put_prop_index(ctx, -2, member->index);
  duk_pop_2(ctx);
}

// Pushes the function of `member`.
void PushMemberFunction(duk_context* ctx, const Member& member) {
  duk_push_global_stash(ctx);
  duk_get_prop_literal(ctx, -1, kFunctionsKey);
  duk_get_prop_index(ctx, -1, member.index);
  duk_remove(ctx, -2);
  duk_remove(ctx, -2);
}

// ---- Script objects ------------------------------------------------------------------

duk_ret_t FinalizeObject(duk_context* ctx) {
  duk_get_prop_literal(ctx, 0, kRefKey);
  auto* ref = static_cast<ObjectRef*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  duk_push_pointer(ctx, nullptr);
  duk_put_prop_literal(ctx, 0, kRefKey);
  if (ref) ref->owner->objects.erase(ref);  // disconnects its events, releases it
  return 0;
}

// get trap: the target's members (and the prototype's) first; another name
// is asked of the object itself, and when it knows the name, a member
// function for it is made and kept on the target.
duk_ret_t GetTrap(duk_context* ctx) {
  // [target key receiver]
  duk_dup(ctx, 1);
  if (duk_get_prop(ctx, 0) || duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) return 1;
  duk_pop(ctx);
  {
    ObjectRef* ref = RefOf(ctx, 0);
    duk_size_t length = 0;
    const char* key = duk_get_lstring(ctx, 1, &length);
    std::string name = EngineToUtf8(key, length);
    DISPID dispid = DISPID_UNKNOWN;
    if (ref && ref->dispatch && SUCCEEDED(vorn_rt::IdOfName(ref->dispatch.Get(), name, &dispid))) {
      std::unique_ptr<Member>& found = ref->owner->named[{name, dispid}];
      if (!found) {
        found = std::make_unique<Member>();
        found->engineName.assign(key, length);
        found->name = std::move(name);
        found->dispid = dispid;
        found->dispidKnown = true;
        MakeMemberFunction(ctx, ref->owner, found.get());
      }
      duk_dup(ctx, 1);
      PushMemberFunction(ctx, *found);
      duk_dup(ctx, -1);
      duk_insert(ctx, -3);  // [... fn key fn]
      duk_put_prop(ctx, 0);
      return 1;
    }
  }
  duk_push_undefined(ctx);
  return 1;
}

// The member table of the dispatch interface `dispatch` describes in its
// type information, made on first sight of the interface. Null when there
// is no type information, or it names no interface.
MemberTable* TableOf(duk_context* ctx, Automation* automation, IDispatch* dispatch) {
  UINT count = 0;
  if (FAILED(dispatch->GetTypeInfoCount(&count)) || count == 0) return nullptr;
  ComPtr<ITypeInfo> info;
  if (FAILED(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put())) || !info) return nullptr;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr)) || !attr) return nullptr;
  const IID iid = attr->guid;
  info->ReleaseTypeAttr(attr);
  if (iid == GUID_NULL) return nullptr;
  for (const std::unique_ptr<MemberTable>& table : automation->tables) {
    if (table->iid == iid) return table.get();
  }
  auto table = std::make_unique<MemberTable>();
  table->iid = iid;
  for (vorn_rt::AutomationMember& m : vorn_rt::DescribeMembers(dispatch)) {
    Member member;
    member.engineName = Utf8ToEngine(m.name.data(), m.name.size());
    member.name = std::move(m.name);
    member.kind = m.kind;
    member.params = m.params;
    member.optional = m.optional;
    table->members.push_back(std::move(member));
  }
  for (Member& member : table->members) MakeMemberFunction(ctx, automation, &member);
  automation->tables.push_back(std::move(table));
  return automation->tables.back().get();
}

// Pushes the script object of `dispatch` (adds a reference).
void PushObject(duk_context* ctx, Automation* automation, IDispatch* dispatch) {
  MemberTable* table = TableOf(ctx, automation, dispatch);
  auto owned = std::make_unique<ObjectRef>();
  ObjectRef* ref = owned.get();
  ref->owner = automation;
  ref->dispatch = ComPtr<IDispatch>(dispatch);
  automation->objects.emplace(ref, std::move(owned));

  duk_push_object(ctx);
  const duk_idx_t target = duk_get_top_index(ctx);
  ref->target = duk_get_heapptr(ctx, target);
  duk_push_global_stash(ctx);
  const duk_idx_t stash = duk_get_top_index(ctx);
  duk_get_prop_literal(ctx, stash, kPrototypeKey);
  duk_set_prototype(ctx, target);
  duk_push_pointer(ctx, ref);
  duk_put_prop_literal(ctx, target, kRefKey);
  duk_get_prop_literal(ctx, stash, kFinalizerKey);
  duk_set_finalizer(ctx, target);

  if (table) {
    duk_get_prop_literal(ctx, stash, kFunctionsKey);
    const duk_idx_t functions = duk_get_top_index(ctx);
    for (const Member& m : table->members) {
      duk_push_lstring(ctx, m.engineName.data(), m.engineName.size());
      duk_get_prop_index(ctx, functions, m.index);
      duk_uint_t how = DUK_DEFPROP_HAVE_VALUE;
      if (m.kind == kGetter) how = DUK_DEFPROP_HAVE_GETTER;
      if (m.kind == kSetter) how = DUK_DEFPROP_HAVE_SETTER;
      duk_def_prop(ctx, target,
                   how | DUK_DEFPROP_SET_ENUMERABLE | DUK_DEFPROP_SET_CONFIGURABLE |
                       DUK_DEFPROP_FORCE);
    }
    duk_pop(ctx);
  }
  duk_get_prop_literal(ctx, stash, kTrapsKey);
  duk_remove(ctx, stash);
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
    ComPtr<IDispatch> dispatch;
    const HRESULT hr = vorn_rt::CreateAutomationObject(name, dispatch.Put());
    if (FAILED(hr)) {
      PushScriptError(ctx, DescribeFailure("ActiveXObject(\"" + name + "\")", hr, nullptr));
    } else {
      PushObject(ctx, engine->automation, dispatch.Get());
      ok = true;
    }
  }
  if (!ok) return duk_throw(ctx);
  return 1;
}

duk_ret_t ObjectToString(duk_context* ctx) {
  duk_push_literal(ctx, "[object ActiveXObject]");
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

// Turns event `name` of connection `id` of `ref` into a call of the handler
// object's method of the same name. Events without a handler method are
// ignored. An error a handler raises is kept and thrown to the script when
// the call that fired the event returns.
HRESULT FireEvent(ObjectRef* ref, unsigned id, const std::string& name, const VARIANT* args,
                  size_t count) {
  Automation* automation = ref->owner;
  Engine* engine = automation->engine;
  if (!engine->ctx || engine->quitting) return S_OK;
  duk_context* ctx = engine->ctx;
  const duk_idx_t base = duk_get_top(ctx);
  duk_push_heapptr(ctx, ref->target);
  duk_get_prop_literal(ctx, -1, kSinksKey);
  duk_get_prop_index(ctx, -1, id);  // the handler object
  duk_remove(ctx, -2);
  duk_remove(ctx, -2);
  PushText(ctx, name);
  for (size_t i = 0; i < count; ++i) {
    std::string why;
    if (!PushVariant(ctx, automation, args[i], &why)) duk_push_undefined(ctx);
  }
  HRESULT hr = S_OK;
  UINT passed = static_cast<UINT>(count);
  if (duk_safe_call(ctx, CallHandler, &passed, static_cast<duk_idx_t>(count) + 2, 1) !=
      DUK_EXEC_SUCCESS) {
    // Keep the first error for the script; later ones are dropped.
    duk_push_global_stash(ctx);
    if (!duk_has_prop_literal(ctx, -1, kPendingKey)) {
      duk_dup(ctx, -2);
      duk_put_prop_literal(ctx, -2, kPendingKey);
    }
    duk_pop(ctx);
    automation->pending = true;
    hr = DISP_E_EXCEPTION;
  }
  duk_set_top(ctx, base);
  return hr;
}

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

// host.connect(object, handlers). The connection lasts as long as the
// script object: the handlers are kept on its target, and its finalizer
// disconnects.
duk_ret_t Connect(duk_context* ctx) {
  Engine* engine = EngineOf(ctx);
  if (engine->quitting) {
    PushQuitError(ctx);
    return duk_throw(ctx);
  }
  ObjectRef* ref = duk_is_function(ctx, 0) ? nullptr : RefOf(ctx, 0);
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
      duk_push_heapptr(ctx, ref->target);
      if (!duk_get_prop_literal(ctx, -1, kSinksKey)) {
        duk_pop(ctx);
        duk_push_object(ctx);
        duk_dup(ctx, -1);
        duk_put_prop_literal(ctx, -3, kSinksKey);
      }
      duk_dup(ctx, 1);
      duk_put_prop_index(ctx, -2, id);
      duk_pop_2(ctx);
      auto connection = std::make_unique<vorn_rt::EventConnection>();
      hr = connection->Connect(ref->dispatch.Get(), events,
                               [ref, id](const std::string& name, const VARIANT* args,
                                         size_t count) {
                                 return FireEvent(ref, id, name, args, count);
                               });
      if (SUCCEEDED(hr)) ref->connections.push_back(std::move(connection));
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
  engine->automation->engine = engine;
  duk_context* ctx = engine->ctx;
  hostIndex = duk_normalize_index(ctx, hostIndex);

  duk_push_global_stash(ctx);
  duk_push_object(ctx);  // the prototype of script objects
  duk_push_c_function(ctx, ObjectToString, 0);
  duk_put_prop_literal(ctx, -2, "toString");
  duk_put_prop_literal(ctx, -2, kPrototypeKey);
  duk_push_object(ctx);  // the Proxy handler
  duk_push_c_function(ctx, GetTrap, 3);
  duk_put_prop_literal(ctx, -2, "get");
  duk_put_prop_literal(ctx, -2, kTrapsKey);
  duk_push_c_function(ctx, FinalizeObject, 1);
  duk_put_prop_literal(ctx, -2, kFinalizerKey);
  duk_push_array(ctx);
  duk_put_prop_literal(ctx, -2, kFunctionsKey);
  duk_pop(ctx);

  duk_push_global_object(ctx);
  duk_push_c_function(ctx, ActiveXObject, 1);
  duk_put_prop_literal(ctx, -2, "ActiveXObject");
  duk_pop(ctx);

  duk_push_c_function(ctx, Connect, 2);
  duk_put_prop_literal(ctx, hostIndex, "connect");
}

void ReleaseAutomation(Engine* engine) {
  Automation* automation = engine->automation;
  if (!automation) return;
  // Disconnect first: the objects hold the sinks, and the sinks must not call
  // into the script once the objects are gone.
  for (auto& entry : automation->objects) entry.second->connections.clear();
  for (auto& entry : automation->objects) entry.second->dispatch.Reset();
}

void DestroyAutomation(Engine* engine) {
  ReleaseAutomation(engine);
  delete engine->automation;
  engine->automation = nullptr;
}

}  // namespace vornhost
