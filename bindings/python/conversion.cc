// Python values to VARIANTs and back.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bindings/python/dispatch_object.h"

namespace vorn_python {
namespace {

std::string ArgumentLabel(const Member& member, size_t index) {
  std::string label = member.name + ": argument " + std::to_string(index + 1);
  if (index < member.paramList.size() && !member.paramList[index].name.empty()) {
    label += " (" + member.paramList[index].name + ")";
  }
  return label;
}

// The declared type of argument `index`, VT_VARIANT when not declared.
VARTYPE DeclaredType(const Member& member, size_t index) {
  if (index >= member.paramList.size()) return VT_VARIANT;
  return static_cast<VARTYPE>(member.paramList[index].type & ~VT_BYREF);
}

struct IntegerRange {
  long long low;
  long long high;
  const char* what;
};

// The integers a parameter of type `vt` takes. A parameter without an
// integer type takes 32 bits, signed or not.
IntegerRange RangeOf(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
      return {INT8_MIN, INT8_MAX, "a signed 8-bit integer"};
    case VT_UI1:
      return {0, UINT8_MAX, "an unsigned 8-bit integer"};
    case VT_I2:
      return {INT16_MIN, INT16_MAX, "a signed 16-bit integer"};
    case VT_UI2:
      return {0, UINT16_MAX, "an unsigned 16-bit integer"};
    case VT_I4:
    case VT_INT:
      return {INT32_MIN, INT32_MAX, "a signed 32-bit integer"};
    case VT_UI4:
    case VT_UINT:
      return {0, UINT32_MAX, "an unsigned 32-bit integer"};
    case VT_I8:
    case VT_UI8:
      return {LLONG_MIN, LLONG_MAX, "a signed 64-bit integer"};
    default:
      return {INT32_MIN, UINT32_MAX, "32 bits"};
  }
}

void IntegerToVariant(py::handle value, const Member& member, size_t index, VARIANT* out) {
  const VARTYPE declared = DeclaredType(member, index);
  const IntegerRange range = RangeOf(declared);
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || number < range.low || number > range.high) {
    Raise(PyExc_OverflowError, ArgumentLabel(member, index) + ": " +
                                   py::str(value).cast<std::string>() + " does not fit in " +
                                   range.what);
  }
  if (declared == VT_I8 || declared == VT_UI8) {
    out->vt = VT_I8;
    out->llVal = number;
  } else if (number <= INT32_MAX) {
    out->vt = VT_I4;
    out->lVal = static_cast<LONG>(number);
  } else {
    out->vt = VT_UI4;
    out->ulVal = static_cast<ULONG>(number);
  }
}

void TextToVariant(py::handle value, const Member& member, size_t index, VARIANT* out) {
  PyObject* bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-16-le", "strict");
  if (!bytes) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    py::error_already_set error;
    std::string where;
    if (py::hasattr(error.value(), "start")) {
      where = " at index " + py::str(error.value().attr("start")).cast<std::string>();
    }
    Raise(PyExc_ValueError,
          ArgumentLabel(member, index) + ": the text holds a lone surrogate" + where);
  }
  const Py_ssize_t size = PyBytes_GET_SIZE(bytes);
  BSTR text = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(PyBytes_AS_STRING(bytes)),
                                static_cast<UINT>(size / 2));
  Py_DECREF(bytes);
  if (!text) throw std::bad_alloc();
  out->vt = VT_BSTR;
  out->bstrVal = text;
}

// A listing turns many short texts into str; texts without surrogates are
// copied straight into a str of the narrowest kind that holds them.
py::object TextOf(BSTR text) {
  if (!text) return py::str("");
  const UINT length = SysStringLen(text);
  OLECHAR widest = 0;
  bool surrogates = false;
  for (UINT i = 0; i < length; ++i) {
    widest = std::max(widest, text[i]);
    surrogates = surrogates || (text[i] >= 0xD800 && text[i] <= 0xDFFF);
  }
  if (!surrogates) {
    const Py_UCS4 limit = widest < 0x80 ? 0x7F : widest < 0x100 ? 0xFF : 0xFFFF;
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(length), limit);
    if (!result) throw py::error_already_set();
    if (limit == 0xFFFF) {
      std::memcpy(PyUnicode_2BYTE_DATA(result), text, length * sizeof(OLECHAR));
    } else {
      Py_UCS1* narrow = PyUnicode_1BYTE_DATA(result);
      for (UINT i = 0; i < length; ++i) narrow[i] = static_cast<Py_UCS1>(text[i]);
    }
    return py::reinterpret_steal<py::object>(result);
  }
  int byteOrder = -1;  // little-endian, as the platform keeps UTF-16
  PyObject* result = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text),
                                           static_cast<Py_ssize_t>(SysStringLen(text)) * 2,
                                           "surrogatepass", &byteOrder);
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

