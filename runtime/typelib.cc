// Type libraries: reading the serialised form (runtime/typelib_writer.h),
// ITypeLib and ITypeInfo over what was read, loading from files and library
// resources, and the registry entries of a registered library.

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/registry.h"
#include "platform/resource.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"
#include "runtime/typelib_writer.h"
#include "runtime/unknown_impl.h"

namespace {

constexpr size_t kHeaderSize = 16;
constexpr int kMaxTypeDepth = 8;
constexpr size_t kMaxFileSize = 64u << 20;

// ---------------------------------------------------------------------------
// Text helpers.

std::string WideToUtf8(const OLECHAR* text) {
  if (!text) return std::string();
  size_t length = 0;
  while (text[length]) ++length;
  if (length == 0) return std::string();
  const int needed = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string result(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), result.data(), needed, nullptr,
                      nullptr);
  return result;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Hands out a new BSTR through an optional out-parameter.
HRESULT PutText(BSTR* out, const std::string& text) {
  if (!out) return S_OK;
  *out = VornSysAllocStringA(text.data(), static_cast<int>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

std::string GuidText(REFGUID guid) {
  char text[40];
  StringFromGUID2(guid, text, sizeof text);
  return text;
}

// ---------------------------------------------------------------------------
// What a library holds once read.

struct FuncData {
  FUNCDESC desc{};
  std::vector<ELEMDESC> params;
  std::string name;
  std::vector<std::string> paramNames;
  std::string doc;
  DWORD helpContext = 0;
};

struct TypeData {
  TYPEATTR attr{};
  std::string name;
  std::string doc;
  DWORD helpContext = 0;
  std::vector<std::pair<HREFTYPE, INT>> impls;
  std::vector<FuncData> funcs;
};

struct LibData {
  TLIBATTR attr{};
  std::string name;
  std::string doc;
  std::string helpFile;
  DWORD helpContext = 0;
  std::vector<TypeData> types;
  std::deque<TYPEDESC> pointed;  // targets of VT_PTR types, at stable addresses
};

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

// ---------------------------------------------------------------------------
// The objects.

class TypeLib;

// One type. Its lifetime is its library's: it counts references on the
// library it belongs to.
class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo(TypeLib* lib, UINT index) : lib_(lib), index_(index) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<ITypeInfo>(this, riid, ppv);
  }
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetTypeAttr(TYPEATTR** attr) override {
    if (!attr) return E_INVALIDARG;
    *attr = &Data().attr;
    return S_OK;
  }
  // The descriptions live as long as the library; releasing them is free.
  void ReleaseTypeAttr(TYPEATTR*) override {}
  HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override {
    if (!desc) return E_INVALIDARG;
    *desc = nullptr;
    if (index >= Data().funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
    *desc = &Data().funcs[index].desc;
    return S_OK;
  }
  void ReleaseFuncDesc(FUNCDESC*) override {}
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT maxNames, UINT* count) override {
    if (!names || !count) return E_INVALIDARG;
    *count = 0;
    const FuncData* f = Find(memid);
    if (!f) return TYPE_E_ELEMENTNOTFOUND;
    std::vector<const std::string*> all{&f->name};
    for (const std::string& p : f->paramNames) all.push_back(&p);
    for (UINT i = 0; i < maxNames && i < all.size(); ++i) {
      if (FAILED(PutText(&names[i], *all[i]))) {
        for (UINT k = 0; k < i; ++k) SysFreeString(names[k]);
        return E_OUTOFMEMORY;
      }
      *count = i + 1;
    }
    return S_OK;
  }
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* memids) override {
    if (!names || !memids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) memids[i] = MEMBERID_NIL;
    const std::string wanted = WideToUtf8(names[0]);
    for (const FuncData& f : Data().funcs) {
      if (!EqualNoCase(f.name, wanted)) continue;
      memids[0] = f.desc.memid;
      HRESULT hr = S_OK;
      for (UINT i = 1; i < count; ++i) {
        const std::string param = WideToUtf8(names[i]);
        bool found = false;
        for (size_t p = 0; p < f.paramNames.size(); ++p) {
          if (EqualNoCase(f.paramNames[p], param)) {
            memids[i] = static_cast<MEMBERID>(p);
            found = true;
            break;
          }
        }
        if (!found) hr = DISP_E_UNKNOWNNAME;
      }
      return hr;
    }
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* docString, DWORD* helpContext,
                           BSTR* helpFile) override;
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* refType) override {
    if (!refType) return E_INVALIDARG;
    if (index >= Data().impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *refType = Data().impls[index].first;
    return S_OK;
  }
  HRESULT GetImplTypeFlags(UINT index, INT* flags) override {
    if (!flags) return E_INVALIDARG;
    if (index >= Data().impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *flags = Data().impls[index].second;
    return S_OK;
  }
  HRESULT GetRefTypeInfo(HREFTYPE refType, ITypeInfo** typeInfo) override;
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_INVALIDARG;
    *object = nullptr;
    if (Data().attr.typekind != TKIND_COCLASS) return E_INVALIDARG;
    return CoCreateInstance(Data().attr.guid, outer, CLSCTX_INPROC_SERVER, riid, object);
  }
  HRESULT GetContainingTypeLib(ITypeLib** typeLib, UINT* index) override;

 private:
  TypeData& Data();
  const FuncData* Find(MEMBERID memid) {
    for (const FuncData& f : Data().funcs) {
      if (f.desc.memid == memid) return &f;
    }
    return nullptr;
  }

  TypeLib* lib_;
  UINT index_;
};

