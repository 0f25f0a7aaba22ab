// The reader of serialised type libraries: bounds-checked from the first
// byte to the last, so a damaged or hostile file is refused, never trusted.

#include <cstring>

#include "runtime/typelib_data.h"
#include "runtime/typelib_writer.h"

namespace vorn_typelib {
namespace {

constexpr size_t kHeaderSize = 16;
constexpr int kMaxTypeDepth = 8;

class Reader {
 public:
  Reader(const BYTE* data, size_t size) : p_(data), left_(size) {}

  bool ok() const { return ok_; }
  size_t left() const { return left_; }

  WORD U16() {
    WORD v = 0;
    Take(&v, 2);
    return v;
  }
  DWORD U32() {
    DWORD v = 0;
    Take(&v, 4);
    return v;
  }
  GUID Guid() {
    GUID g{};
    g.Data1 = U32();
    g.Data2 = U16();
    g.Data3 = U16();
    Take(g.Data4, 8);
    return g;
  }
  std::string Str() {
    const DWORD n = U32();
    if (!ok_ || n > 0xFFFF || n > left_) {
      ok_ = false;
      return std::string();
    }
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    left_ -= n;
    return s;
  }
  void Fail() { ok_ = false; }

 private:
  void Take(void* out, size_t n) {
    if (!ok_ || n > left_) {
      ok_ = false;
      return;
    }
    std::memcpy(out, p_, n);
    p_ += n;
    left_ -= n;
  }

  const BYTE* p_;
  size_t left_;
  bool ok_ = true;
};

bool IsKnownVt(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_VARIANT:
    case VT_UNKNOWN: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8:
    case VT_UI8: case VT_INT: case VT_UINT: case VT_VOID: case VT_HRESULT: case VT_PTR:
    case VT_USERDEFINED: case VT_LPSTR: case VT_LPWSTR:
      return true;
    default:
      return false;
  }
}

bool ReadTypeDesc(Reader& in, LibData& lib, int depth, TYPEDESC* out) {
  *out = TYPEDESC{};
  out->vt = in.U16();
  if (!in.ok() || !IsKnownVt(out->vt)) return false;
  if (out->vt == VT_USERDEFINED) {
    out->hreftype = in.U32();
  } else if (out->vt == VT_PTR) {
    if (depth >= kMaxTypeDepth) return false;
    TYPEDESC inner;
    if (!ReadTypeDesc(in, lib, depth + 1, &inner)) return false;
    lib.pointed.push_back(inner);
    out->lptdesc = &lib.pointed.back();
  }
  return in.ok();
}

bool RefsValid(const TYPEDESC& t, size_t typeCount) {
  if (t.vt == VT_USERDEFINED) return t.hreftype < typeCount;
  if (t.vt == VT_PTR) return RefsValid(*t.lptdesc, typeCount);
  return true;
}

}  // namespace

