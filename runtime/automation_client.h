// Late-bound use of automation objects, as every host and language binding of
// the platform does it: creating an object by ProgID or class id, reading its
// members from its type information, calling a member, describing a failed
// call in one line, and connecting the object's events to a callback.
//
// The hosts differ only in how they turn their own values into VARIANTs and
// back; everything here is independent of any script engine.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/automation.h"
#include "platform/control.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"

namespace vorn_rt {

// ---- VARIANTs owned by a call ------------------------------------------------------

// One VARIANT, initialised empty and cleared when it goes out of scope.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ~ScopedVariant() { VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

// The arguments of one call: `count` VARIANTs, initialised empty and cleared
// when the array goes out of scope. Up to eight live inside the object, so a
// usual call allocates nothing.
class VariantArgs {
 public:
  explicit VariantArgs(size_t count) : count_(count) {
    if (count_ > kInline) heap_.resize(count_);
    for (size_t i = 0; i < count_; ++i) VariantInit(&data()[i]);
  }
  ~VariantArgs() {
    for (size_t i = 0; i < count_; ++i) VariantClear(&data()[i]);
  }
  VariantArgs(const VariantArgs&) = delete;
  VariantArgs& operator=(const VariantArgs&) = delete;
  VARIANT* data() { return count_ > kInline ? heap_.data() : inline_; }
  VARIANT& operator[](size_t i) { return data()[i]; }
  size_t size() const { return count_; }

 private:
  static constexpr size_t kInline = 8;
  size_t count_;
  VARIANT inline_[kInline];
  std::vector<VARIANT> heap_;
};

// ---- Objects and members ------------------------------------------------------------

// Creates the object that `name` names, a ProgID or a "{CLSID}" string, and
// hands out its IDispatch in *out (caller owns). On failure *out is null and
// the result is the failing step's code (CO_E_CLASSSTRING for a name holding
// NUL, REGDB_E_CLASSNOTREG, E_NOINTERFACE for an object without IDispatch).
VORN_API HRESULT CreateAutomationObject(const std::string& name, IDispatch** out);

enum class MemberKind { kMethod, kGetter, kSetter };

struct AutomationParam {
  std::string name;  // empty when the type information names none
  VARTYPE type;      // the declared type; VT_PTR and VT_USERDEFINED as declared
  bool optional;
};

// One member the type information lists. A property is listed once per
// accessor (a getter and, when writable, a setter of the same name).
struct AutomationMember {
  std::string name;
  DISPID dispid;
  MemberKind kind;
  int params;          // declared parameters
  int optional;        // of which optional
  VARTYPE result;      // VT_VOID or VT_EMPTY for none
  std::vector<AutomationParam> paramList;
};

// The members the type information of `dispatch` lists, in its order,
// restricted members left out. Empty when the object has no type information.
VORN_API std::vector<AutomationMember> DescribeMembers(IDispatch* dispatch);

// The DISPID of member `name` (UTF-8), through IDispatch::GetIDsOfNames.
VORN_API HRESULT IdOfName(IDispatch* dispatch, const std::string& name, DISPID* dispid);

// What was wrong with a failed call, when the callee says.
struct VORN_API CallFault {
  EXCEPINFO exception{};  // filled for DISP_E_EXCEPTION; freed by the destructor
  int argument = 0;       // 1-based position of the argument at fault, 0 for none
  CallFault() = default;
  ~CallFault();
  CallFault(const CallFault&) = delete;
  CallFault& operator=(const CallFault&) = delete;
};

// Calls member `dispid` of `dispatch` as `kind` with `args[0 .. count-1]`,
// first argument first (they are read, not changed or freed). A setter takes
// its value as the one argument. `result` (may be null) receives the result
// (caller clears it). `asPropertyToo` adds DISPATCH_PROPERTYGET to a method
// call, for members found by name whose kind is not known. `fault` (may be
// null) receives the exception information and the argument at fault.
VORN_API HRESULT InvokeMember(IDispatch* dispatch, DISPID dispid, MemberKind kind,
                              const VARIANT* args, size_t count, VARIANT* result,
                              CallFault* fault, bool asPropertyToo = false);

// ---- Failures as text ---------------------------------------------------------------

// "0x8002000E": the code as 8 upper-case hexadecimal digits.
VORN_API std::string HresultHex(HRESULT hr);

// "DISP_E_BADPARAMCOUNT: Invalid number of parameters.", or "Unknown result
// code." for a code the platform does not declare.
VORN_API std::string HresultMeaning(HRESULT hr);

// What is known about the call that failed, for a more precise message.
struct CallDetails {
  int argCount = -1;  // arguments given, -1 when unknown
  int declared = -1;  // parameters the type information declares, -1 when unknown
  int optional = 0;   // of which optional
  int argument = 0;   // 1-based position of the argument at fault, 0 for none
};

// The message for member `member` failing with `hr`, for example
//   "GetFolderName: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of
//    parameters. GetFolderName takes 1 argument, not 2."
// `exception` (may be null) is the EXCEPINFO of a DISP_E_EXCEPTION failure:
// its code and description then take the place of the generic ones.
VORN_API std::string DescribeFailure(const std::string& member, HRESULT hr,
                                     EXCEPINFO* exception,
                                     const CallDetails& details = CallDetails());

// Frees the strings of an EXCEPINFO and zeroes it.
VORN_API void FreeExceptionInfo(EXCEPINFO* exception);

// The text of a BSTR in UTF-8; empty for null.
VORN_API std::string Utf8OfBstr(BSTR text);

// ---- Events ------------------------------------------------------------------------

// The event interface of an object: the default source interface of its
// class, as its class information tells.
struct EventInterface {
  IID iid{};
  std::map<DISPID, std::string> names;
  std::vector<std::string> order;  // the event names in the type information's order
  std::map<DISPID, std::vector<std::string>> params;  // each event's parameter names, in order
};

// Fills *events for `dispatch`. CONNECT_E_NOCONNECTION when the class has no
// default source interface, E_NOINTERFACE without class information.
VORN_API HRESULT FindEventInterface(IDispatch* dispatch, EventInterface* events);

// Receives the events of one connection: the event's name and its arguments,
// first argument first. What it returns is the event call's result.
using EventCallback = std::function<HRESULT(const std::string& name, const VARIANT* args,
                                            size_t count)>;

// One connection of an object's events to a callback. Disconnect (or the
// destructor) unadvises; after it the callback is never called again, even by
// an object that still holds the sink.
class VORN_API EventConnection {
 public:
  EventConnection() = default;
  ~EventConnection();
  EventConnection(const EventConnection&) = delete;
  EventConnection& operator=(const EventConnection&) = delete;

  // Advises a sink for `events` (from FindEventInterface on `dispatch`).
  HRESULT Connect(IDispatch* dispatch, const EventInterface& events, EventCallback callback);
  void Disconnect();
  bool Connected() const { return cookie_ != 0; }

 private:
  class Sink;
  ComPtr<IConnectionPoint> point_;
  Sink* sink_ = nullptr;  // one reference held
  DWORD cookie_ = 0;
};

}  // namespace vorn_rt
