#include "tests/hosts/test_thing.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/control.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"
#include "runtime/typelib_writer.h"
#include "runtime/unknown_impl.h"

namespace vorn_test {
namespace {

std::atomic<int> gLive{0};

enum : DISPID {
  kAdd = 1,
  kConcat,
  kDescribe,
  kMake,
  kFail,
  kRaise,
  kFire,
  kValue,
  kCount,
  kOptional,
  kValuePut = 11,  // the put half of Value (the reader wants distinct ids)
  kSecret = 50,
};

std::vector<BYTE> BuildTypeLib() {
  TypeLibWriter w;
  w.SetLibrary(MakeGuid("{7D0B58E2-3C1A-4F0E-9B6D-2A5C8E1F4B00}"), "TestThingLib", 1, 0, 0x0409, 0,
               "Test thing library", "");
  const HREFTYPE dispatch = w.AddType(TKIND_DISPATCH, "_DTestThing", DIID_TestThing,
                                      TYPEFLAG_FDISPATCHABLE, "Test thing calls");
  const TypeLibWriter::Type i4{VT_I4, 0}, bstr{VT_BSTR, 0}, var{VT_VARIANT, 0}, none{VT_VOID, 0};
  w.AddFunction(dispatch, kAdd, "Add", INVOKE_FUNC, i4, {{"a", i4}, {"b", i4}});
  w.AddFunction(dispatch, kConcat, "Concat", INVOKE_FUNC, bstr, {{"a", bstr}, {"b", bstr}});
  w.AddFunction(dispatch, kDescribe, "Describe", INVOKE_FUNC, bstr, {{"value", var}});
  w.AddFunction(dispatch, kMake, "Make", INVOKE_FUNC, var, {{"kind", bstr}});
  w.AddFunction(dispatch, kFail, "Fail", INVOKE_FUNC, none, {{"hr", i4}});
  w.AddFunction(dispatch, kRaise, "Raise", INVOKE_FUNC, none, {{"text", bstr}});
  w.AddFunction(dispatch, kFire, "Fire", INVOKE_FUNC, none, {{"n", i4}});
  w.AddFunction(dispatch, kValue, "Value", INVOKE_PROPERTYGET, i4, {});
  w.AddFunction(dispatch, kValuePut, "Value", INVOKE_PROPERTYPUT, none, {{"value", i4}});
  w.AddFunction(dispatch, kCount, "Count", INVOKE_FUNC, i4, {});
  w.AddFunction(dispatch, kOptional, "Optional", INVOKE_FUNC, i4,
                {{"a", i4}, {"b", i4, PARAMFLAG_FIN | PARAMFLAG_FOPT}});
  const HREFTYPE events =
      w.AddType(TKIND_DISPATCH, "_DTestThingEvents", DIID_TestThingEvents, 0, "Events");
  w.AddFunction(events, 1, "Ping", INVOKE_FUNC, none, {{"n", i4}});
  w.AddFunction(events, 2, "Done", INVOKE_FUNC, none, {});
  const HREFTYPE coclass =
      w.AddType(TKIND_COCLASS, "TestThing", CLSID_TestThing, TYPEFLAG_FCANCREATE, "");
  w.AddImplType(coclass, dispatch, IMPLTYPEFLAG_FDEFAULT);
  w.AddImplType(coclass, events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  return w.Serialize();
}

HRESULT LoadTestTypeLib(ITypeLib** lib) {
  static const std::vector<BYTE> bytes = BuildTypeLib();
  return VornLoadTypeLibFromMemory(bytes.data(), bytes.size(), lib);
}

std::string Narrow(BSTR text) {
  int cb = 0;
  LPSTR narrow = VornSysStringToA(text, &cb);
  std::string result(narrow ? narrow : "", narrow ? static_cast<size_t>(cb) : 0);
  CoTaskMemFree(narrow);
  return result;
}

BSTR Wide(const std::string& text) {
  return VornSysAllocStringA(text.data(), static_cast<int>(text.size()));
}

std::string Describe(const VARIANT& v) {
  char text[64];
  switch (v.vt) {
    case VT_EMPTY:
      return "EMPTY";
    case VT_NULL:
      return "NULL";
    case VT_I4:
      return "I4 " + std::to_string(v.lVal);
    case VT_R8:
      std::snprintf(text, sizeof text, "R8 %.17g", v.dblVal);
      return text;
    case VT_BOOL:
      return "BOOL " + std::to_string(v.boolVal);
    case VT_BSTR:
      return "BSTR " + Narrow(v.bstrVal) + " (" + std::to_string(SysStringLen(v.bstrVal)) +
             " units)";
    case VT_DISPATCH: {
      ComPtr<IUnknown> thing;
      const bool isThing =
          v.pdispVal && SUCCEEDED(v.pdispVal->QueryInterface(DIID_TestThing, thing.PutVoid()));
      return isThing ? "DISPATCH TestThing" : "DISPATCH";
    }
    default:
      return "VT " + std::to_string(v.vt);
  }
}

class TestThing final : public IDispatch,
                        public IProvideClassInfo,
                        public IConnectionPointContainer,
                        public IViewObject {
 public:
  TestThing() { ++gLive; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    IDispatch* dispatch = this;
    return QueryInterfaceFrom({{IID_IUnknown, dispatch},
                               {IID_IDispatch, dispatch},
                               {DIID_TestThing, dispatch},
                               {IID_IProvideClassInfo, static_cast<IProvideClassInfo*>(this)},
                               {IID_IConnectionPointContainer,
                                static_cast<IConnectionPointContainer*>(this)},
                               {IID_IViewObject, static_cast<IViewObject*>(this)}},
                              riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return TypeInfo(DIID_TestThing, info);
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    ComPtr<ITypeInfo> info;
    HRESULT hr = TypeInfo(DIID_TestThing, info.Put());
    if (FAILED(hr)) return hr;
    hr = info->GetIDsOfNames(names, count, ids);
    if (FAILED(hr) && count == 1) {
      BSTR name = SysAllocString(names[0]);
      const std::string text = Narrow(name);
      SysFreeString(name);
      if (text == "Secret" || text == "secret") {
        ids[0] = kSecret;
        return S_OK;
      }
    }
    return hr;
  }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argError) override {
    VARIANT* args = params->rgvarg;
    const UINT n = params->cArgs;
    // The argument at declared position i (arguments arrive last first).
    auto arg = [&](UINT i) -> VARIANT& { return args[n - 1 - i]; };
    auto longArg = [&](UINT i, LONG* out) {
      VARIANT v;
      VariantInit(&v);
      if (FAILED(VariantChangeType(&v, &arg(i), 0, VT_I4))) {
        *argError = n - 1 - i;
        return false;
      }
      *out = v.lVal;
      return true;
    };
    auto textArg = [&](UINT i, std::string* out) {
      VARIANT v;
      VariantInit(&v);
      if (FAILED(VariantChangeType(&v, &arg(i), 0, VT_BSTR))) {
        *argError = n - 1 - i;
        return false;
      }
      *out = Narrow(v.bstrVal);
      VariantClear(&v);
      return true;
    };
    auto returnLong = [&](LONG value) {
      if (result) {
        result->vt = VT_I4;
        result->lVal = value;
      }
      return S_OK;
    };
    auto returnText = [&](const std::string& text) {
      if (result) {
        result->vt = VT_BSTR;
        result->bstrVal = Wide(text);
      }
      return S_OK;
    };
    auto expect = [&](UINT count) { return n == count; };
    LONG a = 0, b = 0;
    std::string s, t;
    if (dispid == kValue && (flags & DISPATCH_PROPERTYPUT)) {
      if (params->cNamedArgs != 1 || !expect(1)) return DISP_E_BADPARAMCOUNT;
      if (!longArg(0, &a)) return DISP_E_TYPEMISMATCH;
      value_ = a;
      return S_OK;
    }
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    switch (dispid) {
      case kAdd:
        if (!expect(2)) return DISP_E_BADPARAMCOUNT;
        if (!longArg(0, &a) || !longArg(1, &b)) return DISP_E_TYPEMISMATCH;
        return returnLong(a + b);
      case kConcat:
        if (!expect(2)) return DISP_E_BADPARAMCOUNT;
        if (!textArg(0, &s) || !textArg(1, &t)) return DISP_E_TYPEMISMATCH;
        return returnText(s + t);
      case kDescribe:
        if (!expect(1)) return DISP_E_BADPARAMCOUNT;
        return returnText(Describe(arg(0)));
      case kMake:
        if (!expect(1)) return DISP_E_BADPARAMCOUNT;
        if (!textArg(0, &s)) return DISP_E_TYPEMISMATCH;
        return Make(s, result);
      case kFail:
        if (!expect(1)) return DISP_E_BADPARAMCOUNT;
        if (!longArg(0, &a)) return DISP_E_TYPEMISMATCH;
        return a;
      case kRaise:
        if (!expect(1)) return DISP_E_BADPARAMCOUNT;
        if (!textArg(0, &s)) return DISP_E_TYPEMISMATCH;
        if (exception) {
          exception->bstrSource = Wide("TestThing");
          exception->bstrDescription = Wide(s);
          exception->scode = CONNECT_E_ADVISELIMIT;
        }
        return DISP_E_EXCEPTION;
      case kFire: {
        if (!expect(1)) return DISP_E_BADPARAMCOUNT;
        if (!longArg(0, &a)) return DISP_E_TYPEMISMATCH;
        const std::vector<ComPtr<IDispatch>> sinks = point_.sinks;
        for (const ComPtr<IDispatch>& sink : sinks) {
          VARIANT ping;
          ping.vt = VT_I4;
          ping.lVal = a;
          DISPPARAMS pingParams{&ping, nullptr, 1, 0};
          sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &pingParams, nullptr, nullptr, nullptr);
          DISPPARAMS doneParams{nullptr, nullptr, 0, 0};
          sink->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &doneParams, nullptr, nullptr, nullptr);
        }
        return S_OK;
      }
      case kValue:
        if (!expect(0)) return DISP_E_BADPARAMCOUNT;
        return returnLong(value_);
      case kCount:
        if (!expect(0)) return DISP_E_BADPARAMCOUNT;
        return returnLong(gLive);
      case kOptional:
        if (n < 1 || n > 2) return DISP_E_BADPARAMCOUNT;
        b = 10;
        if (!longArg(0, &a) || (n == 2 && !longArg(1, &b))) return DISP_E_TYPEMISMATCH;
        return returnLong(a + b);
      case kSecret:
        return returnLong(7);
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

  HRESULT GetClassInfo(ITypeInfo** info) override { return TypeInfo(CLSID_TestThing, info); }

  // Blue over the bounds, one red pixel one step in from the top-left corner.
  HRESULT Draw(DWORD aspect, LONG, void*, void*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
               BOOL (*)(ULONG_PTR), ULONG_PTR) override {
    if (aspect != DVASPECT_CONTENT || !bounds) return DV_E_DVASPECT;
    HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    FillRect(dc, bounds, blue);
    const RECT dot{bounds->left + 1, bounds->top + 1, bounds->left + 2, bounds->top + 2};
    FillRect(dc, &dot, red);
    DeleteObject(blue);
    DeleteObject(red);
    return S_OK;
  }

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override {
    *points = nullptr;
    return E_NOTIMPL;
  }
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    *point = nullptr;
    if (!(iid == DIID_TestThingEvents)) return CONNECT_E_NOCONNECTION;
    *point = &point_;
    AddRef();
    return S_OK;
  }

 private:
  class Point final : public IConnectionPoint {
   public:
    explicit Point(TestThing* owner) : owner_(owner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
      return QueryInterfaceAs<IConnectionPoint>(this, riid, ppv);
    }
    ULONG AddRef() override { return owner_->AddRef(); }
    ULONG Release() override { return owner_->Release(); }
    HRESULT GetConnectionInterface(IID* iid) override {
      *iid = DIID_TestThingEvents;
      return S_OK;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** c) override {
      return owner_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(c));
    }
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
      ComPtr<IDispatch> dispatch;
      if (FAILED(sink->QueryInterface(DIID_TestThingEvents, dispatch.PutVoid()))) {
        return CONNECT_E_CANNOTCONNECT;
      }
      sinks.push_back(dispatch);
      cookies.push_back(next);
      *cookie = next++;
      return S_OK;
    }
    HRESULT Unadvise(DWORD cookie) override {
      for (size_t i = 0; i < cookies.size(); ++i) {
        if (cookies[i] == cookie) {
          ComPtr<IDispatch> gone = sinks[i];
          sinks.erase(sinks.begin() + static_cast<std::ptrdiff_t>(i));
          cookies.erase(cookies.begin() + static_cast<std::ptrdiff_t>(i));
          return S_OK;
        }
      }
      return CONNECT_E_NOCONNECTION;
    }
    HRESULT EnumConnections(IEnumConnections** e) override {
      *e = nullptr;
      return E_NOTIMPL;
    }
    std::vector<ComPtr<IDispatch>> sinks;
    std::vector<DWORD> cookies;
    DWORD next = 1;

