// The module `vorn`: Dispatch, DispatchWithEvents and com_error.
//
// A Dispatch object answers attribute lookups from the member table of its
// automation object before anything else (its own type slots, so that a
// call in a loop costs one table lookup, not a failed ordinary lookup
// first); names the table does not hold go to the ordinary lookup (the
// object's own attributes and, for DispatchWithEvents, the handler class),
// and last to IDispatch::GetIDsOfNames.

#include <string>

// Python.h (through pybind11) comes before structmember.h.
#include "bindings/python/dispatch_object.h"
#include "platform/runtime.h"

#include <structmember.h>

namespace vorn_python {
namespace {

constexpr char kModuleDoc[] = R"(Automation objects of the vorn platform from Python.

    import vorn
    with vorn.Dispatch("VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1") as c:
        if c.InitControl():
            for i in range(c.GetFolderCount()):
                print(c.GetFolderName(i), c.GetFolderMessageCount(i))

Dispatch(progIdOrClsid) creates any object registered in the platform root
($VORN_ROOT) by its ProgID or by its class id written "{...}", and binds its
members late through its type information: methods are callables, properties
are attributes, dir() lists the members, and an unknown name raises
AttributeError. A name the type information does not list is asked of the
object itself (IDispatch::GetIDsOfNames) and called as a method.

Values: int, bool, float, str, None and Dispatch objects go in; an int must
fit the parameter's declared integer type (32 bits when none is declared,
else OverflowError), a str must be valid UTF-16 (a lone surrogate raises
ValueError), anything else raises TypeError. Results come back as int (every
integer type), bool, float, str, None (empty and null) or Dispatch. A wrong
number of arguments raises TypeError. Each of these errors names the member
and the argument. A call the object fails raises com_error.

Release: `with vorn.Dispatch(...) as c:` lets go of the object at the end of
the block; otherwise it is released when the Dispatch object is collected.
A released object raises ValueError when used.

DispatchWithEvents(progIdOrClsid, HandlerClass) connects the object's events
to the methods On<Event> of HandlerClass (see its help).

Objects are used from the thread that created them; the platform's
component runtime is set up on each thread that creates one.)";

constexpr char kDispatchDoc[] = R"(Dispatch(progIdOrClsid) -> an automation object

Creates the object registered under the ProgID or "{CLSID}" given. Raises
com_error when it cannot be created (the class is not registered, its
library does not load, it has no automation interface). Members are bound
late: obj.Method(args...), obj.Property, obj.Property = value.)";

constexpr char kWithEventsDoc[] = R"(DispatchWithEvents(progIdOrClsid, HandlerClass) -> an automation object

Creates the object as Dispatch does, as an instance of a new class derived
from Dispatch and HandlerClass, and connects the object's events to it:
the event Name calls the method OnName of HandlerClass with the event's
arguments. Events without such a method are ignored. An exception a handler
raises is raised by the call that fired the event. HandlerClass.__init__,
when it has one of its own, is called once the events are connected, with
the new object as its only argument. The connection ends when the object
is released. Raises com_error when the object has no events.)";

constexpr char kComErrorDoc[] = R"(A call that an automation object failed.