class TypeLib final : public ITypeLib {
 public:
  explicit TypeLib(LibData data) : data_(std::move(data)) {
    for (UINT i = 0; i < data_.types.size(); ++i) {
      infos_.push_back(std::make_unique<TypeInfo>(this, i));
    }
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<ITypeLib>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  UINT GetTypeInfoCount() override { return static_cast<UINT>(infos_.size()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** typeInfo) override {
    if (!typeInfo) return E_INVALIDARG;
    *typeInfo = nullptr;
    if (index >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *typeInfo = infos_[index].get();
    AddRef();
    return S_OK;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (!kind) return E_INVALIDARG;
    if (index >= data_.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = data_.types[index].attr.typekind;
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** typeInfo) override {
    if (!typeInfo) return E_INVALIDARG;
    *typeInfo = nullptr;
    if (guid == GUID_NULL) return TYPE_E_ELEMENTNOTFOUND;
    for (UINT i = 0; i < data_.types.size(); ++i) {
      if (data_.types[i].attr.guid == guid) return GetTypeInfo(i, typeInfo);
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** attr) override {
    if (!attr) return E_INVALIDARG;
    *attr = &data_.attr;
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR*) override {}
  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext,
                           BSTR* helpFile) override {
    const std::string* n;
    const std::string* d;
    DWORD context;
    if (index == -1) {
      n = &data_.name;
      d = &data_.doc;
      context = data_.helpContext;
    } else if (index >= 0 && static_cast<size_t>(index) < data_.types.size()) {
      n = &data_.types[index].name;
      d = &data_.types[index].doc;
      context = data_.types[index].helpContext;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    return Document(*n, *d, context, name, docString, helpContext, helpFile);
  }

  // Fills the optional out-parameters of a GetDocumentation call; on failure
  // none of them holds a string.
  HRESULT Document(const std::string& n, const std::string& d, DWORD context, BSTR* name,
                   BSTR* docString, DWORD* helpContext, BSTR* helpFile) {
    BSTR* outs[] = {name, docString, helpFile};
    for (BSTR* o : outs) {
      if (o) *o = nullptr;
    }
    if (FAILED(PutText(name, n)) || FAILED(PutText(docString, d)) ||
        FAILED(PutText(helpFile, data_.helpFile))) {
      for (BSTR* o : outs) {
        if (o) {
          SysFreeString(*o);
          *o = nullptr;
        }
      }
      return E_OUTOFMEMORY;
    }
    if (helpContext) *helpContext = context;
    return S_OK;
  }

  LibData& data() { return data_; }
  TypeInfo* info(UINT index) { return infos_[index].get(); }

 private:
  ~TypeLib() = default;

  RefCount<> refs_;
  LibData data_;
  std::vector<std::unique_ptr<TypeInfo>> infos_;
};

ULONG TypeInfo::AddRef() { return lib_->AddRef(); }
ULONG TypeInfo::Release() { return lib_->Release(); }
TypeData& TypeInfo::Data() { return lib_->data().types[index_]; }

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* docString,
                                   DWORD* helpContext, BSTR* helpFile) {
  if (memid == MEMBERID_NIL) {
    return lib_->Document(Data().name, Data().doc, Data().helpContext, name, docString,
                          helpContext, helpFile);
  }
  const FuncData* f = Find(memid);
  if (!f) return TYPE_E_ELEMENTNOTFOUND;
  return lib_->Document(f->name, f->doc, f->helpContext, name, docString, helpContext,
                        helpFile);
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE refType, ITypeInfo** typeInfo) {
  if (!typeInfo) return E_INVALIDARG;
  *typeInfo = nullptr;
  if (refType >= lib_->data().types.size()) return TYPE_E_ELEMENTNOTFOUND;
  *typeInfo = lib_->info(refType);
  AddRef();
  return S_OK;
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** typeLib, UINT* index) {
  if (typeLib) {
    *typeLib = lib_;
    lib_->AddRef();
  }
  if (index) *index = index_;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Registry.

// Keys created by one registration, removed again if a later step fails.
class KeyLog {
 public:
  ~KeyLog() {
    if (keep_) return;
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
      RegDeleteTreeA(HKEY_CLASSES_ROOT, it->c_str());
    }
  }
  void Keep() { keep_ = true; }

  // Creates the key and sets its default value (and one named value).
  // A null `value` leaves the default value unset.
  bool Write(const std::string& path, const char* value, const char* name = nullptr,
             const std::string& namedValue = std::string()) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, &disposition) != ERROR_SUCCESS) {
      return false;
    }
    if (disposition == REG_CREATED_NEW_KEY) created_.push_back(path);
    bool ok = !value ||
              RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             static_cast<DWORD>(std::strlen(value) + 1)) == ERROR_SUCCESS;
    if (ok && name) {
      ok = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(namedValue.c_str()),
                          static_cast<DWORD>(namedValue.size() + 1)) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
  }

