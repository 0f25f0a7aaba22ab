// DispatchObject: the member table, calls, release and events.

#include "bindings/python/dispatch_object.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_set>

#include "runtime/text.h"

namespace vorn_python {
namespace {

py::object gComErrorType;

std::string Folded(const std::string& name) { return vorn_rt::AsciiLowered(name); }

using ArgumentArray = vorn_rt::VariantArgs;
using ResultValue = vorn_rt::ScopedVariant;

// The name the type information gives the object's interface.
std::string TypeNameOf(IDispatch* dispatch) {
  UINT count = 0;
  ComPtr<ITypeInfo> info;
  if (FAILED(dispatch->GetTypeInfoCount(&count)) || count == 0 ||
      FAILED(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put())) || !info) {
    return "automation object";
  }
  BSTR name = nullptr;
  if (FAILED(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr)) || !name) {
    return "automation object";
  }
  std::string text = vorn_rt::Utf8OfBstr(name);
  SysFreeString(name);
  return text;
}

// What an event callback knows of the Python object it calls: a weak
// reference, so that a connected object is still collected.
struct EventTarget {
  DispatchObject* owner = nullptr;
  PyObject* weak = nullptr;  // owned
  EventTarget() = default;
  EventTarget(const EventTarget&) = delete;
  EventTarget& operator=(const EventTarget&) = delete;
  ~EventTarget() {
    py::gil_scoped_acquire gil;
    Py_XDECREF(weak);
  }
};

}  // namespace

// ---- Errors ---------------------------------------------------------------------

void SetComErrorType(py::object type) { gComErrorType = std::move(type); }

void Raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

void RaiseComError(const std::string& member, HRESULT hr, vorn_rt::CallFault* fault,
                   const vorn_rt::CallDetails& details) {
  EXCEPINFO* exception = fault && hr == DISP_E_EXCEPTION ? &fault->exception : nullptr;
  const std::string message = vorn_rt::DescribeFailure(member, hr, exception, details);
  HRESULT code = hr;
  std::string text = vorn_rt::HresultMeaning(hr);
  if (exception) {
    // DescribeFailure has filled in a deferred description.
    if (exception->scode != 0) code = exception->scode;
    const std::string description = vorn_rt::Utf8OfBstr(exception->bstrDescription);
    text = description.empty() ? vorn_rt::HresultMeaning(code) : description;
  }
  if (hr == DISP_E_BADPARAMCOUNT) Raise(PyExc_TypeError, message);
  py::object error = gComErrorType(message);
  error.attr("hresult") = code;
  error.attr("member") = member;
  error.attr("text") = text;
  PyErr_SetObject(gComErrorType.ptr(), error.ptr());
  throw py::error_already_set();
}

// ---- DispatchObject ---------------------------------------------------------------

DispatchObject::DispatchObject(IDispatch* dispatch, std::string name)
    : dispatch_(dispatch), name_(std::move(name)) {
  if (name_.empty()) name_ = TypeNameOf(dispatch);
  Describe();
}

DispatchObject::~DispatchObject() { Release(); }

void DispatchObject::Release() {
  events_.Disconnect();
  dispatch_.Reset();
}

void DispatchObject::Describe() {
  for (vorn_rt::AutomationMember& described : vorn_rt::DescribeMembers(dispatch_.Get())) {
    Member& member = members_.emplace_back();
    member.name = std::move(described.name);
    member.dispid = described.dispid;
    member.kind = described.kind;
    member.params = described.params;
    member.optional = described.optional;
    member.paramList = std::move(described.paramList);
    MemberEntry& entry = byName_[member.name];
    byFoldedName_.emplace(Folded(member.name), member.name);
    switch (member.kind) {
      case vorn_rt::MemberKind::kMethod:
        entry.call = &member;
        break;
      case vorn_rt::MemberKind::kGetter:
        // A property that takes arguments is called like a method.
        (member.params > 0 ? entry.call : entry.get) = &member;
        break;
      case vorn_rt::MemberKind::kSetter:
        // Written through the DISPID the object gives the name, which is the
        // property's own even where the type information keeps the two
        // accessors apart.
        if (DISPID id; SUCCEEDED(vorn_rt::IdOfName(dispatch_.Get(), member.name, &id))) {
          member.dispid = id;
        }
        entry.set = &member;
        break;
    }
  }
}

const MemberEntry* DispatchObject::Find(std::string_view name) const {
  auto exact = byName_.find(name);
  if (exact != byName_.end()) return &exact->second;
  auto folded = byFoldedName_.find(Folded(std::string(name)));
  if (folded == byFoldedName_.end()) return nullptr;
  return &byName_.find(folded->second)->second;
}

