#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/automation.h"
#include "platform/runtime.h"
#include "runtime/unknown_impl.h"

namespace {

VARIANT Long(LONG v) { VARIANT x{}; x.vt = VT_I4; x.lVal = v; return x; }
VARIANT Real(double v) { VARIANT x{}; x.vt = VT_R8; x.dblVal = v; return x; }
VARIANT Bool(bool v) { VARIANT x{}; x.vt = VT_BOOL; x.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; return x; }
VARIANT Text(const char* v) { VARIANT x{}; x.vt = VT_BSTR; x.bstrVal = VornSysAllocStringA(v, -1); return x; }
VARIANT OfType(VARTYPE vt) { VARIANT x{}; x.vt = vt; return x; }

std::string TextOf(const VARIANT& v) {
  LPSTR a = VornSysStringToA(v.bstrVal, nullptr);
  std::string s(a);
  CoTaskMemFree(a);
  return s;
}

// Every conversion a script's value goes through on its way to a member.
TEST(VariantChangeType, ConvertsAsAutomationClientsExpect) {
  struct Case {
    const char* what;
    VARIANT source;
    VARTYPE target;
    HRESULT hr;
    double number;         // expected numeric value for numeric targets
    const char* text;      // expected text for VT_BSTR
  };
  Case cases[] = {
      {"numeric text to long", Text(" 42 "), VT_I4, S_OK, 42, nullptr},
      {"negative text to long", Text("-7"), VT_I4, S_OK, -7, nullptr},
      {"hex text to long", Text("&H1F"), VT_I4, S_OK, 31, nullptr},
      {"fraction text rounds to even", Text("2.5"), VT_I4, S_OK, 2, nullptr},
      {"exponent text", Text("1e3"), VT_I4, S_OK, 1000, nullptr},
      {"word to long", Text("seven"), VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {"empty text to long", Text(""), VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {"trailing junk", Text("12abc"), VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {"text beyond long", Text("2147483648"), VT_I4, DISP_E_OVERFLOW, 0, nullptr},
      {"long minimum", Text("-2147483648"), VT_I4, S_OK, -2147483648.0, nullptr},
      {"real rounds half to even", Real(3.5), VT_I4, S_OK, 4, nullptr},
      {"real rounds half to even down", Real(-2.5), VT_I4, S_OK, -2, nullptr},
      {"real beyond long", Real(1e20), VT_I4, DISP_E_OVERFLOW, 0, nullptr},
      {"nan to long", Real(NAN), VT_I4, DISP_E_OVERFLOW, 0, nullptr},
      {"long to short", Long(-32768), VT_I2, S_OK, -32768, nullptr},
      {"long beyond short", Long(40000), VT_I2, DISP_E_OVERFLOW, 0, nullptr},
      {"negative to byte", Long(-1), VT_UI1, DISP_E_OVERFLOW, 0, nullptr},
      {"bool to long", Bool(true), VT_I4, S_OK, -1, nullptr},
      {"empty to long", OfType(VT_EMPTY), VT_I4, S_OK, 0, nullptr},
      {"null to long", OfType(VT_NULL), VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {"missing argument to long", OfType(VT_ERROR), VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {"long to text", Long(-12), VT_BSTR, S_OK, 0, "-12"},
      {"real to text", Real(0.1), VT_BSTR, S_OK, 0, "0.1"},
      {"bool to text", Bool(true), VT_BSTR, S_OK, 0, "-1"},
      {"empty to text", OfType(VT_EMPTY), VT_BSTR, S_OK, 0, ""},
      {"text to text", Text("not a number"), VT_BSTR, S_OK, 0, "not a number"},
      {"long to long", Long(-9), VT_I4, S_OK, -9, nullptr},
      {"text to bool", Text("TRUE"), VT_BOOL, S_OK, -1, nullptr},
      {"numeric text to bool", Text("0"), VT_BOOL, S_OK, 0, nullptr},
      {"any non-zero to bool", Long(5), VT_BOOL, S_OK, -1, nullptr},
      {"word to bool", Text("maybe"), VT_BOOL, DISP_E_TYPEMISMATCH, 0, nullptr},
      {"unknown target", Long(1), 0x0FFF, DISP_E_BADVARTYPE, 0, nullptr},
  };
  for (Case& c : cases) {
    VARIANT out;
    VariantInit(&out);
    const HRESULT hr = VariantChangeType(&out, &c.source, 0, c.target);
    EXPECT_EQ(hr, c.hr) << c.what;
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(out.vt, c.target) << c.what;
      switch (c.target) {
        case VT_I4: EXPECT_EQ(out.lVal, c.number) << c.what; break;
        case VT_I2: EXPECT_EQ(out.iVal, c.number) << c.what; break;
        case VT_BOOL: EXPECT_EQ(out.boolVal, c.number) << c.what; break;
        case VT_BSTR: EXPECT_EQ(TextOf(out), c.text) << c.what; break;
        default: break;
      }
    } else {
      EXPECT_EQ(out.vt, VT_EMPTY) << c.what;  // a failed conversion leaves dest alone
    }
    VariantClear(&out);
    VariantClear(&c.source);
  }
}

TEST(VariantChangeType, ConvertsInPlaceAndThroughReferences) {
  VARIANT v = Text("123");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the old BSTR is freed
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 123);

  VARIANT inner = Text("9");
  VARIANT ref{};
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &inner;
  VARIANT out{};
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 9);
  EXPECT_EQ(inner.vt, VT_BSTR);  // the referenced value is untouched

  BSTR* where = &inner.bstrVal;
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = where;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
  EXPECT_NE(out.bstrVal, inner.bstrVal);  // a copy, not a borrowed string
  EXPECT_EQ(TextOf(out), "9");
  VariantClear(&out);
  VariantClear(&inner);

  ref.pvarVal = nullptr;
  ref.vt = VT_BYREF | VT_VARIANT;
  EXPECT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), E_INVALIDARG);
}

class Counted final : public IDispatch {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IDispatch>(this, riid, ppv);
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  ULONG refs = 1;
};

TEST(Variant, CopyAndClearBalanceOwnership) {
  Counted object;
  VARIANT a{};
  a.vt = VT_DISPATCH;
  a.pdispVal = &object;
  object.AddRef();
  VARIANT b = Text("x");
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);  // b's string is freed first
  EXPECT_EQ(object.refs, 3u);
  VARIANT c{};
  ASSERT_EQ(VariantChangeType(&c, &a, 0, VT_UNKNOWN), S_OK);
  EXPECT_EQ(object.refs, 4u);
  EXPECT_EQ(VariantChangeType(&c, &a, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c.vt, VT_UNKNOWN);
  VariantClear(&a);
  VariantClear(&b);
  VariantClear(&c);
  EXPECT_EQ(object.refs, 1u);

  VARIANT s = Text("copy me");
  VARIANT t{};
  ASSERT_EQ(VariantCopy(&t, &s), S_OK);
  EXPECT_NE(t.bstrVal, s.bstrVal);
  EXPECT_EQ(TextOf(t), "copy me");
  VariantClear(&s);
  VariantClear(&t);

  VARIANT bad{};
  bad.vt = 0x0FFF;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

}  // namespace