 private:
  std::vector<std::string> created_;
  bool keep_ = false;
};

const char* PlatformKeyName(SYSKIND syskind) {
  switch (syskind) {
    case SYS_WIN16: return "win16";
    case SYS_WIN32: return "win32";
    case SYS_MAC: return "mac";
    case SYS_WIN64: return "win64";
  }
  return "win32";
}

SYSKIND ThisPlatform() { return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32; }

std::string VersionText(WORD major, WORD minor) {
  return std::to_string(major) + "." + std::to_string(minor);
}

std::string LocaleText(LCID lcid) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(lcid));
  return text;
}

bool ReadDefault(HKEY root, const std::string& path, const char* name, std::string* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  bool ok = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            type == REG_SZ;
  if (ok) {
    std::string buffer(size, '\0');
    ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                          &size) == ERROR_SUCCESS;
    if (ok) {
      buffer.resize(strnlen(buffer.c_str(), buffer.size()));
      *value = buffer;
    }
  }
  RegCloseKey(key);
  return ok;
}

bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

std::vector<std::string> SubKeys(const std::string& path) {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD cch = sizeof name;
    if (RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, cch);
  }
  RegCloseKey(key);
  return names;
}

bool IsLocaleKey(const std::string& name) {
  if (name.empty() || name.size() > 8) return false;
  for (char c : name) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

// The locale key under `versionKey` that serves `lcid`: the exact one, then
// its primary language, then the neutral one; for LOCALE_NEUTRAL any.
bool FindLocaleKey(const std::string& versionKey, LCID lcid, const char* platform,
                   std::string* localeKey) {
  std::vector<std::string> tries{LocaleText(lcid), LocaleText(lcid & 0x3FF), LocaleText(0)};
  if (lcid == LOCALE_NEUTRAL) {
    for (const std::string& name : SubKeys(versionKey)) {
      if (IsLocaleKey(name)) tries.push_back(name);
    }
  }
  for (const std::string& name : tries) {
    const std::string path = versionKey + "\\" + name;
    if (KeyExists(path + "\\" + platform)) {
      *localeKey = path;
      return true;
    }
  }
  return false;
}

HRESULT LoadFromBytes(const BYTE* data, size_t size, ITypeLib** typeLib) {
  LibData lib;
  HRESULT hr = Parse(data, size, &lib);
  if (FAILED(hr)) return hr;
  *typeLib = new (std::nothrow) TypeLib(std::move(lib));
  return *typeLib ? S_OK : E_OUTOFMEMORY;
}

bool ReadFile(const std::string& path, std::vector<BYTE>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<size_t>(size) > kMaxFileSize) return false;
  in.seekg(0);
  bytes->resize(static_cast<size_t>(size));
  return static_cast<bool>(in.read(reinterpret_cast<char*>(bytes->data()), size)) || size == 0;
}

