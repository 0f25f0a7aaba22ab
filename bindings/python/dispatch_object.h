// The Python side of an automation object: the Dispatch object that holds
// one reference to it, the table of its members read from its type
// information, the callables that call one member, and the conversions of
// Python values to VARIANTs and back.
//
// Every function here runs with the GIL held and reports failure by
// throwing a pybind11 exception (the Python error it stands for).
#pragma once

#include <pybind11/pybind11.h>

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/automation.h"
#include "runtime/automation_client.h"
#include "runtime/com_ptr.h"

namespace vorn_python {

namespace py = pybind11;

// One member as the binding calls it.
struct Member {
  std::string name;  // as the type information spells it
  DISPID dispid = DISPID_UNKNOWN;
  vorn_rt::MemberKind kind = vorn_rt::MemberKind::kMethod;
  int params = -1;   // declared parameters; -1 for a member found by name only
  int optional = 0;  // of which optional
  std::vector<vorn_rt::AutomationParam> paramList;
};

// The accessors of one name: a callable (a method, or a property that takes
// arguments), a value read without arguments, a value written.
struct MemberEntry {
  const Member* call = nullptr;
  const Member* get = nullptr;
  const Member* set = nullptr;
};

// The C++ object behind a vorn.Dispatch (or a DispatchWithEvents object).
// It holds one reference to the automation object until Release or its
// destruction, and the connection of the object's events, if any.
class DispatchObject {
 public:
  // Takes a reference of its own to `dispatch`. `name` is what repr() shows.
  DispatchObject(IDispatch* dispatch, std::string name);
  ~DispatchObject();
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  // Disconnects the events and lets go of the object. Calls afterwards
  // raise ValueError; releasing twice does nothing.
  void Release();

  IDispatch* dispatch() const { return dispatch_.Get(); }
  const std::string& name() const { return name_; }

  // The entry of `name`, matched exactly and then without regard to case;
  // null when the type information lists no such member.
  const MemberEntry* Find(std::string_view name) const;
  // A member the type information does not list, found by
  // IDispatch::GetIDsOfNames and remembered; null when the object does not
  // know the name either.
  const Member* FindByDispatch(const std::string& name);
  // The names of the listed members, each once, in listing order.
  std::vector<std::string> Names() const;

  // Calls `member` with `args`, first argument first; the result as a
  // Python value. A handler's error raised by an event during the call is
  // raised here, after the call.
  py::object Call(const Member& member, PyObject* const* args, size_t count);

  // Routes the object's events to the On<Event> methods of the class of
  // `self` (the Python object of this DispatchObject, held weakly).
  void ConnectEvents(py::handle self);

  // An error a handler raised: kept for the call in progress, or reported
  // as unraisable when no call is in progress.
  void KeepHandlerError(py::error_already_set&& error, py::handle self);

 private:
  void Describe();

  ComPtr<IDispatch> dispatch_;
  std::string name_;
  std::deque<Member> members_;  // stable addresses for the entries
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
  };
  std::unordered_map<std::string, MemberEntry, NameHash, std::equal_to<>> byName_;
  std::unordered_map<std::string, std::string> byFoldedName_;
  vorn_rt::EventConnection events_;
  std::unique_ptr<py::error_already_set> pending_;
  int callsInProgress_ = 0;
};

// ---- Errors ---------------------------------------------------------------------

// Sets vorn.com_error (made by the module) for member `member` failing with
// `hr` and throws. `fault` (may be null) holds the callee's exception
// information and the argument at fault.
[[noreturn]] void RaiseComError(const std::string& member, HRESULT hr, vorn_rt::CallFault* fault,
                                const vorn_rt::CallDetails& details = vorn_rt::CallDetails());
void SetComErrorType(py::object type);

// Raises `type` (a Python exception class) with `message`.
[[noreturn]] void Raise(PyObject* type, const std::string& message);

// ---- Conversions ---------------------------------------------------------------

// The VARIANT for `value` passed as argument `index` (0-based) of `member`;
// *out must be empty and receives what the caller clears. Raises TypeError
// for a value without an automation form, OverflowError for an integer
// beyond the parameter's range (32 bits unless it declares another),
// ValueError for text with a lone surrogate or a released object.
void ToVariant(py::handle value, const Member& member, size_t index, VARIANT* out);

// The Python value of `value` (read, not changed). Raises TypeError, naming
// `member`, for a value without a Python form.
py::object FromVariant(const VARIANT& value, const std::string& member);

// A new Python Dispatch object for `dispatch` (adds a reference).
py::object WrapDispatch(IDispatch* dispatch);

}  // namespace vorn_python
