#include "tests/runtime/sample_typelib.h"

#include "runtime/typelib_writer.h"

namespace vorn_test {

std::vector<BYTE> SampleTypeLib(bool badRef) {
  TypeLibWriter w;
  w.SetLibrary(kSampleLibId, "SampleLib", 2, 5, 0x0409, LIBFLAG_FCONTROL, "Sample library",
               "sample.hlp");
  const HREFTYPE pixels = w.AddType(TKIND_ALIAS, "PIXELS", GUID_NULL, 0, "");
  w.SetAlias(pixels, {VT_I4, 0});
  const HREFTYPE dispatch =
      w.AddType(TKIND_DISPATCH, "_DSample", kSampleDispatchId, TYPEFLAG_FHIDDEN, "Sample calls");
  w.AddFunction(dispatch, 2, "Add", INVOKE_FUNC, {VT_I4, 0},
                {{"Left", {VT_I4, 0}}, {"Right", {VT_I4, 0}}}, "Adds");
  w.AddFunction(dispatch, 3, "Echo", INVOKE_FUNC, {VT_BSTR, 0}, {{"Text", {VT_BSTR, 0}}});
  w.AddFunction(dispatch, -552, "AboutBox", INVOKE_FUNC, {VT_VOID, 0}, {});
  const HREFTYPE events = w.AddType(TKIND_DISPATCH, "_DSampleEvents", kSampleEventsId, 0, "");
  w.AddFunction(events, -605, "MouseDown", INVOKE_FUNC, {VT_VOID, 0},
                {{"Button", {VT_I2, 0}}, {"x", {VT_USERDEFINED, pixels}}});
  const HREFTYPE coclass = w.AddType(TKIND_COCLASS, "Sample", kSampleClassId,
                                     TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, "Sample class");
  w.AddImplType(coclass, dispatch, IMPLTYPEFLAG_FDEFAULT);
  w.AddImplType(coclass, badRef ? 99 : events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  return w.Serialize();
}

}  // namespace vorn_test