   private:
    TestThing* owner_;
  };

  ~TestThing() { --gLive; }

  HRESULT TypeInfo(REFGUID guid, ITypeInfo** info) {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTestTypeLib(lib.Put());
    if (FAILED(hr)) return hr;
    return lib->GetTypeInfoOfGuid(guid, info);
  }

  HRESULT Make(const std::string& kind, VARIANT* result) {
    VARIANT v;
    VariantInit(&v);
    if (kind == "i2") {
      v.vt = VT_I2;
      v.iVal = -5;
    } else if (kind == "ui1") {
      v.vt = VT_UI1;
      v.bVal = 200;
    } else if (kind == "r4") {
      v.vt = VT_R4;
      v.fltVal = 1.5f;
    } else if (kind == "true" || kind == "false") {
      v.vt = VT_BOOL;
      v.boolVal = kind == "true" ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (kind == "text") {
      v.vt = VT_BSTR;
      v.bstrVal = Wide("a\xF0\x9F\x98\x80\xC3\xA9");
    } else if (kind == "nulltext") {
      v.vt = VT_BSTR;
      v.bstrVal = nullptr;
    } else if (kind == "null") {
      v.vt = VT_NULL;
    } else if (kind == "self") {
      v.vt = VT_DISPATCH;
      v.pdispVal = this;
      AddRef();
    } else if (kind == "nothing") {
      v.vt = VT_DISPATCH;
      v.pdispVal = nullptr;
    } else if (kind == "error") {
      v.vt = VT_ERROR;
      v.scode = E_FAIL;
    } else if (kind == "i8") {
      v.vt = VT_I8;
      v.llVal = 1LL << 40;
    } else if (kind == "byref") {
      v.vt = VT_BYREF | VT_I4;
      v.plVal = &byRefValue_;
    } else if (kind == "record") {
      v.vt = 36;  // VT_RECORD: no script form
    } else if (kind != "empty") {
      return E_INVALIDARG;
    }
    if (result) {
      *result = v;
    } else {
      VariantClear(&v);
    }
    return S_OK;
  }

  RefCount<> refs_;
  LONG value_ = 0;
  LONG byRefValue_ = 77;
  Point point_{this};
};

class Factory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* thing = new TestThing();
    const HRESULT hr = thing->QueryInterface(riid, ppv);
    thing->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  ~Factory() = default;
  RefCount<> refs_;
};

}  // namespace

int LiveTestThings() { return gLive; }

HRESULT GetTestThingClassObject(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  Factory* factory = new Factory();
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

TestThingRegistration::TestThingRegistration() {
  CoInitialize(nullptr);
  Factory* factory = new Factory();
  CoRegisterClassObject(CLSID_TestThing, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                        &cookie_);
  factory->Release();
  char clsid[40];
  StringFromGUID2(CLSID_TestThing, clsid, sizeof clsid);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string(kTestThingProgId) + "\\CLSID").c_str(), 0,
                      nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid),
                   static_cast<DWORD>(std::string(clsid).size() + 1));
    RegCloseKey(key);
  }
}

TestThingRegistration::~TestThingRegistration() {
  if (cookie_) CoRevokeClassObject(cookie_);
  RegDeleteTreeA(HKEY_CLASSES_ROOT, kTestThingProgId);
  CoUninitialize();
}

}  // namespace vorn_test