str(error) is the whole message: the member, the result code in hex and its
meaning. Attributes: hresult (the result code as a signed 32-bit int, or
the code the object gave with its exception), member (the member's name),
text (the meaning of the code, or the object's own description).)";

// The component runtime is set up once per thread that uses it.
void EnsureComInitialized() {
  thread_local bool initialized = false;
  if (!initialized) {
    CoInitialize(nullptr);
    initialized = true;
  }
}

// The DispatchObject of `self`, or null when its construction has not run.
DispatchObject* ObjectOf(PyObject* self) {
  try {
    return py::handle(self).cast<DispatchObject*>();
  } catch (const py::cast_error&) {
    return nullptr;
  }
}

bool IsSpecial(const char* name, Py_ssize_t size) {
  return size >= 2 && name[0] == '_' && name[1] == '_';
}

// Runs `body`, turning C++ exceptions into the Python error they stand for.
template <class Result, class Body>
Result Guarded(Result failed, Body&& body) {
  try {
    return body();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return failed;
}

std::string Signature(const Member& member) {
  std::string text = member.name + "(";
  if (member.params < 0) return text + "...)";
  for (size_t i = 0; i < member.paramList.size(); ++i) {
    const vorn_rt::AutomationParam& param = member.paramList[i];
    if (i > 0) text += ", ";
    text += param.name.empty() ? "arg" + std::to_string(i + 1) : param.name;
    if (param.optional) text += "=<optional>";
  }
  return text + ")";
}

// ---- Bound members ---------------------------------------------------------------

// What `object.Method` gives: the member bound to its object, called
// through the vectorcall protocol. It keeps the object alive, as a bound
// method does.
struct BoundMember {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* owner;         // the Dispatch object (a reference held)
  DispatchObject* object;  // its C++ side; null once the reference is cleared
  const Member* member;
};

PyObject* gBoundMemberType = nullptr;

PyObject* CallBound(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* names) {
  auto* bound = reinterpret_cast<BoundMember*>(callable);
  return Guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (names && PyTuple_GET_SIZE(names) > 0) {
      Raise(PyExc_TypeError, bound->member->name + ": arguments are passed by position");
    }
    if (!bound->object) {
      Raise(PyExc_ValueError, bound->member->name + ": the object has been released");
    }
    return bound->object->Call(*bound->member, args, PyVectorcall_NARGS(nargsf))
        .release()
        .ptr();
  });
}

int TraverseBound(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<BoundMember*>(self)->owner);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int ClearBound(PyObject* self) {
  auto* bound = reinterpret_cast<BoundMember*>(self);
  bound->object = nullptr;
  Py_CLEAR(bound->owner);
  return 0;
}

void DeallocBound(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  ClearBound(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* ReprBound(PyObject* self) {
  return Guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::string text =
        "<vorn member " + Signature(*reinterpret_cast<BoundMember*>(self)->member) + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyMemberDef kBoundMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(BoundMember, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot kBoundMemberSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBound)},
    {Py_tp_traverse, reinterpret_cast<void*>(TraverseBound)},
    {Py_tp_clear, reinterpret_cast<void*>(ClearBound)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(ReprBound)},
    {Py_tp_members, kBoundMembers},
    {Py_tp_doc, const_cast<char*>("A member of an automation object, bound to it.")},
    {0, nullptr}};

PyType_Spec kBoundMemberSpec = {
    "vorn.Member", sizeof(BoundMember), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kBoundMemberSlots};

PyObject* Bind(PyObject* self, DispatchObject* object, const Member* member) {
  auto* bound = PyObject_GC_New(BoundMember, reinterpret_cast<PyTypeObject*>(gBoundMemberType));
  if (!bound) throw py::error_already_set();
  bound->vectorcall = CallBound;
  Py_INCREF(self);
  bound->owner = self;
  bound->object = object;
  bound->member = member;
  PyObject_GC_Track(bound);
  return reinterpret_cast<PyObject*>(bound);
}

// ---- Attributes ---------------------------------------------------------------------

PyObject* GetAttribute(PyObject* self, PyObject* name) {
  return Guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!text) PyErr_Clear();
    DispatchObject* object = text && !IsSpecial(text, size) ? ObjectOf(self) : nullptr;
    if (!object) return PyObject_GenericGetAttr(self, name);
    const MemberEntry* entry = object->Find(std::string_view(text, static_cast<size_t>(size)));
    if (entry && entry->call) return Bind(self, object, entry->call);
    if (entry && entry->get) return object->Call(*entry->get, nullptr, 0).release().ptr();
    const std::string key(text, static_cast<size_t>(size));
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    if (entry && entry->set) {
      Raise(PyExc_AttributeError, object->name() + "." + key + " can be written, not read");
    }
    if (const Member* member = object->FindByDispatch(key)) return Bind(self, object, member);
    Raise(PyExc_AttributeError, object->name() + " has no member \"" + key + "\"");
  });
}

int SetAttribute(PyObject* self, PyObject* name, PyObject* value) {
  return Guarded<int>(-1, [&]() -> int {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!text) PyErr_Clear();
    DispatchObject* object = text && !IsSpecial(text, size) ? ObjectOf(self) : nullptr;
    const MemberEntry* entry =
        object ? object->Find(std::string_view(text, static_cast<size_t>(size))) : nullptr;
    if (!entry) return PyObject_GenericSetAttr(self, name, value);
    const std::string label = object->name() + "." + text;
    if (!value) Raise(PyExc_AttributeError, label + " is a member and cannot be deleted");
    if (!entry->set) {
      Raise(PyExc_AttributeError,
            label + (entry->get ? " can be read, not written" : " is a method"));
    }
    object->Call(*entry->set, &value, 1);
    return 0;
  });
}