HRESULT LoadFromModule(const std::string& path, WORD resourceId, ITypeLib** typeLib) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return TYPE_E_CANTLOADLIBRARY;
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(resourceId), RT_TYPELIB);
  const void* data = LockResource(LoadResource(module, found));
  HRESULT hr = TYPE_E_CANTLOADLIBRARY;
  if (data) hr = LoadFromBytes(static_cast<const BYTE*>(data), SizeofResource(module, found), typeLib);
  FreeLibrary(module);
  return hr;
}

}  // namespace

HRESULT VornLoadTypeLibFromMemory(const void* data, SIZE_T cb, ITypeLib** typeLib) {
  if (!typeLib) return E_INVALIDARG;
  *typeLib = nullptr;
  try {
    return LoadFromBytes(static_cast<const BYTE*>(data), cb, typeLib);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** typeLib) {
  if (!typeLib || !file) return E_INVALIDARG;
  *typeLib = nullptr;
  try {
    std::string path = WideToUtf8(file);
    std::vector<BYTE> bytes;
    WORD resourceId = 1;
    if (!ReadFile(path, &bytes)) {
      // "library\N" names resource N of a library.
      const size_t slash = path.rfind('\\');
      if (slash == std::string::npos || slash + 1 == path.size() || slash + 6 < path.size()) {
        return TYPE_E_CANTLOADLIBRARY;
      }
      unsigned long id = 0;
      for (size_t i = slash + 1; i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9') return TYPE_E_CANTLOADLIBRARY;
        id = id * 10 + static_cast<unsigned long>(path[i] - '0');
      }
      if (id == 0 || id > 0xFFFF) return TYPE_E_CANTLOADLIBRARY;
      path.resize(slash);
      if (!ReadFile(path, &bytes)) return TYPE_E_CANTLOADLIBRARY;
      resourceId = static_cast<WORD>(id);
    }
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "\x7F" "ELF", 4) == 0) {
      return LoadFromModule(path, resourceId, typeLib);
    }
    return LoadFromBytes(bytes.data(), bytes.size(), typeLib);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT RegisterTypeLib(ITypeLib* typeLib, LPCOLESTR fullPath, LPCOLESTR helpDir) {
  if (!typeLib || !fullPath) return E_INVALIDARG;
  try {
    TLIBATTR* attr = nullptr;
    HRESULT hr = typeLib->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    const TLIBATTR la = *attr;
    typeLib->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr;
    hr = typeLib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    LPSTR nameA = VornSysStringToA(name, nullptr);
    LPSTR docA = VornSysStringToA(doc, nullptr);
    SysFreeString(name);
    SysFreeString(doc);
    const std::string libName = nameA ? nameA : "";
    const std::string libDoc = docA ? docA : "";
    CoTaskMemFree(nameA);
    CoTaskMemFree(docA);

    const std::string path = WideToUtf8(fullPath);
    std::string help = helpDir ? WideToUtf8(helpDir) : std::string();
    if (!helpDir) {
      const size_t slash = path.find_last_of('/');
      help = slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    const std::string libid = GuidText(la.guid);
    const std::string version = VersionText(la.wMajorVerNum, la.wMinorVerNum);
    const std::string versionKey = "TypeLib\\" + libid + "\\" + version;

    KeyLog log;
    const std::string title = libDoc.empty() ? libName : libDoc;
    bool ok = log.Write("TypeLib\\" + libid, nullptr) &&
              log.Write(versionKey, title.c_str()) &&
              log.Write(versionKey + "\\" + LocaleText(la.lcid), nullptr) &&
              log.Write(versionKey + "\\" + LocaleText(la.lcid) + "\\" +
                            PlatformKeyName(la.syskind),
                        path.c_str()) &&
              log.Write(versionKey + "\\FLAGS", std::to_string(la.wLibFlags).c_str()) &&
              log.Write(versionKey + "\\HELPDIR", help.c_str());
    const UINT count = typeLib->GetTypeInfoCount();
    for (UINT i = 0; ok && i < count; ++i) {
      TYPEKIND kind;
      if (FAILED(typeLib->GetTypeInfoType(i, &kind))) return TYPE_E_INVDATAREAD;
      if (kind != TKIND_DISPATCH && kind != TKIND_INTERFACE) continue;
      ComPtr<ITypeInfo> info;
      if (FAILED(typeLib->GetTypeInfo(i, info.Put()))) return TYPE_E_INVDATAREAD;
      TYPEATTR* ta = nullptr;
      if (FAILED(info->GetTypeAttr(&ta))) return TYPE_E_INVDATAREAD;
      const GUID iid = ta->guid;
      info->ReleaseTypeAttr(ta);
      BSTR typeName = nullptr;
      if (FAILED(info->GetDocumentation(MEMBERID_NIL, &typeName, nullptr, nullptr, nullptr))) {
        return E_OUTOFMEMORY;
      }
      LPSTR typeNameA = VornSysStringToA(typeName, nullptr);
      SysFreeString(typeName);
      const std::string interfaceKey = "Interface\\" + GuidText(iid);
      ok = log.Write(interfaceKey, typeNameA ? typeNameA : "") &&
           log.Write(interfaceKey + "\\TypeLib", libid.c_str(), "Version", version);
      CoTaskMemFree(typeNameA);
    }
    if (!ok) return TYPE_E_REGISTRYACCESS;
    log.Keep();
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND syskind) {
  try {
    const std::string libText = GuidText(libid);
    const std::string libKey = "TypeLib\\" + libText;
    const std::string version = VersionText(major, minor);
    const std::string versionKey = libKey + "\\" + version;
    const char* platform = PlatformKeyName(syskind);
    std::string localeKey;
    if (!FindLocaleKey(versionKey, lcid, platform, &localeKey)) return TYPE_E_REGISTRYACCESS;

    // The interfaces that name this library and version.
    for (const std::string& iid : SubKeys("Interface")) {
      const std::string key = "Interface\\" + iid + "\\TypeLib";
      std::string owner, ownerVersion;
      if (!ReadDefault(HKEY_CLASSES_ROOT, key, "", &owner) || !EqualNoCase(owner, libText)) {
        continue;
      }
      if (ReadDefault(HKEY_CLASSES_ROOT, key, "Version", &ownerVersion) &&
          ownerVersion != version) {
        continue;
      }
      if (RegDeleteTreeA(HKEY_CLASSES_ROOT, ("Interface\\" + iid).c_str()) != ERROR_SUCCESS) {
        return TYPE_E_REGISTRYACCESS;
      }
    }
    if (RegDeleteTreeA(HKEY_CLASSES_ROOT, (localeKey + "\\" + platform).c_str()) !=
        ERROR_SUCCESS) {
      return TYPE_E_REGISTRYACCESS;
    }
    if (SubKeys(localeKey).empty() &&
        RegDeleteTreeA(HKEY_CLASSES_ROOT, localeKey.c_str()) != ERROR_SUCCESS) {
      return TYPE_E_REGISTRYACCESS;
    }
    bool otherLocale = false;
    for (const std::string& name : SubKeys(versionKey)) {
      if (IsLocaleKey(name)) otherLocale = true;
    }
    if (!otherLocale && RegDeleteTreeA(HKEY_CLASSES_ROOT, versionKey.c_str()) != ERROR_SUCCESS) {
      return TYPE_E_REGISTRYACCESS;
    }
    if (SubKeys(libKey).empty() &&
        RegDeleteTreeA(HKEY_CLASSES_ROOT, libKey.c_str()) != ERROR_SUCCESS) {
      return TYPE_E_REGISTRYACCESS;
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** typeLib) {
  if (!typeLib) return E_INVALIDARG;
  *typeLib = nullptr;
  try {
    const std::string versionKey =
        "TypeLib\\" + GuidText(libid) + "\\" + VersionText(major, minor);
    const char* platform = PlatformKeyName(ThisPlatform());
    std::string localeKey, path;
    if (!FindLocaleKey(versionKey, lcid, platform, &localeKey) ||
        !ReadDefault(HKEY_CLASSES_ROOT, localeKey + "\\" + platform, "", &path)) {
      return TYPE_E_LIBNOTREGISTERED;
    }
    std::vector<OLECHAR> wide(path.size() + 1);
    const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(),
                                      static_cast<int>(wide.size()));
    if (n <= 0) return TYPE_E_LIBNOTREGISTERED;
    return LoadTypeLib(wide.data(), typeLib);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