HRESULT Parse(const BYTE* data, size_t size, LibData* lib) {
  if (!data || size < 4 || std::memcmp(data, "VTLB", 4) != 0) return TYPE_E_INVDATAREAD;
  if (size < kHeaderSize) return TYPE_E_INVDATAREAD;
  Reader header(data + 4, kHeaderSize - 4);
  const WORD major = header.U16();
  const WORD minor = header.U16();
  const DWORD bodySize = header.U32();
  const DWORD crc = header.U32();
  if (major != 1) return TYPE_E_UNSUPFORMAT;
  if (bodySize != size - kHeaderSize) return TYPE_E_INVDATAREAD;
  const BYTE* body = data + kHeaderSize;
  if (VornTypeLibChecksum(body, bodySize) != crc) return TYPE_E_INVDATAREAD;

  Reader in(body, bodySize);
  TLIBATTR& la = lib->attr;
  la.guid = in.Guid();
  la.lcid = in.U32();
  la.wMajorVerNum = in.U16();
  la.wMinorVerNum = in.U16();
  la.wLibFlags = in.U16();
  la.syskind = static_cast<SYSKIND>(in.U16());
  lib->helpContext = in.U32();
  lib->name = in.Str();
  lib->doc = in.Str();
  lib->helpFile = in.Str();
  const WORD typeCount = in.U16();
  if (!in.ok() || lib->name.empty()) return TYPE_E_INVDATAREAD;

  for (WORD t = 0; t < typeCount; ++t) {
    TypeData type;
    TYPEATTR& ta = type.attr;
    const WORD kind = in.U16();
    if (kind >= TKIND_MAX) return TYPE_E_INVDATAREAD;
    ta.typekind = static_cast<TYPEKIND>(kind);
    ta.wTypeFlags = in.U16();
    ta.guid = in.Guid();
    ta.wMajorVerNum = in.U16();
    ta.wMinorVerNum = in.U16();
    type.helpContext = in.U32();
    type.name = in.Str();
    type.doc = in.Str();
    if (!in.ok() || type.name.empty()) return TYPE_E_INVDATAREAD;
    ta.lcid = la.lcid;
    ta.memidConstructor = MEMBERID_NIL;
    ta.memidDestructor = MEMBERID_NIL;
    ta.cbSizeVft = static_cast<WORD>(7 * sizeof(void*));  // the IDispatch table
    ta.cbAlignment = static_cast<WORD>(alignof(void*));
    ta.cbSizeInstance = sizeof(void*);
    if (ta.typekind == TKIND_ALIAS && !ReadTypeDesc(in, *lib, 0, &ta.tdescAlias)) {
      return TYPE_E_INVDATAREAD;
    }
    const WORD implCount = in.U16();
    for (WORD i = 0; i < implCount && in.ok(); ++i) {
      const HREFTYPE href = in.U32();
      const INT flags = static_cast<INT>(in.U32());
      type.impls.emplace_back(href, flags);
    }
    const WORD funcCount = in.U16();
    for (WORD f = 0; f < funcCount && in.ok(); ++f) {
      FuncData func;
      FUNCDESC& fd = func.desc;
      fd.memid = static_cast<MEMBERID>(in.U32());
      const WORD invkind = in.U16();
      if (invkind != INVOKE_FUNC && invkind != INVOKE_PROPERTYGET &&
          invkind != INVOKE_PROPERTYPUT && invkind != INVOKE_PROPERTYPUTREF) {
        return TYPE_E_INVDATAREAD;
      }
      fd.invkind = static_cast<INVOKEKIND>(invkind);
      fd.wFuncFlags = in.U16();
      func.helpContext = in.U32();
      func.name = in.Str();
      func.doc = in.Str();
      if (!in.ok() || func.name.empty()) return TYPE_E_INVDATAREAD;
      if (!ReadTypeDesc(in, *lib, 0, &fd.elemdescFunc.tdesc)) return TYPE_E_INVDATAREAD;
      const WORD paramCount = in.U16();
      if (paramCount > 0x7FFF) return TYPE_E_INVDATAREAD;
      for (WORD p = 0; p < paramCount && in.ok(); ++p) {
        func.paramNames.push_back(in.Str());
        ELEMDESC e{};
        if (!ReadTypeDesc(in, *lib, 0, &e.tdesc)) return TYPE_E_INVDATAREAD;
        e.paramdesc.wParamFlags = in.U16();
        func.params.push_back(e);
      }
      if (!in.ok()) return TYPE_E_INVDATAREAD;
      for (const FuncData& other : type.funcs) {
        if (other.desc.memid == fd.memid && other.desc.invkind == fd.invkind) {
          return TYPE_E_INVDATAREAD;
        }
      }
      fd.funckind = FUNC_DISPATCH;
      fd.callconv = CC_STDCALL;
      fd.cParams = static_cast<SHORT>(func.params.size());
      type.funcs.push_back(std::move(func));
    }
    if (!in.ok()) return TYPE_E_INVDATAREAD;
    ta.cFuncs = static_cast<WORD>(type.funcs.size());
    ta.cImplTypes = static_cast<WORD>(type.impls.size());
    lib->types.push_back(std::move(type));
  }
  if (!in.ok() || (minor == 0 && in.left() != 0)) return TYPE_E_INVDATAREAD;

  // References must name types of this library; implemented types must be
  // interfaces.
  const size_t count = lib->types.size();
  for (TypeData& type : lib->types) {
    if (type.attr.typekind == TKIND_ALIAS && !RefsValid(type.attr.tdescAlias, count)) {
      return TYPE_E_INVDATAREAD;
    }
    for (const auto& [href, flags] : type.impls) {
      if (href >= count) return TYPE_E_INVDATAREAD;
      const TYPEKIND k = lib->types[href].attr.typekind;
      if (k != TKIND_DISPATCH && k != TKIND_INTERFACE) return TYPE_E_INVDATAREAD;
    }
    for (FuncData& func : type.funcs) {
      if (!RefsValid(func.desc.elemdescFunc.tdesc, count)) return TYPE_E_INVDATAREAD;
      for (const ELEMDESC& e : func.params) {
        if (!RefsValid(e.tdesc, count)) return TYPE_E_INVDATAREAD;
      }
      func.desc.lprgelemdescParam = func.params.empty() ? nullptr : func.params.data();
    }
  }
  return S_OK;
}

}  // namespace vorn_typelib