py::object Integer(long long value) {
  return py::reinterpret_steal<py::object>(PyLong_FromLongLong(value));
}

}  // namespace

void ToVariant(py::handle value, const Member& member, size_t index, VARIANT* out) {
  PyObject* object = value.ptr();
  if (object == Py_None) {
    out->vt = VT_NULL;
  } else if (PyBool_Check(object)) {
    out->vt = VT_BOOL;
    out->boolVal = object == Py_True ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (PyLong_Check(object)) {
    IntegerToVariant(value, member, index, out);
  } else if (PyFloat_Check(object)) {
    out->vt = VT_R8;
    out->dblVal = PyFloat_AS_DOUBLE(object);
  } else if (PyUnicode_Check(object)) {
    TextToVariant(value, member, index, out);
  } else if (py::isinstance<DispatchObject>(value)) {
    IDispatch* dispatch = value.cast<DispatchObject&>().dispatch();
    if (!dispatch) {
      Raise(PyExc_ValueError, ArgumentLabel(member, index) + ": the object has been released");
    }
    dispatch->AddRef();
    out->vt = VT_DISPATCH;
    out->pdispVal = dispatch;
  } else {
    Raise(PyExc_TypeError, ArgumentLabel(member, index) + ": cannot pass a " +
                               std::string(Py_TYPE(object)->tp_name));
  }
}

py::object FromVariant(const VARIANT& value, const std::string& member) {
  const bool byRef = (value.vt & VT_BYREF) != 0;
  const auto vt = static_cast<VARTYPE>(value.vt & ~VT_BYREF);
  if (byRef && !value.byref) Raise(PyExc_TypeError, member + ": a reference result points nowhere");
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return py::none();
    case VT_VARIANT:
      if (!byRef) break;
      return FromVariant(*value.pvarVal, member);
    case VT_BOOL:
      return py::bool_((byRef ? *value.pboolVal : value.boolVal) != VARIANT_FALSE);
    case VT_BSTR:
      return TextOf(byRef ? *value.pbstrVal : value.bstrVal);
    case VT_I1:
      return Integer(byRef ? *reinterpret_cast<const CHAR*>(value.byref) : value.cVal);
    case VT_UI1:
      return Integer(byRef ? *value.pbVal : value.bVal);
    case VT_I2:
      return Integer(byRef ? *value.piVal : value.iVal);
    case VT_UI2:
      return Integer(byRef ? *reinterpret_cast<const USHORT*>(value.byref) : value.uiVal);
    case VT_I4:
      return Integer(byRef ? *value.plVal : value.lVal);
    case VT_UI4:
      return Integer(byRef ? *reinterpret_cast<const ULONG*>(value.byref) : value.ulVal);
    case VT_INT:
      return Integer(byRef ? *reinterpret_cast<const INT*>(value.byref) : value.intVal);
    case VT_UINT:
      return Integer(byRef ? *reinterpret_cast<const UINT*>(value.byref) : value.uintVal);
    case VT_I8:
      return Integer(byRef ? *value.pllVal : value.llVal);
    case VT_UI8: {
      const ULONGLONG number =
          byRef ? *reinterpret_cast<const ULONGLONG*>(value.byref) : value.ullVal;
      return py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(number));
    }
    case VT_ERROR:
      return Integer(byRef ? *reinterpret_cast<const SCODE*>(value.byref) : value.scode);
    case VT_R4:
      return py::float_(byRef ? *value.pfltVal : value.fltVal);
    case VT_R8:
      return py::float_(byRef ? *value.pdblVal : value.dblVal);
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* unknown = vt == VT_DISPATCH
                              ? static_cast<IUnknown*>(byRef ? *value.ppdispVal : value.pdispVal)
                              : (byRef ? *value.ppunkVal : value.punkVal);
      if (!unknown) return py::none();
      ComPtr<IDispatch> dispatch;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, dispatch.PutVoid())) || !dispatch) {
        Raise(PyExc_TypeError,
              member + ": the object it returned has no automation interface");
      }
      return WrapDispatch(dispatch.Get());
    }
    default:
      break;
  }
  // Every other number (currency, dates, decimals) as a float.
  VARIANT number;
  VariantInit(&number);
  if (FAILED(VariantChangeType(&number, &value, 0, VT_R8))) {
    char text[96];
    std::snprintf(text, sizeof text, ": the result of type %u has no Python form",
                  static_cast<unsigned>(value.vt));
    Raise(PyExc_TypeError, member + text);
  }
  return py::float_(number.dblVal);
}

}  // namespace vorn_python