const Member* DispatchObject::FindByDispatch(const std::string& name) {
  if (!dispatch_) return nullptr;
  DISPID dispid = DISPID_UNKNOWN;
  if (FAILED(vorn_rt::IdOfName(dispatch_.Get(), name, &dispid))) return nullptr;
  Member& member = members_.emplace_back();
  member.name = name;
  member.dispid = dispid;
  byName_[name].call = &member;
  return &member;
}

std::vector<std::string> DispatchObject::Names() const {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const Member& member : members_) {
    if (seen.insert(member.name).second) names.push_back(member.name);
  }
  return names;
}

py::object DispatchObject::Call(const Member& member, PyObject* const* args, size_t count) {
  if (!dispatch_) Raise(PyExc_ValueError, member.name + ": the object has been released");
  const int given = static_cast<int>(count);
  vorn_rt::CallDetails details;
  details.argCount = given;
  details.declared = member.params;
  details.optional = member.optional;
  if (member.params >= 0 && member.kind != vorn_rt::MemberKind::kSetter &&
      (given > member.params || given < member.params - member.optional)) {
    RaiseComError(member.name, DISP_E_BADPARAMCOUNT, nullptr, details);
  }
  ArgumentArray values(count);
  for (size_t i = 0; i < count; ++i) ToVariant(args[i], member, i, &values.data()[i]);

  // An event handler may let go of the object during the call.
  ComPtr<IDispatch> hold(dispatch_);
  ResultValue result;
  vorn_rt::CallFault fault;
  ++callsInProgress_;
  const HRESULT hr = vorn_rt::InvokeMember(hold.Get(), member.dispid, member.kind, values.data(),
                                           count, result.get(), &fault, member.params < 0);
  --callsInProgress_;
  if (pending_ && callsInProgress_ == 0) {
    std::unique_ptr<py::error_already_set> error = std::move(pending_);
    throw std::move(*error);
  }
  if (FAILED(hr)) {
    details.argument = fault.argument;
    RaiseComError(member.name, hr, &fault, details);
  }
  return FromVariant(*result.get(), member.name);
}

void DispatchObject::KeepHandlerError(py::error_already_set&& error, py::handle self) {
  if (callsInProgress_ > 0 && !pending_) {
    pending_ = std::make_unique<py::error_already_set>(std::move(error));
  } else if (callsInProgress_ == 0) {
    error.discard_as_unraisable(py::reinterpret_borrow<py::object>(self));
  }
}

void DispatchObject::ConnectEvents(py::handle self) {
  const std::string member = "DispatchWithEvents(\"" + name_ + "\")";
  if (!dispatch_) Raise(PyExc_ValueError, member + ": the object has been released");
  vorn_rt::EventInterface events;
  HRESULT hr = vorn_rt::FindEventInterface(dispatch_.Get(), &events);
  if (FAILED(hr)) RaiseComError(member, hr, nullptr);
  PyObject* weak = PyWeakref_NewRef(self.ptr(), nullptr);
  if (!weak) throw py::error_already_set();
  auto target = std::make_shared<EventTarget>();
  target->owner = this;
  target->weak = weak;
  hr = events_.Connect(
      dispatch_.Get(), events,
      [target](const std::string& name, const VARIANT* args, size_t count) -> HRESULT {
        py::gil_scoped_acquire gil;
        PyObject* self = PyWeakref_GetObject(target->weak);
        if (!self || self == Py_None) return S_OK;
        py::object object = py::reinterpret_borrow<py::object>(self);
        try {
          // The handler is a method of the object's class; an event without
          // one is ignored.
          const std::string method = "On" + name;
          py::handle type = py::type::handle_of(object);
          if (!py::hasattr(type, method.c_str())) return S_OK;
          py::tuple values(count);
          for (size_t i = 0; i < count; ++i) {
            try {
              values[i] = FromVariant(args[i], name);
            } catch (py::error_already_set&) {
              values[i] = py::none();  // an argument without a Python form
            }
          }
          object.attr(method.c_str())(*values);
          return S_OK;
        } catch (py::error_already_set& error) {
          target->owner->KeepHandlerError(std::move(error), object);
          return DISP_E_EXCEPTION;
        }
      });
  if (FAILED(hr)) RaiseComError(member, hr, nullptr);
}

py::object WrapDispatch(IDispatch* dispatch) {
  return py::cast(std::make_unique<DispatchObject>(dispatch, std::string()));
}

}  // namespace vorn_python
