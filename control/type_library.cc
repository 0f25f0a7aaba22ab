#include "control/type_library.h"

#include <string>

#include "control/dispatch_table.h"
#include "control/identifiers.h"
#include "runtime/typelib_writer.h"

namespace {

std::vector<BYTE> Build() {
  TypeLibWriter w;
  w.SetLibrary(LIBID_VORNOUTLOOKEXPRESSLib, kLibraryName, kLibraryMajor, kLibraryMinor,
               kLibraryLocale, LIBFLAG_FCONTROL, kLibraryHelpString, kLibraryHelpFile);
  const HREFTYPE dispatch =
      w.AddType(TKIND_DISPATCH, kDispatchName, DIID__DVornOutlookExpress,
                TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE, kDispatchHelpString);
  const HREFTYPE events = w.AddType(TKIND_DISPATCH, kEventsName, DIID__DVornOutlookExpressEvents,
                                    TYPEFLAG_FDISPATCHABLE, kEventsHelpString);
  const HREFTYPE coclass =
      w.AddType(TKIND_COCLASS, kCoclassName, CLSID_VornOutlookExpress,
                TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, kCoclassHelpString);
  const HREFTYPE xpos = w.AddType(TKIND_ALIAS, kXPosPixelsName, GUID_NULL, 0, "");
  w.SetAlias(xpos, {VT_I4, 0});
  const HREFTYPE ypos = w.AddType(TKIND_ALIAS, kYPosPixelsName, GUID_NULL, 0, "");
  w.SetAlias(ypos, {VT_I4, 0});

  auto type = [&](const DispatchType& t) -> TypeLibWriter::Type {
    if (!t.alias) return {t.vt, 0};
    return {VT_USERDEFINED, std::string(t.alias) == kXPosPixelsName ? xpos : ypos};
  };
  for (const DispatchMember& m : DispatchMembers()) {
    std::vector<TypeLibWriter::Param> params;
    for (UINT i = 0; i < m.paramCount; ++i) {
      params.push_back({m.params[i].name, type(m.params[i].type)});
    }
    w.AddFunction(dispatch, m.dispid, m.name, INVOKE_FUNC, type(m.result), params);
  }
  for (const EventMember& e : EventMembers()) {
    std::vector<TypeLibWriter::Param> params;
    for (UINT i = 0; i < e.paramCount; ++i) {
      params.push_back({e.params[i].name, type(e.params[i].type)});
    }
    w.AddFunction(events, e.dispid, e.name, INVOKE_FUNC, {VT_VOID, 0}, params);
  }
  w.AddImplType(coclass, dispatch, IMPLTYPEFLAG_FDEFAULT);
  w.AddImplType(coclass, events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  return w.Serialize();
}

}  // namespace

const std::vector<BYTE>& ControlTypeLibBytes() {
  static const std::vector<BYTE> bytes = Build();
  return bytes;
}

HRESULT LoadControlTypeLib(ITypeLib** typeLib) {
  try {
    const std::vector<BYTE>& bytes = ControlTypeLibBytes();
    return VornLoadTypeLibFromMemory(bytes.data(), bytes.size(), typeLib);
  } catch (...) {
    if (typeLib) *typeLib = nullptr;
    return E_OUTOFMEMORY;
  }
}