void SetUpSlots(PyHeapTypeObject* heapType) {
  heapType->ht_type.tp_getattro = GetAttribute;
  heapType->ht_type.tp_setattro = SetAttribute;
}

std::string NameOf(py::handle name, const char* what) {
  if (!PyUnicode_Check(name.ptr())) {
    Raise(PyExc_TypeError, std::string(what) + ": give a ProgID or a \"{CLSID}\" string");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
  if (!text) {
    PyErr_Clear();
    Raise(PyExc_ValueError, std::string(what) + ": the name holds a lone surrogate");
  }
  return std::string(text, static_cast<size_t>(size));
}

std::unique_ptr<DispatchObject> Create(py::handle nameObject) {
  const std::string name = NameOf(nameObject, "Dispatch");
  EnsureComInitialized();
  ComPtr<IDispatch> dispatch;
  const HRESULT hr = vorn_rt::CreateAutomationObject(name, dispatch.Put());
  if (FAILED(hr)) RaiseComError("Dispatch(\"" + name + "\")", hr, nullptr);
  return std::make_unique<DispatchObject>(dispatch.Get(), name);
}

py::object DispatchWithEvents(py::handle name, py::handle handlerClass, py::handle dispatchType) {
  if (!PyType_Check(handlerClass.ptr())) {
    Raise(PyExc_TypeError, "DispatchWithEvents: the second argument must be a class");
  }
  py::object builtins = py::module_::import("builtins");
  py::dict attributes;
  attributes["__module__"] = handlerClass.attr("__module__");
  attributes["__doc__"] = handlerClass.attr("__doc__");
  py::object type = builtins.attr("type")(handlerClass.attr("__name__"),
                                          py::make_tuple(dispatchType, handlerClass), attributes);
  py::object object = type(name);
  object.cast<DispatchObject&>().ConnectEvents(object);
  py::object init = handlerClass.attr("__init__");
  if (!init.is(builtins.attr("object").attr("__init__"))) init(object);
  return object;
}

}  // namespace
}  // namespace vorn_python

PYBIND11_MODULE(vorn, m) {
  using namespace vorn_python;
  m.doc() = kModuleDoc;

  py::dict defaults;
  defaults["hresult"] = 0;
  defaults["member"] = "";
  defaults["text"] = "";
  PyObject* comError =
      PyErr_NewExceptionWithDoc("vorn.com_error", kComErrorDoc, PyExc_Exception, defaults.ptr());
  if (!comError) throw py::error_already_set();
  SetComErrorType(py::reinterpret_borrow<py::object>(comError));
  m.add_object("com_error", py::reinterpret_steal<py::object>(comError));

  gBoundMemberType = PyType_FromSpec(&kBoundMemberSpec);
  if (!gBoundMemberType) throw py::error_already_set();
  m.add_object("Member", py::reinterpret_borrow<py::object>(gBoundMemberType));

  py::class_<DispatchObject> dispatch(m, "Dispatch", kDispatchDoc, py::dynamic_attr(),
                                      py::custom_type_setup(SetUpSlots));
  dispatch.def(py::init([](py::handle name) { return Create(name); }), py::arg("progIdOrClsid"))
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](DispatchObject& self, py::args) {
             self.Release();
             return false;
           })
      .def("__dir__",
           [](py::object self) {
             py::list names;
             for (const std::string& name : self.cast<DispatchObject&>().Names()) {
               names.append(name);
             }
             py::object own = py::module_::import("builtins").attr("object").attr("__dir__");
             for (py::handle name : own(self)) names.append(name);
             return names;
           })
      .def("__repr__", [](const DispatchObject& self) {
        return "<vorn.Dispatch " + self.name() + (self.dispatch() ? "" : " (released)") + ">";
      });

  py::object dispatchType = dispatch;
  m.def(
      "DispatchWithEvents",
      [dispatchType](py::handle name, py::handle handlerClass) {
        return DispatchWithEvents(name, handlerClass, dispatchType);
      },
      py::arg("progIdOrClsid"), py::arg("HandlerClass"), kWithEventsDoc);
}
